// Entry of merrow_sdk.logging.trace_key: the module definition and its
// create and execution steps.
#include <Python.h>

#include "class_builder.hpp"
#include "docstrings.hpp"
#include "global_cache.hpp"
#include "method_object.hpp"
#include "module_lifecycle.hpp"
#include "module_state.hpp"
#include "owned_ref.hpp"
#include "state/instance_state.hpp"

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
    OwnedRef from_list = OwnedRef::steal(PyList_New(1));
    if (!from_list) {
        return -1;
    }
    Py_INCREF(name(Name::Optional));
    PyList_SET_ITEM(from_list.get(), 0, name(Name::Optional));
    OwnedRef typing =
        OwnedRef::steal(lifecycle::import_module(held, name(Name::typing), from_list.get(), 0));
    if (!typing) {
        return -1;
    }
    OwnedRef optional = OwnedRef::steal(lifecycle::import_from(typing.get(), name(Name::Optional)));
    return bind(held.dict, Name::Optional, optional.get());
}

int hold_staticmethod()
{
    if (!g_state.staticmethod) {
        g_state.staticmethod = PyObject_GetAttrString(g_state.held.builtins, "staticmethod");
    }
    return g_state.staticmethod ? 0 : -1;
}

// Steps 5 to 12, whose failures add the import's traceback entry; returns
// the number of the step that failed (the entry's line), or 0.
int build_namespace(PyObject* module)
{
    lifecycle::HeldModule& held = g_state.held;
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

// Step 4: the constants, the function type and the methods' code objects.
int prepare(PyObject*)
{
    if (make_constants() < 0 || ready_method_type() < 0) {
        return -1;
    }
    start_state_layer();
    start_global_cache();
    return make_method_code_objects();
}

int exec_module(PyObject* module)
{
    static constexpr lifecycle::ExecutionSteps steps = {prepare, build_namespace};
    return lifecycle::execute(g_state.held, kModuleNames, g_state.tracebacks, module, steps);
}

PyObject* create_module(PyObject* spec, PyModuleDef*)
{
    return lifecycle::create_module(g_state.held, spec);
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT, "trace_key", docs::module, 0, nullptr, g_slots, nullptr, nullptr,
    nullptr,
};

}  // namespace

}  // namespace merrow::trace_key

PyMODINIT_FUNC PyInit_trace_key()
{
    return PyModuleDef_Init(&merrow::trace_key::g_definition);
}
