// Import-time lifecycle shared by both extension modules: one interpreter
// per process, one module object per process, the version check, and the
// failure path that lets a later import start afresh.
#pragma once

#include <Python.h>

#include <cstdint>

#include "traceback_entry.hpp"

namespace merrow::lifecycle {

struct ModuleNames {
    const char* short_name;       // quoted by the re-initialisation error
    const char* qualified_name;   // the sys.modules key the module registers
    const char* version_name;     // quoted by the version warning
    const char* init_entry_name;  // traceback entry of a failed import
    const char* source_file;      // file name of that entry
};

// Process-wide; lives until the process ends (never destroyed, so nothing
// touches the interpreter after finalisation). All zero until the first
// import.
struct HeldModule {
    bool has_interpreter = false;
    std::int64_t interpreter_id = 0;  // valid once has_interpreter
    PyObject* module = nullptr;
    PyObject* dict = nullptr;      // borrowed from `module` but counted
    PyObject* builtins = nullptr;  // the builtins module
};

// Create step: the one-interpreter rule, the same-module return, and a new
// module object with the spec's attributes copied in.
PyObject* create_module(HeldModule& held, PyObject* spec);

// Adds `module` to sys.modules under the qualified name unless that key exists.
int register_in_sys_modules(const ModuleNames& names, PyObject* module);

// Import through the interpreter's import function directly (a replaced
// builtins.__import__ is not consulted), `from_name` (may be null) its one
// name to import from it.
PyObject* import_module(HeldModule& held, PyObject* name, PyObject* from_name, int level);

// `from module import name`: the attribute, else the sys.modules entry
// "<module name>.<name>", else ImportError "cannot import name ...".
PyObject* import_from(PyObject* module, PyObject* name);

// The module's own part of an execution step.
struct ExecutionSteps {
    int (*prepare)(PyObject* module);   // once the module is held; 0 or -1, no entry
    int (*populate)(PyObject* module);  // 0, or the entry line of the failed step
};

// Execution step: the re-initialisation check, holding the module, the
// version check, the module's own steps, and the failure path.
int execute(HeldModule& held, const ModuleNames& names, TracebackCodeCache& cache,
            PyObject* module, const ExecutionSteps& steps);

}  // namespace merrow::lifecycle
