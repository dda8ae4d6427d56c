// Field texts and the one-allocation joins that every identifier and tag
// uses.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

#include "owned_ref.hpp"
#include "py_compat.hpp"

namespace merrow::trace_key {

// Copies n bytes; fields are short, and for up to 16 bytes two overlapping
// word moves cost less than a call to memcpy.
inline void copy_short(char* out, const void* from, std::size_t n)
{
    const char* in = static_cast<const char*>(from);
    if (n > 16) {
        std::memcpy(out, in, n);
    } else if (n >= 8) {
        std::uint64_t head, tail;
        std::memcpy(&head, in, 8);
        std::memcpy(&tail, in + n - 8, 8);
        std::memcpy(out, &head, 8);
        std::memcpy(out + n - 8, &tail, 8);
    } else if (n >= 4) {
        std::uint32_t head, tail;
        std::memcpy(&head, in, 4);
        std::memcpy(&tail, in + n - 4, 4);
        std::memcpy(out, &head, 4);
        std::memcpy(out + n - 4, &tail, 4);
    } else if (n > 0) {
        out[0] = in[0];
        out[n / 2] = in[n / 2];
        out[n - 1] = in[n - 1];
    }
}

// One field of a joined text: a view of (part of) a str, or the decimal
// digits of an int written in place, so that no intermediate str is made
// for the common exact str and int values.
class TextField {
public:
    TextField() = default;
    // data_ may point into digits_: a field stays where it was made.
    TextField(const TextField&) = delete;
    TextField& operator=(const TextField&) = delete;

    // An exact str, used whole; the caller keeps it alive until the join.
    [[nodiscard]] int view(PyObject* text)
    {
        if (compat::make_text_ready(text) < 0) {
            return -1;
        }
        data_ = PyUnicode_DATA(text);
        length_ = PyUnicode_GET_LENGTH(text);
        kind_ = PyUnicode_KIND(text);
        max_char_ = PyUnicode_MAX_CHAR_VALUE(text);
        return 0;
    }

    // format(value, ""): an exact str unchanged, an exact int as decimal
    // digits, anything else through its own formatting.
    int assign_value(OwnedRef value);

    // The text of value[:8]: TypeError "'...' object is unsliceable" when
    // the value's type has no subscription.
    int assign_node_prefix(OwnedRef value);

    // The first `count` characters (or all) of a str.
    [[nodiscard]] int assign_head(OwnedRef text, Py_ssize_t count);

    Py_ssize_t length() const { return length_; }
    Py_UCS4 max_char() const { return max_char_; }
    // Writes the field at `out` (an index into data of width `kind`).
    void write_to(int kind, void* out, Py_ssize_t at) const;
    // Writes the field into one-byte data at `out`; returns its end. (A
    // wider str can have a head that fits.)
    char* copy_bytes(char* out) const
    {
        if (kind_ == PyUnicode_1BYTE_KIND) {
            copy_short(out, data_, static_cast<std::size_t>(length_));
        } else {
            write_to(PyUnicode_1BYTE_KIND, out, 0);
        }
        return out + length_;
    }

private:
    // Set by every assignment, before any join reads them: a field is built
    // on every call, so these are not cleared first.
    const void* data_;  // characters of width kind_: a str's, or digits_
    Py_ssize_t length_;
    int kind_;
    Py_UCS4 max_char_;
    OwnedRef owner_;  // keeps the str viewed alive when the field owns it
    char digits_[24];
};

// Each join makes one new str, allocated once at its final size, and raises
// OverflowError "join() result is too long for a Python string" beyond the
// longest str the interpreter can make.

// prefix + fields[0] + "-" + fields[1] + "-" ...: the identifiers' shape.
// `prefix` is 4 ASCII characters.
PyObject* join_dashed(const char (&prefix)[5], const TextField* fields, int count);

// "[" + identifier + "] " + message: a tagged log line.
PyObject* join_tag(const TextField& identifier, const TextField& message);
// The same for two exact str.
PyObject* join_tag(PyObject* identifier, PyObject* message);

}  // namespace merrow::trace_key
