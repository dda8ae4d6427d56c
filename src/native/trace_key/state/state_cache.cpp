#include "state_cache.hpp"

#if MERROW_STATE_CACHE

#include <climits>

#include "exception_state.hpp"
#include "owned_ref.hpp"
#include "py_compat.hpp"
#include "value_snapshot.hpp"

namespace merrow::trace_key::cache {

namespace {

// The instance dictionary as a new reference, or null (nothing set) when
// the protocol must decide. Values kept inline get a dictionary of their
// own once, which then holds the very values the interpreter reads and
// writes; before those, the dictionary sits in a slot.
PyObject* instance_dict(PyObject* self)
{
#if MERROW_API_INLINE_VALUES
    PyObject* dict = PyObject_GenericGetDict(self, nullptr);
    if (!dict) {
        PyErr_Clear();
    }
    return dict;
#else
    PyObject* dict = snapshot::dict_in_slot(self);
    Py_XINCREF(dict);
    return dict;
#endif
}

// The generic protocol's error for a name found nowhere, made without a
// second lookup (which could run a key's __eq__ once more). `type` is the
// type the protocol names: the one the lookup started with, or the
// object's type now, as the running series does.
[[gnu::cold]] PyObject* missing_attribute(PyObject* self, PyTypeObject* type, PyObject* key)
{
    (void)self;  // read only by the series that need it
#if MERROW_API_ATTRIBUTE_ERROR_TYPE_AT_RAISE
    type = Py_TYPE(self);
#endif
#if MERROW_API_ATTRIBUTE_ERROR_WIDE_NAME
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'", type->tp_name,
                 key);
#else
    PyErr_Format(PyExc_AttributeError, "'%.50s' object has no attribute '%U'", type->tp_name,
                 key);
#endif
#if MERROW_API_ATTRIBUTE_ERROR_FIELDS
    // Its suggestions read the name and the object from the error (from an
    // AttributeError only: making it may have failed for lack of memory).
    PendingException error;
    error.normalise();
    if (PyErr_GivenExceptionMatches(error.value(), PyExc_AttributeError) &&
        (PyObject_SetAttr(error.value(), name(Name::name_attr), key) < 0 ||
         PyObject_SetAttr(error.value(), name(Name::obj_attr), self) < 0)) {
        error.drop();
    }
#endif
    return nullptr;
}

// Whether reading and writing the instance dictionary ourselves pays:
// always with the cache on; without it (3.13.0, or 3.12 short of a watcher)
// it still skips the protocol's lookups in the type, except where a
// dictionary made once costs the interpreter's method specialisation.
bool own_dictionary_pays()
{
#if MERROW_OWN_DICT_COSTS_METHOD_LOOKUPS
    return snapshot::enabled();
#else
    return true;
#endif
}

// The layout entry when `type` leaves `attr` to the instance dictionary and
// reads it with the generic slot; null when the protocol must decide.
const TypeLayout* direct_read_layout(PyTypeObject* type, Attr attr)
{
    if (type->tp_getattro != PyObject_GenericGetAttr || !own_dictionary_pays()) {
        return nullptr;
    }
    return layout_leaving(type, attr);
}

bool writable_directly(PyTypeObject* type, Attr attr)
{
    return (plain_names(type) & attr_bit(attr)) && type->tp_setattro == PyObject_GenericSetAttr &&
           own_dictionary_pays();
}

// Everything the cache does not answer.
[[gnu::noinline]] PyObject* read_slowly(PyObject* self, Attr attr)
{
    PyObject* key = state_name(attr);
    const TypeLayout* layout = direct_read_layout(Py_TYPE(self), attr);
    PyObject* dict = layout ? instance_dict(self) : nullptr;
    if (!dict) {
        return PyObject_GetAttr(self, key);
    }
    if (snapshot::enabled() && snapshot::rememberable(dict)) {
        // Only str keys: the lookup runs no code and the instance keeps its
        // dictionary meanwhile.
        Py_DECREF(dict);
        PyObject* value = snapshot::look_up(self, dict, *layout, attr);
        if (value) {
            Py_INCREF(value);
            return value;
        }
        return PyErr_Occurred() ? nullptr : missing_attribute(self, Py_TYPE(self), key);
    }
    // Held across the lookup, as the protocol holds them: a key's __eq__
    // may replace the instance's dictionary, or its class.
    OwnedRef type = OwnedRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    PyObject* value = PyDict_GetItemWithError(dict, key);
    Py_XINCREF(value);
    Py_DECREF(dict);
    if (value || PyErr_Occurred()) {
        return value;
    }
    return missing_attribute(self, reinterpret_cast<PyTypeObject*>(type.get()), key);
}

}  // namespace

