// Tags a log message with an identifier: "[" + identifier + "] " + message.
#include <utility>

#include "state/instance_state.hpp"
#include "method_object.hpp"
#include "py_compat.hpp"
#include "text_join.hpp"

namespace merrow::trace_key {

namespace {

// Values whose truth test runs no caller code.
bool tests_quietly(PyObject* value)
{
    return PyUnicode_CheckExact(value) || value == Py_None || PyBool_Check(value) ||
           PyLong_CheckExact(value);
}

// The interpreter's truth test, with the common exact str answered here.
int truth_of(PyObject* value)
{
    if (PyUnicode_CheckExact(value) && compat::text_is_ready(value)) {
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
    bool repeatable;
    PyObject* tested = read_stable_state(self, Attr::session_id, &repeatable);
    if (!tested) {
        return nullptr;
    }
    const int tagged = truth_of(tested);
    OwnedRef session;
    if (tagged > 0 && repeatable && tests_quietly(tested)) {
        // Nothing has run since the read: reading again gives this value.
        session = OwnedRef::steal(tested);
    } else {
        // Let go right after the test, as `if not self._session_id:` does.
        Py_DECREF(tested);
    }
    if (tagged < 0) {
        return nullptr;
    }
    if (!tagged) {
        return new_ref(message);
    }
    // Read again: the tag shows the identifier current at this moment.
    if (!session) {
        session = OwnedRef::steal(read_state(self, Attr::session_id));
    }
    if (!session) {
        return nullptr;
    }
    if (PyUnicode_CheckExact(session.get())) {
        return join_tag(session.get(), message);
    }
    TextField identifier, text;
    if (identifier.assign_value(std::move(session)) < 0 || text.view(message) < 0) {
        return nullptr;
    }
    return join_tag(identifier, text);
}

}  // namespace merrow::trace_key
