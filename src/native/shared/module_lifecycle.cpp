#include "module_lifecycle.hpp"

#include "owned_ref.hpp"

namespace merrow::lifecycle {

namespace {

// Copies spec.<attr> to module.<key>; a missing attribute is skipped.
int copy_spec_attribute(PyObject* spec, PyObject* dict, const char* attr, const char* key,
                        bool skip_none)
{
    OwnedRef value = OwnedRef::steal(PyObject_GetAttrString(spec, attr));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    if (skip_none && value.get() == Py_None) {
        return 0;
    }
    return PyDict_SetItemString(dict, key, value.get());
}

int check_interpreter(HeldModule& held)
{
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        return -1;
    }
    if (!held.has_interpreter) {
        held.has_interpreter = true;
        held.interpreter_id = id;
    } else if (held.interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return -1;
    }
    return 0;
}

// The major and minor version at the start of the running interpreter's
// version text.
void read_running_series(int (&numbers)[2])
{
    const char* p = Py_GetVersion();
    for (int& number : numbers) {
        while (*p >= '0' && *p <= '9') {
            number = number * 10 + (*p++ - '0');
        }
        if (*p++ != '.') {
            return;
        }
    }
}

// Holds the module and its namespace, binds __builtins__.
int hold_module(HeldModule& held, PyObject* module)
{
    replace_ref(held.module, module);
    replace_ref(held.dict, PyModule_GetDict(module));
    // Not PyImport_ImportModule: that goes through builtins.__import__,
    // which callers may have replaced.
    OwnedRef builtins =
        OwnedRef::steal(PyImport_ImportModuleLevel("builtins", nullptr, nullptr, nullptr, 0));
    if (!builtins) {
        return -1;
    }
    replace_ref(held.builtins, builtins.get());
    return PyObject_SetAttrString(module, "__builtins__", builtins.get());
}

// Warns (RuntimeWarning) when the running interpreter is not of the series
// the module was compiled for; -1 when the warning was raised as an error.
int check_runtime_version(const ModuleNames& names)
{
    int running[2] = {};
    read_running_series(running);
    if (running[0] == PY_MAJOR_VERSION && running[1] == PY_MINOR_VERSION) {
        return 0;
    }
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, names.version_name, "does not match",
                  running[0], running[1]);
    return PyErr_WarnEx(nullptr, message, 1);
}

// The failure path: adds the import's traceback entry when `line` is
// positive, empties the held module so that a later import starts afresh.
int fail_execution(HeldModule& held, const ModuleNames& names, TracebackCodeCache& cache,
                   int line)
{
    if (line > 0) {
        cache.add_entry(names.init_entry_name, names.source_file, line, held.dict);
    }
    clear_ref(held.dict);
    clear_ref(held.module);
    return -1;
}

}  // namespace

PyObject* create_module(HeldModule& held, PyObject* spec)
{
    if (check_interpreter(held) < 0) {
        return nullptr;
    }
    if (held.module) {
        return new_ref(held.module);
    }
    OwnedRef name = OwnedRef::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    OwnedRef module = OwnedRef::steal(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, dict, "loader", "__loader__", false) < 0 ||
        copy_spec_attribute(spec, dict, "origin", "__file__", false) < 0 ||
        copy_spec_attribute(spec, dict, "parent", "__package__", false) < 0 ||
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", true) < 0) {
        return nullptr;
    }
    return module.release();
}

int register_in_sys_modules(const ModuleNames& names, PyObject* module)
{
    PyObject* modules = PyImport_GetModuleDict();
    OwnedRef key = OwnedRef::steal(PyUnicode_FromString(names.qualified_name));
    if (!key) {
        return -1;
    }
    // A failed lookup is reported, not taken for a missing entry.
    if (PyDict_GetItemWithError(modules, key.get())) {
        return 0;
    }
    return PyErr_Occurred() ? -1 : PyDict_SetItem(modules, key.get(), module);
}

PyObject* import_module(HeldModule& held, PyObject* name, PyObject* from_name, int level)
{
    OwnedRef from_list;
    if (from_name) {
        from_list = OwnedRef::steal(PyList_New(1));
        if (!from_list) {
            return nullptr;
        }
        PyList_SET_ITEM(from_list.get(), 0, new_ref(from_name));
    }
    OwnedRef locals = OwnedRef::steal(PyDict_New());
    if (!locals) {
        return nullptr;
    }
    return PyImport_ImportModuleLevelObject(name, held.dict, locals.get(), from_list.get(),
                                            level);
}

PyObject* import_from(PyObject* module, PyObject* name)
{
    OwnedRef value = OwnedRef::steal(PyObject_GetAttr(module, name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        const char* module_name = PyModule_GetName(module);
        if (module_name) {
            OwnedRef key = OwnedRef::steal(PyUnicode_FromFormat("%s.%U", module_name, name));
            if (key) {
                value = OwnedRef::steal(PyImport_GetModule(key.get()));
            }
        }
    }
    if (!value) {
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    }
    return value.release();
}

int execute(HeldModule& held, const ModuleNames& names, TracebackCodeCache& cache,
            PyObject* module, const ExecutionSteps& steps)
{
    if (held.module == module) {
        return 0;
    }
    if (held.module) {
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     names.short_name);
        return -1;  // the held module stays held
    }
    if (hold_module(held, module) < 0 || check_runtime_version(names) < 0 ||
        steps.prepare(module) < 0) {
        return fail_execution(held, names, cache, 0);
    }
    const int failed_line = steps.populate(module);
    return failed_line ? fail_execution(held, names, cache, failed_line) : 0;
}

}  // namespace merrow::lifecycle