PyObject* read(PyObject* self, Attr attr)
{
    PyObject* value = snapshot::remembered(self, attr);
    if (value) {
        Py_INCREF(value);
        return value;
    }
    return read_slowly(self, attr);
}

int write(PyObject* self, Attr attr, PyObject* value)
{
    PyObject* key = state_name(attr);
    // Replacing a value changes no keys, so the protocol's bookkeeping of
    // the type's shared key table (around a store that adds a key) has
    // nothing to do.
    Snapshot* snap = snapshot::current(self);
    PyObject* old = snap ? snap->values[static_cast<int>(attr)] : nullptr;
    if (old) {
        return snapshot::replace(snap, snap->dict, attr, old, value);
    }
    PyObject* dict = writable_directly(Py_TYPE(self), attr) ? instance_dict(self) : nullptr;
#if MERROW_SNAPSHOT_BY_INSTANCE
    // A split table that the cache does not answer for: the key may be
    // missing, and only the protocol keeps the shared keys in step.
    if (dict && snapshot::rememberable(dict)) {
        Py_CLEAR(dict);
    }
#endif
    if (!dict) {
        return PyObject_SetAttr(self, key, value);
    }
    const int result = PyDict_SetItem(dict, key, value);
    Py_DECREF(dict);
    return result;
}

bool read_remembered(PyObject* self, Attr attr, PyObject** value)
{
    *value = snapshot::remembered(self, attr);
    Py_XINCREF(*value);
    return *value != nullptr;
}

bool read_text_then(PyObject* self, Attr text, Attr next, PyObject** first, PyObject** second,
                    const Snapshot* look)
{
    const Snapshot* snap = look ? look : snapshot::current(self);
    if (!snap) {
        return false;
    }
    *first = snap->values[static_cast<int>(text)];
    *second = snap->values[static_cast<int>(next)];
    if (!*first || !*second || !PyUnicode_CheckExact(*first)) {
        return false;
    }
    Py_INCREF(*first);
    Py_INCREF(*second);
    return true;
}

#if MERROW_SNAPSHOT_BY_WATCHER
void forget_dict(PyObject* dict) { snapshot::forget_dict(dict); }
#endif

bool count(PyObject* self, Attr counter, PyObject** number, const Snapshot** look)
{
    Snapshot* snap = snapshot::current(self);
    PyObject* old = snap ? snap->values[static_cast<int>(counter)] : nullptr;
    if (!old || !PyLong_CheckExact(old)) {
        return false;
    }
    long long value;
    if (!compat::small_int_value(old, &value) || value == LLONG_MAX) {
        return false;
    }
    // The sum the number protocol gives an exact int. No caller code runs
    // from here on: an int's allocation starts no collection, and the old
    // one's release runs nothing. The read back gives the value just
    // stored.
    *number = compat::int_from(value + 1);
    if (*number && snapshot::replace(snap, snap->dict, counter, old, *number) < 0) {
        Py_CLEAR(*number);
    }
    *look = *number ? snap : nullptr;
    return true;
}

}  // namespace merrow::trace_key::cache

#endif  // MERROW_STATE_CACHE
