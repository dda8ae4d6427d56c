// Every name of the trace_key module: its own, the texts it looks up,
// binds, compares or quotes, the six state attributes and the seven
// operations.
#pragma once

#include <cstdint>

#include "module_lifecycle.hpp"

namespace merrow::trace_key {

inline constexpr const char kSourceFile[] = "merrow_sdk/logging/trace_key.py";

inline constexpr lifecycle::ModuleNames kModuleNames = {
    "trace_key",
    "merrow_sdk.logging.trace_key",
    "merrow_sdk.logging.trace_key",
    "init merrow_sdk.logging.trace_key",
    kSourceFile,
};

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

// The generator's state attributes.
enum class Attr : int { node_id, source_idx, session_id, error_counter, event_counter, lock, count };

inline constexpr std::uint32_t attr_bit(Attr attr) { return 1u << static_cast<int>(attr); }

inline constexpr Name kStateNames[] = {Name::node_id,       Name::source_idx,
                                       Name::session_id,    Name::error_counter,
                                       Name::event_counter, Name::lock};
static_assert(sizeof kStateNames / sizeof kStateNames[0] == static_cast<int>(Attr::count));

enum class OperationId : int {
    init,
    generate_session_id,
    generate_error_id,
    generate_event_id,
    get_session_id,
    format_log_with_id,
    format_log_with_session,
    count
};

}  // namespace merrow::trace_key
