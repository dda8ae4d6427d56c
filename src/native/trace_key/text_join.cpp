#include "text_join.hpp"

#include <cstring>
#include <utility>

#include "module_state.hpp"

namespace merrow::trace_key {

namespace {

// The largest character of the narrowest representation holding `c`, so a
// joined text gets the canonical width for its characters.
Py_UCS4 width_bound(Py_UCS4 c)
{
    return c < 128 ? 127 : c < 256 ? 255 : c < 65536 ? 65535 : 0x10FFFF;
}

Py_UCS4 head_max_char(PyObject* text, Py_ssize_t count)
{
    if (PyUnicode_IS_ASCII(text)) {
        return 127;
    }
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_UCS4 max_char = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        max_char = c > max_char ? c : max_char;
    }
    return width_bound(max_char);
}

// Decimal digits of `magnitude` (with a sign) at the end of `buffer`.
int write_decimal(char* buffer, int size, bool negative, unsigned long long magnitude)
{
    int at = size;
    do {
        buffer[--at] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (negative) {
        buffer[--at] = '-';
    }
    return at;
}

Py_ssize_t longest_text(Py_UCS4 max_char)
{
    const Py_ssize_t header =
        max_char < 128 ? sizeof(PyASCIIObject) : sizeof(PyCompactUnicodeObject);
    const Py_ssize_t width = max_char < 256 ? 1 : max_char < 65536 ? 2 : 4;
    return (PY_SSIZE_T_MAX - header) / width - 1;
}

}  // namespace

void TextField::assign_head(OwnedRef text, Py_ssize_t count)
{
    view(text.get());
    if (length_ > count) {
        length_ = count;
        max_char_ = head_max_char(text_, count);
    }
    owner_ = std::move(text);
}

int TextField::assign_value(OwnedRef value)
{
    PyObject* object = value.get();
    if (PyUnicode_CheckExact(object)) {
        view(object);
        owner_ = std::move(value);
        return 0;
    }
    if (PyLong_CheckExact(object)) {
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(object, &overflow);
        if (!overflow && !(number == -1 && PyErr_Occurred())) {
            const bool negative = number < 0;
            const unsigned long long magnitude =
                negative ? 0ULL - static_cast<unsigned long long>(number)
                         : static_cast<unsigned long long>(number);
            const int start = write_decimal(digits_, sizeof digits_, negative, magnitude);
            std::memmove(digits_, digits_ + start, sizeof digits_ - start);
            text_ = nullptr;
            length_ = static_cast<Py_ssize_t>(sizeof digits_) - start;
            max_char_ = 127;
            return 0;
        }
        PyErr_Clear();
    }
    OwnedRef text = OwnedRef::steal(PyObject_Format(object, g_state.empty_text));
    if (!text) {
        return -1;
    }
    view(text.get());
    owner_ = std::move(text);
    return 0;
}

int TextField::assign_node_prefix(OwnedRef value)
{
    PyObject* object = value.get();
    if (PyUnicode_CheckExact(object)) {
        assign_head(std::move(value), 8);
        return 0;
    }
    PyMappingMethods* mapping = Py_TYPE(object)->tp_as_mapping;
    if (!mapping || !mapping->mp_subscript) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(object)->tp_name);
        return -1;
    }
    OwnedRef prefix = OwnedRef::steal(mapping->mp_subscript(object, g_state.first_eight));
    return prefix ? assign_value(std::move(prefix)) : -1;
}

void TextField::write_to(int kind, void* out, Py_ssize_t at) const
{
    if (!text_) {
        if (kind == PyUnicode_1BYTE_KIND) {
            std::memcpy(static_cast<char*>(out) + at, digits_, static_cast<std::size_t>(length_));
            return;
        }
        for (Py_ssize_t i = 0; i < length_; ++i) {
            PyUnicode_WRITE(kind, out, at + i, static_cast<Py_UCS4>(digits_[i]));
        }
        return;
    }
    const int source_kind = PyUnicode_KIND(text_);
    const void* source = PyUnicode_DATA(text_);
    if (source_kind == kind) {
        std::memcpy(static_cast<char*>(out) + at * kind, source,
                    static_cast<std::size_t>(length_) * kind);
        return;
    }
    for (Py_ssize_t i = 0; i < length_; ++i) {
        PyUnicode_WRITE(kind, out, at + i, PyUnicode_READ(source_kind, source, i));
    }
}

PyObject* join_fields(const TextField* fields, int count)
{
    Py_ssize_t length = 0;
    Py_UCS4 max_char = 0;
    bool overflow = false;
    for (int i = 0; i < count; ++i) {
        overflow = overflow || fields[i].length() > PY_SSIZE_T_MAX - length;
        length = overflow ? 0 : length + fields[i].length();
        max_char = fields[i].max_char() > max_char ? fields[i].max_char() : max_char;
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
    void* out = PyUnicode_DATA(result);
    Py_ssize_t at = 0;
    for (int i = 0; i < count; ++i) {
        fields[i].write_to(kind, out, at);
        at += fields[i].length();
    }
    return result;
}

}  // namespace merrow::trace_key
