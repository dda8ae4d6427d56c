// Tags a log message with an identifier: "[" + identifier + "] " + message.
#include "instance_state.hpp"
#include "method_object.hpp"
#include "text_join.hpp"

namespace merrow::trace_key {

namespace {

PyObject* tag(PyObject* identifier, PyObject* message)
{
    PyObject* parts[] = {name(Name::tag_open), identifier, name(Name::tag_close), message};
    return join_texts(parts, 4);
}

}  // namespace

PyObject* format_log_with_id_body(BoundCall& call)
{
    return tag(call.values[1], call.values[0]);
}

PyObject* format_log_with_session_body(BoundCall& call)
{
    PyObject* self = call.values[0];
    PyObject* message = call.values[1];
    OwnedRef session = OwnedRef::steal(read_state(self, Name::session_id));
    if (!session) {
        return nullptr;
    }
    const int tagged = session.get() == Py_None ? 0 : PyObject_IsTrue(session.get());
    if (tagged < 0) {
        return nullptr;
    }
    if (!tagged) {
        Py_INCREF(message);
        return message;
    }
    // Read again: the tag shows the identifier current at this moment.
    session = OwnedRef::steal(read_state(self, Name::session_id));
    OwnedRef text = OwnedRef::steal(session ? field_text(session.get()) : nullptr);
    if (!text) {
        return nullptr;
    }
    return tag(text.get(), message);
}

}  // namespace merrow::trace_key
