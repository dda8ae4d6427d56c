// Construction and the session identifier.
#include "instance_state.hpp"
#include "lock_protocol.hpp"
#include "method_object.hpp"
#include "text_join.hpp"

namespace merrow::trace_key {

namespace {

// None or an exact str may be returned as a session identifier.
PyObject* checked_session(PyObject* value)
{
    if (value != Py_None && !PyUnicode_CheckExact(value)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(value)->tp_name);
        Py_DECREF(value);
        return nullptr;
    }
    return value;
}

PyObject* short_uuid(PyObject* globals)
{
    OwnedRef uuid = OwnedRef::steal(lookup_global(globals, Name::uuid));
    if (!uuid) {
        return nullptr;
    }
    OwnedRef uuid4 = OwnedRef::steal(PyObject_GetAttr(uuid.get(), name(Name::uuid4)));
    if (!uuid4) {
        return nullptr;
    }
    OwnedRef made = OwnedRef::steal(PyObject_CallNoArgs(uuid4.get()));
    if (!made) {
        return nullptr;
    }
    OwnedRef text = OwnedRef::steal(PyObject_Str(made.get()));
    if (!text) {
        return nullptr;
    }
    return PyUnicode_Substring(text.get(), 0, 8);
}

// Makes a new identifier and stores it in self._session_id.
int make_session(PyObject* self, PyObject* globals)
{
    OwnedRef uuid_text = OwnedRef::steal(short_uuid(globals));
    if (!uuid_text) {
        return -1;
    }
    OwnedRef node_id = OwnedRef::steal(read_state(self, Name::node_id));
    OwnedRef node = OwnedRef::steal(node_id ? node_prefix_text(node_id.get()) : nullptr);
    if (!node) {
        return -1;
    }
    OwnedRef index_value = OwnedRef::steal(read_state(self, Name::source_idx));
    OwnedRef index = OwnedRef::steal(index_value ? field_text(index_value.get()) : nullptr);
    if (!index) {
        return -1;
    }
    PyObject* parts[] = {name(Name::session_prefix), node.get(), name(Name::dash), index.get(),
                         name(Name::dash), uuid_text.get()};
    OwnedRef session = OwnedRef::steal(join_texts(parts, 6));
    if (!session) {
        return -1;
    }
    return write_state(self, Name::session_id, session.get());
}

// The part of generate_session_id that runs under the lock.
PyObject* session_in_lock(PyObject* self, bool force, PyObject* globals)
{
    OwnedRef current = OwnedRef::steal(read_state(self, Name::session_id));
    if (!current) {
        return nullptr;
    }
    if ((current.get() == Py_None || force) && make_session(self, globals) < 0) {
        return nullptr;
    }
    return checked_session(read_state(self, Name::session_id));
}

}  // namespace

PyObject* init_body(BoundCall& call)
{
    PyObject* self = call.values[0];
    if (write_state(self, Name::node_id, call.values[1]) < 0 ||
        write_state(self, Name::source_idx, call.values[2]) < 0 ||
        write_state(self, Name::session_id, Py_None) < 0 ||
        write_state(self, Name::error_counter, g_state.zero) < 0 ||
        write_state(self, Name::event_counter, g_state.zero) < 0) {
        return nullptr;
    }
    OwnedRef threading = OwnedRef::steal(lookup_global(call.function->globals, Name::threading));
    if (!threading) {
        return nullptr;
    }
    OwnedRef make_lock = OwnedRef::steal(PyObject_GetAttr(threading.get(), name(Name::Lock)));
    if (!make_lock) {
        return nullptr;
    }
    OwnedRef lock = OwnedRef::steal(PyObject_CallNoArgs(make_lock.get()));
    if (!lock || write_state(self, Name::lock, lock.get()) < 0) {
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
    if (!result) {
        if (section.exit_with_exception(*call.function->op, call) ==
            LockSection::Outcome::suppressed) {
            Py_RETURN_NONE;
        }
        return nullptr;
    }
    if (section.exit() < 0) {
        return nullptr;
    }
    return result.release();
}

PyObject* get_session_id_body(BoundCall& call)
{
    PyObject* value = read_state(call.values[0], Name::session_id);
    return value ? checked_session(value) : nullptr;
}

}  // namespace merrow::trace_key
