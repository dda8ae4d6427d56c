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

enum class Reinit { proceed, already_done, refused };

// Execution step 1. `refused` has the RuntimeError set.
Reinit check_reinitialisation(const HeldModule& held, const ModuleNames& names, PyObject* module);

// Execution step 2: hold the module and its namespace, bind __builtins__.
int hold_module(HeldModule& held, PyObject* module);

// Warns (RuntimeWarning) when the running interpreter is not of the series
// the module was compiled for; -1 when the warning was raised as an error.
int check_runtime_version(const ModuleNames& names);

// Adds `module` to sys.modules under the qualified name unless that key exists.
int register_in_sys_modules(const ModuleNames& names, PyObject* module);

// Import through the interpreter's import function directly (a replaced
// builtins.__import__ is not consulted). `from_list` may be null.
PyObject* import_module(HeldModule& held, PyObject* name, PyObject* from_list, int level);

// `from module import name`: the attribute, else the sys.modules entry
// "<module name>.<name>", else ImportError "cannot import name ...".
PyObject* import_from(PyObject* module, PyObject* name);

// The module's own part of an execution step.
struct ExecutionSteps {
    int (*prepare)(PyObject* module);   // after hold_module; 0 or -1, no entry
    int (*populate)(PyObject* module);  // 0, or the entry line of the failed step
};

// Execution step: the re-initialisation check, holding the module, the
// version check, the module's own steps, and the failure path.
int execute(HeldModule& held, const ModuleNames& names, TracebackCodeCache& cache,
            PyObject* module, const ExecutionSteps& steps);

// Failure path of the execution step: adds the import's traceback entry when
// `line` is positive, empties the held module and returns -1.
int fail_execution(HeldModule& held, const ModuleNames& names, TracebackCodeCache& cache,
                   int line);

}  // namespace merrow::lifecycle
