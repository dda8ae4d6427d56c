// The function type of LogIDGenerator's operations: a callable with the
// interpreter's fast calling convention, bound to instances as a method.
#pragma once

#include <Python.h>

#include "operation.hpp"

namespace merrow::trace_key {

struct MethodObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const OperationSpec* op;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* module;
    PyObject* globals;
    PyObject* code;
    PyObject* dict;
    PyObject* defaults;     // what __defaults__ reports, once made or assigned
    PyObject* kwdefaults;   // what __kwdefaults__ reports; null reads as None
    PyObject* annotations;  // null: made afresh (empty) on the next read
    PyObject* default_token;  // the record calls take an omitted token from
    PyObject* weakrefs;
    bool defaults_made;  // false: __defaults__ is still to be built from the record
    int checked_count;   // parameters with a rule to apply: the first in check_order
};

// Readies the type once per process.
int ready_method_type();

// A new function object for `op`, with `globals` as its module namespace and
// `code` as its __code__; `default_token` fills the default-token record.
PyObject* make_method(const OperationSpec& op, PyObject* globals, PyObject* code,
                      PyObject* default_token);

// The defaults tuple as the parameter table defines it, or None.
PyObject* table_defaults(MethodObject* fn);

class LockSection;

// Leaves `section` after the call's body as its with statement does: with
// the body's pending failure, if it failed, which first gets the
// operation's traceback entry, as __exit__ sees the method's frame. -1 when
// an exception propagates, 0 when none does (a failure suppressed).
int leave_section(LockSection& section, BoundCall& call, bool body_failed);

// The attributes a function object shows to callers.
PyGetSetDef* method_attributes();

}  // namespace merrow::trace_key
