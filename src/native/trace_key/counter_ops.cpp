// Numbered error and event identifiers: one body for both kinds.
#include "instance_state.hpp"
#include "lock_protocol.hpp"
#include "method_object.hpp"
#include "text_join.hpp"

namespace merrow::trace_key {

namespace {

struct CounterKind {
    Name counter;
    Name prefix;
};

constexpr CounterKind kErrors = {Name::error_counter, Name::error_prefix};
constexpr CounterKind kEvents = {Name::event_counter, Name::event_prefix};

// Read, add one in place, write back, read back: the running number.
PyObject* count_one(PyObject* self, Name counter)
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
int read_fields(PyObject* self, OwnedRef& node, OwnedRef& index)
{
    OwnedRef node_id = OwnedRef::steal(read_state(self, Name::node_id));
    node = OwnedRef::steal(node_id ? node_prefix_text(node_id.get()) : nullptr);
    if (!node) {
        return -1;
    }
    OwnedRef index_value = OwnedRef::steal(read_state(self, Name::source_idx));
    index = OwnedRef::steal(index_value ? field_text(index_value.get()) : nullptr);
    return index ? 0 : -1;
}

PyObject* counted_id(BoundCall& call, const CounterKind& kind)
{
    PyObject* self = call.values[0];
    PyObject* token = call.values[1];
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
    OwnedRef node, index;
    if (read_fields(self, node, index) < 0) {
        return nullptr;
    }
    if (!number) {
        // The suppressed failure left no running number to print.
        PyErr_Format(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment",
                     "counter");
        return nullptr;
    }
    OwnedRef number_text = OwnedRef::steal(field_text(number.get()));
    if (!number_text) {
        return nullptr;
    }
    PyObject* parts[] = {name(kind.prefix), token,       name(Name::dash), node.get(),
                         name(Name::dash),  index.get(), name(Name::dash), number_text.get()};
    return join_texts(parts, 8);
}

}  // namespace

PyObject* generate_error_id_body(BoundCall& call) { return counted_id(call, kErrors); }

PyObject* generate_event_id_body(BoundCall& call) { return counted_id(call, kEvents); }

}  // namespace merrow::trace_key
