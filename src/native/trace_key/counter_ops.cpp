// Numbered error and event identifiers: one body for both kinds.
#include <climits>
#include <utility>

#include "identifier_fields.hpp"
#include "instance_state.hpp"
#include "lock_protocol.hpp"
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

// current += 1. An exact int has no in-place addition of its own: the
// sum is what the number protocol would give, without its dispatch.
PyObject* add_one(PyObject* current)
{
    long long value;
    if (PyLong_CheckExact(current) && compat::small_int_value(current, &value) &&
        value < LLONG_MAX) {
        return compat::int_from(value + 1);
    }
    return PyNumber_InPlaceAdd(current, g_state.one);
}

// Read, add one in place, write back, read back: the running number. The
// old value is let go once added to, as `x += 1` lets it go, so that the
// write-back drops its last reference (and runs any __del__) before the
// read-back.
PyObject* count_one(PyObject* self, Attr counter, MemoryLook* look)
{
    PyObject* number;
    if (count_remembered(self, counter, &number, look)) {
        return number;
    }
    OwnedRef current = OwnedRef::steal(read_state(self, counter));
    if (!current) {
        return nullptr;
    }
    OwnedRef next = OwnedRef::steal(add_one(current.get()));
    current.reset();
    if (!next || write_state(self, counter, next.get()) < 0) {
        return nullptr;
    }
    return read_state(self, counter);
}

PyObject* counted_id(BoundCall& call, const CounterKind& kind)
{
    PyObject* self = call.values[0];
    LockSection section;
    if (section.enter(self) < 0) {
        return nullptr;
    }
    MemoryLook look;
    OwnedRef number = OwnedRef::steal(count_one(self, kind.counter, &look));
    if (!number) {
        if (section.exit_with_exception(*call.function->op, call) !=
            LockSection::Outcome::suppressed) {
            return nullptr;
        }
    } else if (section.exit() < 0) {
        return nullptr;
    }
    if (!section.exits_quietly()) {
        look = {};
    }
    TextField fields[4];  // token, node prefix, index, running number
    if (read_node_fields(self, fields[1], fields[2], look) < 0) {
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
