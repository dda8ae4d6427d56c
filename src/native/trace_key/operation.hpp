// The seven operations of LogIDGenerator as data: each one's parameter
// table, count wording, type rules, introspection texts and body.
#pragma once

#include <Python.h>

#include <cstdint>

#include "process_state.hpp"
#include "owned_ref.hpp"

namespace merrow::trace_key {

inline constexpr int kMaxParameters = 3;

enum class Rule : std::uint8_t {
    any,        // bound as passed, never tested
    exact_str,  // exactly str, else the argument type error
    integer,    // exact int kept; other numbers converted by int()
    truth,      // reduced to a truth value
};

enum class DefaultSource : std::uint8_t {
    none,          // every parameter is required
    false_value,   // the optional parameter is false when omitted
    token_record,  // the function object's default-token record
};

struct CountWording {
    const char* word;  // "exactly", "at least", "at most"
    Py_ssize_t count;
    const char* plural;  // "s" or ""
};

struct Annotation {
    Name key;
    Name value;
};

struct MethodObject;
struct BoundCall;
using Body = PyObject* (*)(BoundCall& call);

struct OperationSpec {
    const char* name;            // quoted by every binding message
    const char* traceback_name;  // fully qualified, for traceback entries
    int traceback_line;
    Name name_text;
    Name qualname_text;
    const char* doc;  // null: no docstring
    bool is_static;
    int parameter_count;
    int required_count;  // the first `required_count` parameters
    Name parameters[kMaxParameters];
    Rule rules[kMaxParameters];
    int check_order[kMaxParameters];  // order of the type step
    DefaultSource default_source;     // for the last parameter when optional
    CountWording below_one;           // wording when fewer than 1 are given
    CountWording otherwise;
    int local_count;  // locals listed by __code__ after the parameters
    Name locals[2];
    int annotation_count;
    Annotation annotations[4];
    Body body;
    Name token_class;  // for token_record: the class whose GENERAL is the default
};

// What binding hands to a body: the values in parameter order, borrowed from
// the caller (or owned by `converted`), with `force` as a truth value.
struct BoundCall {
    MethodObject* function;
    PyObject* values[kMaxParameters];
    bool truth;
    // The pending exception already carries the operation's traceback entry:
    // a failure the lock's __exit__ did not suppress (leave_section).
    bool entry_added;
    OwnedRef converted;
};

const OperationSpec& operation(OperationId id);

// Adds the operation's traceback entry to the pending exception.
void add_operation_entry(const OperationSpec& op, PyObject* globals);

// Bodies, given values that binding has checked and converted.
PyObject* init_body(BoundCall& call);
PyObject* generate_session_id_body(BoundCall& call);
PyObject* get_session_id_body(BoundCall& call);
PyObject* generate_error_id_body(BoundCall& call);
PyObject* generate_event_id_body(BoundCall& call);
PyObject* format_log_with_id_body(BoundCall& call);
PyObject* format_log_with_session_body(BoundCall& call);

}  // namespace merrow::trace_key
