// The extension module that is the package merrow_sdk.patchbay itself.
#include <Python.h>

#include "flow_binding.hpp"
#include "module_lifecycle.hpp"
#include "owned_ref.hpp"
#include "patchbay_texts.hpp"
#include "traceback_entry.hpp"

namespace merrow::patchbay {

namespace {

// Process-wide and never destroyed: the interpreter may still hold the
// module after static destructors would have run.
lifecycle::HeldModule g_held;
TracebackCodeCache g_tracebacks;

// Line of the import's traceback entry.
constexpr int kEntryLine = 1;

PyObject* create_module(PyObject* spec, PyModuleDef*)
{
    return lifecycle::create_module(g_held, spec);
}

int bind_test_dict(lifecycle::HeldModule& held)
{
    OwnedRef tests = OwnedRef::steal(PyDict_New());
    if (!tests) {
        return -1;
    }
    return PyDict_SetItem(held.dict, text(Text::test_dict_name), tests.get());
}

// Execution step 5: the constants.
int prepare(PyObject*) { return make_texts(); }

// Steps 6 to 10, whose failures add the import's traceback entry.
int populate(PyObject* module)
{
    if (lifecycle::register_in_sys_modules(kNames, module) < 0 ||
        bind_flow_wrapper(g_held) < 0 || bind_test_dict(g_held) < 0) {
        return kEntryLine;
    }
    return 0;
}

int exec_module(PyObject* module)
{
    static constexpr lifecycle::ExecutionSteps steps = {prepare, populate};
    return lifecycle::execute(g_held, kNames, g_tracebacks, module, steps);
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "patchbay",
    nullptr,  // __doc__ stays None
    0,        // all state is process-wide
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace merrow::patchbay

PyMODINIT_FUNC PyInit_patchbay()
{
    return PyModuleDef_Init(&merrow::patchbay::g_definition);
}
