#include "instance_state.hpp"

#include <climits>

#include "interpreter_gates.hpp"
#include "owned_ref.hpp"
#include "py_compat.hpp"
#include "state_cache.hpp"

namespace merrow::trace_key {

namespace {

// current += 1. An exact int has no in-place addition of its own: the
// sum is what the number protocol would give, without its dispatch.
PyObject* add_one(PyObject* current)
{
    long long value;
    if (PyLong_CheckExact(current) && compat::small_int_value(current, &value) &&
        value < LLONG_MAX) {
        return compat::int_from(value + 1);
    }
    return PyNumber_InPlaceAdd(current, g_process.one);
}

}  // namespace

int assign_state(PyObject* self, Attr attr, PyObject* value)
{
#if MERROW_DIRECT_SETATTR
    if (Py_TYPE(self)->tp_setattro == PyObject_GenericSetAttr) {
        return PyObject_GenericSetAttr(self, state_name(attr), value);
    }
#endif
    return PyObject_SetAttr(self, state_name(attr), value);
}

#if MERROW_STATE_CACHE

PyObject* read_state(PyObject* self, Attr attr) { return cache::read(self, attr); }

int write_state(PyObject* self, Attr attr, PyObject* value)
{
    return cache::write(self, attr, value);
}

PyObject* read_stable_state(PyObject* self, Attr attr, bool* stable)
{
    PyObject* value;
    *stable = cache::read_remembered(self, attr, &value);
    return *stable ? value : cache::read(self, attr);
}

bool read_text_then(PyObject* self, Attr text, Attr next, PyObject** first, PyObject** second,
                    const Snapshot* look)
{
    return cache::read_text_then(self, text, next, first, second, look);
}

#else

PyObject* read_state(PyObject* self, Attr attr) { return PyObject_GetAttr(self, state_name(attr)); }

int write_state(PyObject* self, Attr attr, PyObject* value)
{
    return PyObject_SetAttr(self, state_name(attr), value);
}

PyObject* read_stable_state(PyObject* self, Attr attr, bool* stable)
{
    *stable = false;
    return read_state(self, attr);
}

bool read_text_then(PyObject*, Attr, Attr, PyObject**, PyObject**, const Snapshot*)
{
    return false;
}

#endif

PyObject* count_state(PyObject* self, Attr counter, const Snapshot** look)
{
#if MERROW_STATE_CACHE
    PyObject* number;
    if (cache::count(self, counter, &number, look)) {
        return number;
    }
#else
    (void)look;
#endif
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

}  // namespace merrow::trace_key
