// Numbered error and event identifiers: one body for both kinds.
#include <utility>

#include "instance_state.hpp"
#include "lock_protocol.hpp"
#include "method_object.hpp"
#include "text_join.hpp"

namespace merrow::trace_key {

namespace {

struct CounterKind {
    Attr counter;
    Name prefix;
};

constexpr CounterKind kErrors = {Attr::error_counter, Name::error_prefix};
constexpr CounterKind kEvents = {Attr::event_counter, Name::event_prefix};

// Read, add one in place, write back, read back: the running number.
PyObject* count_one(PyObject* self, Attr counter)
{
    OwnedRef current = OwnedRef::steal(read_state(self, counter));
    if (!current) {
        return nullptr;
    }
    OwnedRef next = OwnedRef::steal(PyNumber_InPlaceAdd(current.get(), g_state.one));
    if (!next || write_state(self, counter, next.get()) < 0) {
        return nullptr;
    }
    return read_state(self, counter);
}

// The node prefix and index texts, read after the lock is given back.
int read_fields(PyObject* self, TextField& node, TextField& index)
{
    OwnedRef node_id = OwnedRef::steal(read_state(self, Attr::node_id));
    if (!node_id || node.assign_node_prefix(std::move(node_id)) < 0) {
        return -1;
    }
    OwnedRef index_value = OwnedRef::steal(read_state(self, Attr::source_idx));
    return index_value ? index.assign_value(std::move(index_value)) : -1;
}

PyObject* counted_id(BoundCall& call, const CounterKind& kind)
{
    PyObject* self = call.values[0];
    LockSection section;
    if (section.enter(self) < 0) {
        return nullptr;
    }
    OwnedRef number = OwnedRef::steal(count_one(self, kind.counter));
    if (!number) {
        if (section.exit_with_exception(*call.function->op, call) !=
            LockSection::Outcome::suppressed) {
            return nullptr;
        }
    } else if (section.exit() < 0) {
        return nullptr;
    }
    TextField fields[8];
    if (read_fields(self, fields[3], fields[5]) < 0) {
        return nullptr;
    }
    if (!number) {
        // The suppressed failure left no running number to print.
        PyErr_Format(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment",
                     "counter");
        return nullptr;
    }
    if (fields[7].assign_value(std::move(number)) < 0) {
        return nullptr;
    }
    fields[0].view(name(kind.prefix));
    fields[1].view(call.values[1]);
    fields[2].view(name(Name::dash));
    fields[4].view(name(Name::dash));
    fields[6].view(name(Name::dash));
    return join_fields(fields, 8);
}

}  // namespace

PyObject* generate_error_id_body(BoundCall& call) { return counted_id(call, kErrors); }

PyObject* generate_event_id_body(BoundCall& call) { return counted_id(call, kEvents); }

}  // namespace merrow::trace_key
