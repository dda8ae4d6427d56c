// Entry of merrow_sdk.logging.trace_key: the module definition and its
// create and execution steps.
#include <Python.h>

#include "class_builder.hpp"
#include "dict_watcher.hpp"
#include "docstrings.hpp"
#include "method_object.hpp"
#include "module_lifecycle.hpp"
#include "owned_ref.hpp"
#include "process_state.hpp"

namespace merrow::trace_key {

namespace {

int bind(PyObject* dict, Name key, PyObject* value)
{
    return value ? PyDict_SetItem(dict, name(key), value) : -1;
}

int import_and_bind(lifecycle::HeldModule& held, Name module_name)
{
    OwnedRef module =
        OwnedRef::steal(lifecycle::import_module(held, name(module_name), nullptr, 0));
    return bind(held.dict, module_name, module.get());
}

int bind_optional(lifecycle::HeldModule& held)
{
    OwnedRef typing = OwnedRef::steal(
        lifecycle::import_module(held, name(Name::typing), name(Name::Optional), 0));
    if (!typing) {
        return -1;
    }
    OwnedRef optional = OwnedRef::steal(lifecycle::import_from(typing.get(), name(Name::Optional)));
    return bind(held.dict, Name::Optional, optional.get());
}

int hold_staticmethod()
{
    if (!g_process.staticmethod) {
        g_process.staticmethod = PyObject_GetAttrString(g_process.held.builtins, "staticmethod");
    }
    return g_process.staticmethod ? 0 : -1;
}

// Steps 5 to 12, whose failures add the import's traceback entry; returns
// the number of the step that failed (the entry's line), or 0.
int build_namespace(PyObject* module)
{
    lifecycle::HeldModule& held = g_process.held;
    PyObject* dict = held.dict;
    if (lifecycle::register_in_sys_modules(kModuleNames, module) < 0) return 5;
    if (hold_staticmethod() < 0) return 6;
    if (import_and_bind(held, Name::threading) < 0 || import_and_bind(held, Name::uuid) < 0) {
        return 7;
    }
    if (bind_optional(held) < 0) return 8;
    if (build_token_class(dict, Name::ErrorType) < 0) return 9;
    if (build_token_class(dict, Name::EventType) < 0) return 10;
    if (build_generator_class(dict) < 0) return 11;
    OwnedRef test_dict = OwnedRef::steal(PyDict_New());
    if (bind(dict, Name::test_dict, test_dict.get()) < 0) return 12;
    return 0;
}

// Step 4: the constants, the function type, the caches' watcher and the
// methods' code objects.
int prepare(PyObject*)
{
    if (make_constants() < 0 || ready_method_type() < 0) {
        return -1;
    }
    start_dict_watcher();
    return make_method_code_objects();
}

int exec_module(PyObject* module)
{
    static constexpr lifecycle::ExecutionSteps steps = {prepare, build_namespace};
    return lifecycle::execute(g_process.held, kModuleNames, g_process.tracebacks, module, steps);
}

PyObject* create_module(PyObject* spec, PyModuleDef*)
{
    return lifecycle::create_module(g_process.held, spec);
}

}  // namespace

}  // namespace merrow::trace_key

PyMODINIT_FUNC PyInit_trace_key()
{
    static PyModuleDef_Slot slots[] = {
        {Py_mod_create, reinterpret_cast<void*>(merrow::trace_key::create_module)},
        {Py_mod_exec, reinterpret_cast<void*>(merrow::trace_key::exec_module)},
        {0, nullptr},
    };
    static PyModuleDef definition = {
        PyModuleDef_HEAD_INIT, "trace_key", merrow::trace_key::docs::module, 0, nullptr, slots,
        nullptr, nullptr, nullptr,
    };
    return PyModuleDef_Init(&definition);
}
