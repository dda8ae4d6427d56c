#include "text_join.hpp"

#include <cstring>
#include <utility>

#include "process_state.hpp"

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

// Decimal digits of `magnitude` (with a sign) at the end of `buffer`,
// two at a time; returns where they start.
int write_decimal(char* buffer, int size, bool negative, unsigned long long magnitude)
{
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    int at = size;
    while (magnitude >= 100) {
        const unsigned pair = static_cast<unsigned>(magnitude % 100) * 2;
        magnitude /= 100;
        buffer[--at] = kPairs[pair + 1];
        buffer[--at] = kPairs[pair];
    }
    if (magnitude >= 10) {
        const unsigned pair = static_cast<unsigned>(magnitude) * 2;
        buffer[--at] = kPairs[pair + 1];
        buffer[--at] = kPairs[pair];
    } else {
        buffer[--at] = static_cast<char>('0' + magnitude);
    }
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

int TextField::assign_head(OwnedRef text, Py_ssize_t count)
{
    if (view(text.get()) < 0) {
        return -1;
    }
    if (length_ > count) {
        length_ = count;
        max_char_ = head_max_char(text.get(), count);
    }
    owner_ = std::move(text);
    return 0;
}

int TextField::assign_value(OwnedRef value)
{
    PyObject* object = value.get();
    long long number;
    if (!PyUnicode_CheckExact(object)) {
        if (PyLong_CheckExact(object) && compat::small_int_value(object, &number)) {
            const bool negative = number < 0;
            const unsigned long long magnitude =
                negative ? 0ULL - static_cast<unsigned long long>(number)
                         : static_cast<unsigned long long>(number);
            const int start = write_decimal(digits_, sizeof digits_, negative, magnitude);
            data_ = digits_ + start;
            length_ = static_cast<Py_ssize_t>(sizeof digits_) - start;
            kind_ = PyUnicode_1BYTE_KIND;
            max_char_ = 127;
            return 0;
        }
        value = OwnedRef::steal(PyObject_Format(object, g_process.empty_text));
        if (!value) {
            return -1;
        }
    }
    if (view(value.get()) < 0) {
        return -1;
    }
    owner_ = std::move(value);
    return 0;
}

int TextField::assign_node_prefix(OwnedRef value)
{
    PyObject* object = value.get();
    if (PyUnicode_CheckExact(object)) {
        return assign_head(std::move(value), 8);
    }
    PyMappingMethods* mapping = Py_TYPE(object)->tp_as_mapping;
    if (!mapping || !mapping->mp_subscript) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(object)->tp_name);
        return -1;
    }
    OwnedRef prefix = OwnedRef::steal(mapping->mp_subscript(object, g_process.first_eight));
    return prefix ? assign_value(std::move(prefix)) : -1;
}

void TextField::write_to(int kind, void* out, Py_ssize_t at) const
{
    if (kind_ == kind) {
        std::memcpy(static_cast<char*>(out) + at * kind, data_,
                    static_cast<std::size_t>(length_) * kind);
        return;
    }
    for (Py_ssize_t i = 0; i < length_; ++i) {
        PyUnicode_WRITE(kind, out, at + i, PyUnicode_READ(kind_, data_, i));
    }
}

namespace {

// Adds a field to the running length and largest character.
void measure(const TextField& field, Py_ssize_t& length, Py_UCS4& max_char, bool& overflow)
{
    overflow |= __builtin_add_overflow(length, field.length(), &length);
    max_char = field.max_char() > max_char ? field.max_char() : max_char;
}

PyObject* new_text(Py_ssize_t length, Py_UCS4 max_char, bool overflow)
{
    if (overflow || length > longest_text(max_char)) {
        PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
        return nullptr;
    }
    // Every join has fixed characters, so length > 0.
    return PyUnicode_New(length, max_char);
}

// ASCII text of a known length, written at `at`.
template <std::size_t N>
void write_ascii(int kind, void* out, Py_ssize_t at, const char (&text)[N])
{
    if (kind == PyUnicode_1BYTE_KIND) {
        std::memcpy(static_cast<char*>(out) + at, text, N - 1);
        return;
    }
    for (std::size_t i = 0; i + 1 < N; ++i) {
        PyUnicode_WRITE(kind, out, at + static_cast<Py_ssize_t>(i), static_cast<Py_UCS4>(text[i]));
    }
}

}  // namespace

