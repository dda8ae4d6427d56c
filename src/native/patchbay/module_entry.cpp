// The extension module that is the package merrow_sdk.patchbay itself.
#include <Python.h>

#include "flow_binding.hpp"
#include "module_lifecycle.hpp"
#include "owned_ref.hpp"
#include "process_state.hpp"

namespace merrow::patchbay {

namespace {

// Line of the import's traceback entry, whichever step failed.
constexpr int kEntryLine = 1;

PyObject* create_module(PyObject* spec, PyModuleDef*)
{
    return lifecycle::create_module(g_process.held, spec);
}

int bind_test_dict(lifecycle::HeldModule& held)
{
    OwnedRef tests = OwnedRef::steal(PyDict_New());
    if (!tests) {
        return -1;
    }
    return PyDict_SetItem(held.dict, text(Text::test_dict_name), tests.get());
}

// Execution step 4: the texts.
int prepare(PyObject*) { return make_texts(); }

// Steps 5 to 7, whose failures add the import's traceback entry.
int populate(PyObject* module)
{
    if (lifecycle::register_in_sys_modules(kNames, module) < 0 ||
        bind_flow_wrapper(g_process.held) < 0 || bind_test_dict(g_process.held) < 0) {
        return kEntryLine;
    }
    return 0;
}

int exec_module(PyObject* module)
{
    static constexpr lifecycle::ExecutionSteps steps = {prepare, populate};
    return lifecycle::execute(g_process.held, kNames, g_process.tracebacks, module, steps);
}

}  // namespace

}  // namespace merrow::patchbay

PyMODINIT_FUNC PyInit_patchbay()
{
    static PyModuleDef_Slot slots[] = {
        {Py_mod_create, reinterpret_cast<void*>(merrow::patchbay::create_module)},
        {Py_mod_exec, reinterpret_cast<void*>(merrow::patchbay::exec_module)},
        {0, nullptr},
    };
    static PyModuleDef definition = {
        PyModuleDef_HEAD_INIT,
        "patchbay",
        nullptr,  // __doc__ stays None
        0,        // all state is process-wide
        nullptr,
        slots,
        nullptr,
        nullptr,
        nullptr,
    };
    return PyModuleDef_Init(&definition);
}
