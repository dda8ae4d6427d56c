// Construction and the session identifier.
#include <utility>

#include "global_cache.hpp"
#include "identifier_fields.hpp"
#include "state/instance_state.hpp"
#include "state/lock_section.hpp"
#include "method_object.hpp"
#include "text_join.hpp"

namespace merrow::trace_key {

namespace {

// None or an exact str may be returned as a session identifier. Takes a
// failed read (null, exception set) too: the read-back after storing a new
// identifier runs caller code and can fail.
PyObject* checked_session(PyObject* value)
{
    if (value && value != Py_None && !PyUnicode_CheckExact(value)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(value)->tp_name);
        Py_DECREF(value);
        return nullptr;
    }
    return value;
}

// The first 8 characters of str(uuid.uuid4()).
int short_uuid(PyObject* globals, TextField& field)
{
    OwnedRef uuid4 = OwnedRef::steal(global_attribute(globals, Name::uuid, Name::uuid4));
    OwnedRef made = OwnedRef::steal(uuid4 ? PyObject_CallNoArgs(uuid4.get()) : nullptr);
    OwnedRef text = OwnedRef::steal(made ? PyObject_Str(made.get()) : nullptr);
    if (!text) {
        return -1;
    }
    return field.assign_head(std::move(text), 8);
}

// Makes a new identifier and stores it in self._session_id.
int make_session(PyObject* self, PyObject* globals)
{
    TextField fields[3];  // node prefix, index, short UUID
    if (short_uuid(globals, fields[2]) < 0) {
        return -1;
    }
    if (read_node_fields(self, fields[0], fields[1]) < 0) {
        return -1;
    }
    OwnedRef session = OwnedRef::steal(join_dashed("SES-", fields, 3));
    if (!session) {
        return -1;
    }
    return write_state(self, Attr::session_id, session.get());
}

// The part of generate_session_id that runs under the lock.
PyObject* session_in_lock(PyObject* self, bool force, PyObject* globals)
{
    bool repeatable;
    PyObject* current = read_stable_state(self, Attr::session_id, &repeatable);
    if (!current) {
        return nullptr;
    }
    const bool missing = current == Py_None;
    if (!missing && !force && repeatable) {
        // Nothing has run since: the read back gives this very value.
        return checked_session(current);
    }
    // Only tested, then let go: a replaced identifier goes at the write.
    Py_DECREF(current);
    if ((missing || force) && make_session(self, globals) < 0) {
        return nullptr;
    }
    return checked_session(read_state(self, Attr::session_id));
}

}  // namespace

PyObject* init_body(BoundCall& call)
{
    PyObject* self = call.values[0];
    if (assign_state(self, Attr::node_id, call.values[1]) < 0 ||
        assign_state(self, Attr::source_idx, call.values[2]) < 0 ||
        assign_state(self, Attr::session_id, Py_None) < 0 ||
        assign_state(self, Attr::error_counter, g_process.zero) < 0 ||
        assign_state(self, Attr::event_counter, g_process.zero) < 0) {
        return nullptr;
    }
    OwnedRef make_lock =
        OwnedRef::steal(global_attribute(call.function->globals, Name::threading, Name::Lock));
    if (!make_lock) {
        return nullptr;
    }
    OwnedRef lock = OwnedRef::steal(PyObject_CallNoArgs(make_lock.get()));
    if (!lock || assign_state(self, Attr::lock, lock.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* generate_session_id_body(BoundCall& call)
{
    PyObject* self = call.values[0];
    LockSection section;
    if (section.enter(self) < 0) {
        return nullptr;
    }
    OwnedRef result = OwnedRef::steal(session_in_lock(self, call.truth, call.function->globals));
    if (leave_section(section, call, !result) < 0) {
        return nullptr;
    }
    // A suppressed failure leaves None.
    return result ? result.release() : new_ref(Py_None);
}

PyObject* get_session_id_body(BoundCall& call)
{
    PyObject* value = read_state(call.values[0], Attr::session_id);
    return value ? checked_session(value) : nullptr;
}

}  // namespace merrow::trace_key
