// Tags a log message with an identifier: "[" + identifier + "] " + message.
#include <utility>

#include "instance_state.hpp"
#include "method_object.hpp"
#include "text_join.hpp"

namespace merrow::trace_key {

namespace {

// The interpreter's truth test, with the common exact str answered here.
int truth_of(PyObject* value)
{
    if (PyUnicode_CheckExact(value)) {
        return PyUnicode_GET_LENGTH(value) != 0;
    }
    return PyObject_IsTrue(value);
}

}  // namespace

PyObject* format_log_with_id_body(BoundCall& call)
{
    return join_tag(call.values[1], call.values[0]);
}

PyObject* format_log_with_session_body(BoundCall& call)
{
    PyObject* self = call.values[0];
    PyObject* message = call.values[1];
    OwnedRef session = OwnedRef::steal(read_state(self, Attr::session_id));
    if (!session) {
        return nullptr;
    }
    const int tagged = truth_of(session.get());
    if (tagged < 0) {
        return nullptr;
    }
    if (!tagged) {
        Py_INCREF(message);
        return message;
    }
    // Read again: the tag shows the identifier current at this moment.
    session = OwnedRef::steal(read_state(self, Attr::session_id));
    if (!session) {
        return nullptr;
    }
    if (PyUnicode_CheckExact(session.get())) {
        return join_tag(session.get(), message);
    }
    TextField identifier, text;
    if (identifier.assign_value(std::move(session)) < 0) {
        return nullptr;
    }
    text.view(message);
    return join_tag(identifier, text);
}

}  // namespace merrow::trace_key
