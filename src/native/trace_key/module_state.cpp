#include "module_state.hpp"

#include <iterator>

#include "text_constants.hpp"

namespace merrow::trace_key {

State g_state;

const lifecycle::ModuleNames kModuleNames = {
    "trace_key",
    "merrow_sdk.logging.trace_key",
    "merrow_sdk.logging.trace_key",
    "init merrow_sdk.logging.trace_key",
    kSourceFile,
};

TextConstant g_names[] = {
#define MERROW_NAME_TEXT(id, text) {text, nullptr},
    MERROW_TRACE_KEY_NAMES(MERROW_NAME_TEXT)
#undef MERROW_NAME_TEXT
};
static_assert(std::size(g_names) == static_cast<std::size_t>(Name::count));

namespace {

int make_number(PyObject*& slot, long value)
{
    if (!slot) {
        slot = PyLong_FromLong(value);
    }
    return slot ? 0 : -1;
}

int make_singletons(State& state)
{
    if (!state.empty_tuple && !(state.empty_tuple = PyTuple_New(0))) {
        return -1;
    }
    if (!state.empty_bytes && !(state.empty_bytes = PyBytes_FromStringAndSize("", 0))) {
        return -1;
    }
    if (!state.empty_text && !(state.empty_text = PyUnicode_FromStringAndSize("", 0))) {
        return -1;
    }
    if (make_number(state.zero, 0) < 0 || make_number(state.one, 1) < 0 ||
        make_number(state.eight, 8) < 0) {
        return -1;
    }
    if (!state.first_eight && !(state.first_eight = PySlice_New(Py_None, state.eight, Py_None))) {
        return -1;
    }
    if (!state.three_nones && !(state.three_nones = PyTuple_Pack(3, Py_None, Py_None, Py_None))) {
        return -1;
    }
    return 0;
}

}  // namespace

int make_constants()
{
    if (make_singletons(g_state) < 0) {
        return -1;
    }
    return make_text_constants(g_names, std::size(g_names));
}

PyObject* lookup_global(PyObject* globals, Name id)
{
    PyObject* key = name(id);
    PyObject* value = PyDict_GetItemWithError(globals, key);
    if (value) {
        Py_INCREF(value);
        return value;
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    value = PyObject_GetAttr(g_state.held.builtins, key);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    }
    return value;
}

}  // namespace merrow::trace_key
