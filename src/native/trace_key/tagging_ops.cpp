// Tags a log message with an identifier: "[" + identifier + "] " + message.
#include <utility>

#include "instance_state.hpp"
#include "method_object.hpp"
#include "text_join.hpp"

namespace merrow::trace_key {

namespace {

// "[" + identifier + "] " + message, where the identifier field is filled.
PyObject* tag(TextField (&fields)[4], PyObject* message)
{
    fields[0].view(name(Name::tag_open));
    fields[2].view(name(Name::tag_close));
    fields[3].view(message);
    return join_fields(fields, 4);
}

}  // namespace

PyObject* format_log_with_id_body(BoundCall& call)
{
    TextField fields[4];
    fields[1].view(call.values[1]);
    return tag(fields, call.values[0]);
}

PyObject* format_log_with_session_body(BoundCall& call)
{
    PyObject* self = call.values[0];
    PyObject* message = call.values[1];
    OwnedRef session = OwnedRef::steal(read_state(self, Attr::session_id));
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
    session = OwnedRef::steal(read_state(self, Attr::session_id));
    TextField fields[4];
    if (!session || fields[1].assign_value(std::move(session)) < 0) {
        return nullptr;
    }
    return tag(fields, message);
}

}  // namespace merrow::trace_key
