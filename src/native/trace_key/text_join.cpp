#include "text_join.hpp"

#include <cstring>

#include "module_state.hpp"
#include "owned_ref.hpp"

namespace merrow::trace_key {

PyObject* field_text(PyObject* value)
{
    if (PyUnicode_CheckExact(value)) {
        Py_INCREF(value);
        return value;
    }
    return PyObject_Format(value, g_state.empty_text);
}

PyObject* node_prefix_text(PyObject* value)
{
    if (PyUnicode_CheckExact(value)) {
        return PyUnicode_Substring(value, 0, 8);
    }
    PyMappingMethods* mapping = Py_TYPE(value)->tp_as_mapping;
    if (!mapping || !mapping->mp_subscript) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(value)->tp_name);
        return nullptr;
    }
    OwnedRef prefix = OwnedRef::steal(mapping->mp_subscript(value, g_state.first_eight));
    if (!prefix) {
        return nullptr;
    }
    return field_text(prefix.get());
}

namespace {

// The longest str the interpreter can allocate for characters up to max_char.
Py_ssize_t longest_text(Py_UCS4 max_char)
{
    const Py_ssize_t header = max_char < 128 ? sizeof(PyASCIIObject) : sizeof(PyCompactUnicodeObject);
    const Py_ssize_t width = max_char < 256 ? 1 : max_char < 65536 ? 2 : 4;
    return (PY_SSIZE_T_MAX - header) / width - 1;
}

}  // namespace

PyObject* join_texts(PyObject* const* parts, int count)
{
    Py_ssize_t length = 0;
    Py_UCS4 max_char = 0;
    bool overflow = false;
    for (int i = 0; i < count; ++i) {
        const Py_ssize_t part = PyUnicode_GET_LENGTH(parts[i]);
        overflow = overflow || part > PY_SSIZE_T_MAX - length;
        length = overflow ? 0 : length + part;
        const Py_UCS4 part_max = PyUnicode_MAX_CHAR_VALUE(parts[i]);
        max_char = part_max > max_char ? part_max : max_char;
    }
    if (overflow || length > longest_text(max_char)) {
        PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
        return nullptr;
    }
    PyObject* result = PyUnicode_New(length, max_char);
    if (!result) {
        return nullptr;
    }
    const int kind = PyUnicode_KIND(result);
    auto* out = static_cast<char*>(PyUnicode_DATA(result));
    Py_ssize_t at = 0;
    for (int i = 0; i < count; ++i) {
        PyObject* part = parts[i];
        const Py_ssize_t part_length = PyUnicode_GET_LENGTH(part);
        if (PyUnicode_KIND(part) == kind) {
            std::memcpy(out + at * kind, PyUnicode_DATA(part),
                        static_cast<std::size_t>(part_length) * kind);
        } else if (PyUnicode_CopyCharacters(result, at, part, 0, part_length) < 0) {
            Py_DECREF(result);
            return nullptr;
        }
        at += part_length;
    }
    return result;
}

}  // namespace merrow::trace_key
