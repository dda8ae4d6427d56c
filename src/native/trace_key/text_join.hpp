// Field texts and the one-allocation join that every identifier and tag uses.
#pragma once

#include <Python.h>

#include "owned_ref.hpp"

namespace merrow::trace_key {

// One field of a joined text: a view of (part of) a str, or the decimal
// digits of an int written in place, so that no intermediate str is made
// for the common exact str and int values.
class TextField {
public:
    // An exact str, used whole; the caller keeps it alive until the join.
    void view(PyObject* text)
    {
        text_ = text;
        length_ = PyUnicode_GET_LENGTH(text);
        max_char_ = PyUnicode_MAX_CHAR_VALUE(text);
    }

    // format(value, ""): an exact str unchanged, an exact int as decimal
    // digits, anything else through its own formatting.
    int assign_value(OwnedRef value);

    // The text of value[:8]: TypeError "'...' object is unsliceable" when
    // the value's type has no subscription.
    int assign_node_prefix(OwnedRef value);

    // The first `count` characters (or all) of a str.
    void assign_head(OwnedRef text, Py_ssize_t count);

    Py_ssize_t length() const { return length_; }
    Py_UCS4 max_char() const { return max_char_; }
    // Writes the field at `out` (an index into data of width `kind`).
    void write_to(int kind, void* out, Py_ssize_t at) const;

private:
    PyObject* text_ = nullptr;  // the str viewed; null when digits_ hold the field
    OwnedRef owner_;            // keeps text_ alive when the field owns it
    Py_ssize_t length_ = 0;
    Py_UCS4 max_char_ = 0;
    char digits_[24];
};

// Joins the fields into one new str, allocated once at its final size;
// OverflowError "join() result is too long for a Python string" beyond
// the longest str the interpreter can make.
PyObject* join_fields(const TextField* fields, int count);

}  // namespace merrow::trace_key
