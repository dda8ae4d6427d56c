#include <iterator>

#include "docstrings.hpp"
#include "operation.hpp"

namespace merrow::trace_key {

namespace {

constexpr CountWording kExactlyOne = {"exactly", 1, ""};
constexpr CountWording kExactlyTwo = {"exactly", 2, "s"};
constexpr CountWording kExactlyThree = {"exactly", 3, "s"};
constexpr CountWording kAtLeastOne = {"at least", 1, ""};
constexpr CountWording kAtMostTwo = {"at most", 2, "s"};

#define MERROW_QUALIFIED(op) "merrow_sdk.logging.trace_key.LogIDGenerator." op

// Rows follow the order in which the methods enter the class namespace.
const OperationSpec kOperations[] = {
    {"__init__", MERROW_QUALIFIED("__init__"), 1, Name::init, Name::qual_init, nullptr, false,
     3, 3, {Name::self, Name::node_id, Name::source_idx},
     {Rule::any, Rule::exact_str, Rule::integer}, {2, 1, 0},
     DefaultSource::none, kExactlyThree, kExactlyThree,
     0, {}, 2, {{Name::node_id, Name::str_name}, {Name::source_idx, Name::int_name}},
     init_body},
    {"generate_session_id", MERROW_QUALIFIED("generate_session_id"), 2,
     Name::generate_session_id, Name::qual_generate_session_id, docs::generate_session_id, false,
     2, 1, {Name::self, Name::force}, {Rule::any, Rule::truth}, {1},
     DefaultSource::false_value, kAtLeastOne, kAtMostTwo,
     1, {Name::short_uuid}, 2, {{Name::force, Name::bool_name}, {Name::return_key, Name::str_name}},
     generate_session_id_body},
    {"generate_error_id", MERROW_QUALIFIED("generate_error_id"), 3,
     Name::generate_error_id, Name::qual_generate_error_id, docs::generate_error_id, false,
     2, 1, {Name::self, Name::error_type}, {Rule::any, Rule::exact_str}, {1},
     DefaultSource::token_record, kAtLeastOne, kAtMostTwo,
     1, {Name::counter}, 2,
     {{Name::error_type, Name::str_name}, {Name::return_key, Name::str_name}},
     generate_error_id_body, Name::ErrorType},
    {"generate_event_id", MERROW_QUALIFIED("generate_event_id"), 4,
     Name::generate_event_id, Name::qual_generate_event_id, docs::generate_event_id, false,
     2, 1, {Name::self, Name::event_type}, {Rule::any, Rule::exact_str}, {1},
     DefaultSource::token_record, kAtLeastOne, kAtMostTwo,
     1, {Name::counter}, 2,
     {{Name::event_type, Name::str_name}, {Name::return_key, Name::str_name}},
     generate_event_id_body, Name::EventType},
    {"get_session_id", MERROW_QUALIFIED("get_session_id"), 5,
     Name::get_session_id, Name::qual_get_session_id, docs::get_session_id, false,
     1, 1, {Name::self}, {Rule::any}, {},
     DefaultSource::none, kExactlyOne, kExactlyOne,
     0, {}, 1, {{Name::return_key, Name::optional_str}},
     get_session_id_body},
    {"format_log_with_id", MERROW_QUALIFIED("format_log_with_id"), 6,
     Name::format_log_with_id, Name::qual_format_log_with_id, docs::format_log_with_id, true,
     2, 2, {Name::message, Name::trace_key}, {Rule::exact_str, Rule::exact_str}, {0, 1},
     DefaultSource::none, kExactlyTwo, kExactlyTwo,
     0, {}, 3,
     {{Name::message, Name::str_name}, {Name::trace_key, Name::str_name},
      {Name::return_key, Name::str_name}},
     format_log_with_id_body},
    {"format_log_with_session", MERROW_QUALIFIED("format_log_with_session"), 7,
     Name::format_log_with_session, Name::qual_format_log_with_session,
     docs::format_log_with_session, false,
     2, 2, {Name::self, Name::message}, {Rule::any, Rule::exact_str}, {1},
     DefaultSource::none, kExactlyTwo, kExactlyTwo,
     0, {}, 2, {{Name::message, Name::str_name}, {Name::return_key, Name::str_name}},
     format_log_with_session_body},
};

#undef MERROW_QUALIFIED

static_assert(std::size(kOperations) == static_cast<std::size_t>(OperationId::count));

}  // namespace

const OperationSpec& operation(OperationId id) { return kOperations[static_cast<int>(id)]; }

void add_operation_entry(const OperationSpec& op, PyObject* globals)
{
    g_process.tracebacks.add_entry(op.traceback_name, kSourceFile, op.traceback_line, globals);
}

}  // namespace merrow::trace_key
