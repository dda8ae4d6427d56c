// Numbered error and event identifiers: one body for both kinds.
#include <utility>

#include "identifier_fields.hpp"
#include "state/instance_state.hpp"
#include "state/lock_section.hpp"
#include "method_object.hpp"
#include "text_join.hpp"

namespace merrow::trace_key {

namespace {

struct CounterKind {
    Attr counter;
    const char (&prefix)[5];
};

constexpr CounterKind kErrors = {Attr::error_counter, "ERR-"};
constexpr CounterKind kEvents = {Attr::event_counter, "EVT-"};

PyObject* counted_id(BoundCall& call, const CounterKind& kind)
{
    PyObject* self = call.values[0];
    LockSection section;
    if (section.enter(self) < 0) {
        return nullptr;
    }
    OwnedRef number = OwnedRef::steal(count_state(self, kind.counter, section.look_slot()));
    if (leave_section(section, call, !number) < 0) {
        return nullptr;
    }
    TextField fields[4];  // token, node prefix, index, running number
    if (read_node_fields(self, fields[1], fields[2], section.look()) < 0) {
        return nullptr;
    }
    if (!number) {
        // The suppressed failure left no running number to print.
        PyErr_Format(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment",
                     "counter");
        return nullptr;
    }
    if (fields[3].assign_value(std::move(number)) < 0 || fields[0].view(call.values[1]) < 0) {
        return nullptr;
    }
    return join_dashed(kind.prefix, fields, 4);
}

}  // namespace

PyObject* generate_error_id_body(BoundCall& call) { return counted_id(call, kErrors); }

PyObject* generate_event_id_body(BoundCall& call) { return counted_id(call, kEvents); }

}  // namespace merrow::trace_key