PyObject* join_dashed(const char (&prefix)[5], const TextField* fields, int count)
{
    Py_ssize_t length = 4 + (count - 1);
    Py_UCS4 max_char = 127;
    bool overflow = false;
    for (int i = 0; i < count; ++i) {
        measure(fields[i], length, max_char, overflow);
    }
    PyObject* result = new_text(length, max_char, overflow);
    if (!result) {
        return nullptr;
    }
    const int kind = PyUnicode_KIND(result);
    void* out = PyUnicode_DATA(result);
    if (kind == PyUnicode_1BYTE_KIND) {
        // Every field fits one byte per character, though a head of a
        // wider str may need narrowing.
        char* at = static_cast<char*>(out);
        std::memcpy(at, prefix, 4);
        at += 4;
        for (int i = 0; i < count; ++i) {
            if (i > 0) {
                *at++ = '-';
            }
            at = fields[i].copy_bytes(at);
        }
        return result;
    }
    write_ascii(kind, out, 0, prefix);
    Py_ssize_t at = 4;
    for (int i = 0; i < count; ++i) {
        if (i > 0) {
            PyUnicode_WRITE(kind, out, at++, '-');
        }
        fields[i].write_to(kind, out, at);
        at += fields[i].length();
    }
    return result;
}

PyObject* join_tag(const TextField& identifier, const TextField& message)
{
    Py_ssize_t length = 3;
    Py_UCS4 max_char = 127;
    bool overflow = false;
    measure(identifier, length, max_char, overflow);
    measure(message, length, max_char, overflow);
    PyObject* result = new_text(length, max_char, overflow);
    if (!result) {
        return nullptr;
    }
    const int kind = PyUnicode_KIND(result);
    void* out = PyUnicode_DATA(result);
    const Py_ssize_t close = 1 + identifier.length();
    PyUnicode_WRITE(kind, out, 0, '[');
    identifier.write_to(kind, out, 1);
    write_ascii(kind, out, close, "] ");
    message.write_to(kind, out, close + 2);
    return result;
}

PyObject* join_tag(PyObject* identifier, PyObject* message)
{
    if (!PyUnicode_IS_COMPACT_ASCII(identifier) || !PyUnicode_IS_COMPACT_ASCII(message)) {
        TextField identifier_text, message_text;
        if (identifier_text.view(identifier) < 0 || message_text.view(message) < 0) {
            return nullptr;
        }
        return join_tag(identifier_text, message_text);
    }
    // The common case, written straight: both texts ASCII, so the result is.
    const Py_ssize_t id_length = PyUnicode_GET_LENGTH(identifier);
    const Py_ssize_t message_length = PyUnicode_GET_LENGTH(message);
    Py_ssize_t length = 0;
    const bool overflow = __builtin_add_overflow(id_length, message_length, &length) ||
                          __builtin_add_overflow(length, 3, &length);
    PyObject* result = new_text(length, 127, overflow);
    if (!result) {
        return nullptr;
    }
    char* out = reinterpret_cast<char*>(reinterpret_cast<PyASCIIObject*>(result) + 1);
    out[0] = '[';
    std::memcpy(out + 1, reinterpret_cast<PyASCIIObject*>(identifier) + 1,
                static_cast<std::size_t>(id_length));
    out[1 + id_length] = ']';
    out[2 + id_length] = ' ';
    std::memcpy(out + 3 + id_length, reinterpret_cast<PyASCIIObject*>(message) + 1,
                static_cast<std::size_t>(message_length));
    return result;
}

}  // namespace merrow::trace_key
