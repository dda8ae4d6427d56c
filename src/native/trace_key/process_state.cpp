#include "process_state.hpp"

#include <iterator>

#include "text_constants.hpp"

namespace merrow::trace_key {

namespace {

constexpr const char* kNameTexts[] = {
#define MERROW_NAME_TEXT(id, text) text,
    MERROW_TRACE_KEY_NAMES(MERROW_NAME_TEXT)
#undef MERROW_NAME_TEXT
};
static_assert(std::size(kNameTexts) == static_cast<std::size_t>(Name::count));

int make_number(PyObject*& slot, long value)
{
    if (!slot) {
        slot = PyLong_FromLong(value);
    }
    return slot ? 0 : -1;
}

int make_singletons(ProcessState& state)
{
    if (!state.empty_tuple && !(state.empty_tuple = PyTuple_New(0))) {
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
    if (make_singletons(g_process) < 0) {
        return -1;
    }
    return make_text_constants(kNameTexts, g_process.names, std::size(kNameTexts));
}

}  // namespace merrow::trace_key
