// Binds a fast-entry call to an operation's parameter table and applies the
// operation's type rules, so that bodies only ever see checked values.
#pragma once

#include <Python.h>

#include "operation.hpp"

namespace merrow::trace_key {

enum class BindResult {
    bound,
    failed,      // exception set; the operation's traceback entry is due
    type_error,  // argument type error set; no traceback entry
};

// What binding reads of a function object: its operation's row, the record
// an omitted token is taken from, and how many parameters have a rule.
struct Binding {
    const OperationSpec& op;
    PyObject* default_token;
    int checked_count;
};

// `args` holds `nargs` positional values followed by one value per name in
// `kwnames` (which may be null). Fills `call` without taking references.
BindResult bind_arguments(const Binding& binding, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, BoundCall& call);

}  // namespace merrow::trace_key
