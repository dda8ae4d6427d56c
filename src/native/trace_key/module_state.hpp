// Process-wide state of the trace_key module: the held module, its interned
// names and the other constants made once at import.
#pragma once

#include <Python.h>

#include "module_lifecycle.hpp"
#include "text_constants.hpp"
#include "traceback_entry.hpp"

namespace merrow::trace_key {

// Every name the module looks up, binds, compares or quotes.
#define MERROW_TRACE_KEY_NAMES(X)                                        \
    X(self, "self")                                                      \
    X(node_id, "node_id")                                                \
    X(source_idx, "source_idx")                                          \
    X(force, "force")                                                    \
    X(error_type, "error_type")                                          \
    X(event_type, "event_type")                                          \
    X(message, "message")                                                \
    X(trace_key, "trace_key")                                            \
    X(counter, "counter")                                                \
    X(short_uuid, "short_uuid")                                          \
    X(session_id, "_session_id")                                         \
    X(error_counter, "_error_counter")                                   \
    X(event_counter, "_event_counter")                                   \
    X(lock, "_lock")                                                     \
    X(enter, "__enter__")                                                \
    X(exit, "__exit__")                                                  \
    X(uuid4, "uuid4")                                                    \
    X(name_attr, "name")                                                 \
    X(obj_attr, "obj")                                                   \
    X(Lock, "Lock")                                                      \
    X(threading, "threading")                                            \
    X(uuid, "uuid")                                                      \
    X(typing, "typing")                                                  \
    X(Optional, "Optional")                                              \
    X(GENERAL, "GENERAL")                                                \
    X(ErrorType, "ErrorType")                                            \
    X(EventType, "EventType")                                            \
    X(LogIDGenerator, "LogIDGenerator")                                  \
    X(test_dict, "__test__")                                             \
    X(module_key, "__module__")                                          \
    X(qualname_key, "__qualname__")                                      \
    X(doc_key, "__doc__")                                                \
    X(return_key, "return")                                              \
    X(str_name, "str")                                                   \
    X(int_name, "int")                                                   \
    X(bool_name, "bool")                                                 \
    X(optional_str, "Optional[str]")                                     \
    X(module_name, "merrow_sdk.logging.trace_key")                       \
    X(init, "__init__")                                                  \
    X(generate_session_id, "generate_session_id")                        \
    X(generate_error_id, "generate_error_id")                            \
    X(generate_event_id, "generate_event_id")                            \
    X(get_session_id, "get_session_id")                                  \
    X(format_log_with_id, "format_log_with_id")                          \
    X(format_log_with_session, "format_log_with_session")                \
    X(qual_init, "LogIDGenerator.__init__")                              \
    X(qual_generate_session_id, "LogIDGenerator.generate_session_id")    \
    X(qual_generate_error_id, "LogIDGenerator.generate_error_id")        \
    X(qual_generate_event_id, "LogIDGenerator.generate_event_id")        \
    X(qual_get_session_id, "LogIDGenerator.get_session_id")              \
    X(qual_format_log_with_id, "LogIDGenerator.format_log_with_id")      \
    X(qual_format_log_with_session, "LogIDGenerator.format_log_with_session")

enum class Name : int {
#define MERROW_NAME_ENUM(id, text) id,
    MERROW_TRACE_KEY_NAMES(MERROW_NAME_ENUM)
#undef MERROW_NAME_ENUM
        count
};

struct State {
    lifecycle::HeldModule held;
    TracebackCodeCache tracebacks;
    PyObject* empty_tuple = nullptr;
    PyObject* empty_bytes = nullptr;
    PyObject* empty_text = nullptr;
    PyObject* zero = nullptr;
    PyObject* one = nullptr;
    PyObject* eight = nullptr;
    PyObject* first_eight = nullptr;  // the slice [:8]
    PyObject* three_nones = nullptr;  // (None, None, None): a normal __exit__
    PyObject* staticmethod = nullptr;
};

// Never destroyed: the interpreter may still run our code during shutdown.
extern State g_state;

extern const lifecycle::ModuleNames kModuleNames;
inline constexpr const char kSourceFile[] = "merrow_sdk/logging/trace_key.py";

extern TextConstant g_names[];

// The interned name; valid once make_constants() has succeeded. Inline:
// every attribute read and binding step asks for one.
inline PyObject* name(Name id) { return g_names[static_cast<int>(id)].object; }

// Makes the names, numbers and the slice; keeps those an earlier import made.
int make_constants();

// A module global: the namespace `globals` first, then the builtins module;
// NameError when neither has it. Returns a new reference.
PyObject* lookup_global(PyObject* globals, Name id);

}  // namespace merrow::trace_key
