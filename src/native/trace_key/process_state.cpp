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

// Keeps what an earlier import made: the process state outlives modules.
template <class Make>
bool made(PyObject*& slot, Make make)
{
    if (!slot) {
        slot = make();
    }
    return slot != nullptr;
}

int make_singletons(ProcessState& s)
{
    const bool all = made(s.empty_tuple, [] { return PyTuple_New(0); }) &&
                     made(s.empty_text, [] { return PyUnicode_FromStringAndSize("", 0); }) &&
                     made(s.zero, [] { return PyLong_FromLong(0); }) &&
                     made(s.one, [] { return PyLong_FromLong(1); }) &&
                     made(s.eight, [] { return PyLong_FromLong(8); }) &&
                     made(s.first_eight, [&] { return PySlice_New(Py_None, s.eight, Py_None); }) &&
                     made(s.three_nones, [] { return PyTuple_Pack(3, Py_None, Py_None, Py_None); });
    return all ? 0 : -1;
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
