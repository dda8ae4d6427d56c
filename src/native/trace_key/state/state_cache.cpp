#include "state_cache.hpp"

#if MERROW_STATE_CACHE

#include <climits>

#include "exception_state.hpp"
#include "inline_values.hpp"
#include "owned_ref.hpp"
#include "py_compat.hpp"
#include "type_layout.hpp"
#include "value_snapshot.hpp"

namespace merrow::trace_key::cache {

namespace {

// A read, in the order it asks: the instance's dictionary, then the
// snapshot that answers for it now; failing that, the type's layout and a
// lookup the snapshot remembers, or the protocol.

#if MERROW_SNAPSHOT_BY_INSTANCE
// Up to 3.10 the instance's dictionary sits in a slot.
inline PyObject* dict_in_slot(PyObject* self)
{
    const Py_ssize_t offset = Py_TYPE(self)->tp_dictoffset;
    return offset > 0 ? *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset)
                      : nullptr;
}

// The snapshot that answers for self right now (its `dict` is self's
// dictionary), or null. Found by instance.
inline Snapshot* current(PyObject* self)
{
    Snapshot* found = snapshot::find(self);
    PyTypeObject* type = Py_TYPE(self);
    // The layout proves the type the one remembered, before its dictionary
    // offset is trusted (a freed instance's or type's memory may be reused).
    if (!found || found->type != type || !layout_detail::matches(found->layout, type)) {
        return nullptr;
    }
    PyObject* dict = dict_in_slot(self);
    return dict == found->dict && snapshot::unchanged(*found, dict) ? found : nullptr;
}
#else
// The snapshot that answers for self right now (its `dict` is self's
// dictionary), or null. Values kept inline get a dictionary of their own
// once, which then holds the very values the interpreter reads and writes.
inline Snapshot* current(PyObject* self)
{
    PyTypeObject* type = Py_TYPE(self);
    // Only types with the generic slots and a dictionary are remembered;
    // others are left before a dictionary is asked for.
    if (!snapshot::enabled() || type->tp_getattro != PyObject_GenericGetAttr) {
        return nullptr;
    }
#if MERROW_INLINE_VALUES
    if (inline_values::kept_inline(self)) {
        return nullptr;  // making its dictionary would cost its method loads
    }
#endif
    PyObject* dict = PyObject_GenericGetDict(self, nullptr);
    if (!dict) {
        PyErr_Clear();
        return nullptr;
    }
    Py_DECREF(dict);  // the instance holds it
    Snapshot* snap = snapshot::find(dict);
    // Instances may share a dictionary: any of them whose type, with the
    // version tag remembered, left the names to it reads the same values.
    const bool valid = snap && snap->type == type &&
                       snap->layout.version == layout_detail::valid_version(type) &&
                       snapshot::unchanged(*snap, dict);
    return valid ? snap : nullptr;
}
#endif

// The slot that holds self.<attr> inline (3.12), or null.
inline PyObject** inline_slot(PyObject* self, Attr attr)
{
#if MERROW_INLINE_VALUES
    return inline_values::slot_of(self, attr);
#else
    (void)self;
    (void)attr;
    return nullptr;
#endif
}

// self.<attr> (borrowed) when the cache answers for it; null otherwise.
inline PyObject* remembered(PyObject* self, Attr attr)
{
    if (PyObject** slot = inline_slot(self, attr)) {
        return *slot;
    }
    Snapshot* snap = current(self);
    return snap ? snap->values[static_cast<int>(attr)] : nullptr;
}

// Replaces a value kept inline as the protocol does, the old one released
// last; false (nothing done) when the protocol must store.
bool replace_inline(PyObject* self, Attr attr, PyObject* value)
{
    PyObject** slot = inline_slot(self, attr);
    if (!slot || Py_TYPE(self)->tp_setattro != PyObject_GenericSetAttr) {
        return false;
    }
    replace_ref(*slot, value);
    return true;
}

// The instance dictionary as a new reference, or null (nothing set) when
// the protocol must decide.
PyObject* instance_dict(PyObject* self)
{
#if MERROW_INLINE_VALUES
    if (inline_values::kept_inline(self)) {
        return nullptr;
    }
#endif
#if MERROW_API_INLINE_VALUES
    PyObject* dict = PyObject_GenericGetDict(self, nullptr);
    if (!dict) {
        PyErr_Clear();
    }
    return dict;
#else
    PyObject* dict = dict_in_slot(self);
    Py_XINCREF(dict);
    return dict;
#endif
}

// self.<attr> (borrowed) from a rememberable `dict` that the current
// `layout` of self's type leaves the name to: looked up (no caller code
// runs) and remembered. Null when absent (or, only on lack of memory, an
// error).
PyObject* look_up(PyObject* self, PyObject* dict, const TypeLayout& layout, Attr attr)
{
    Snapshot* snap = current(self);
    if (!snap && snapshot::watch(dict)) {
#if MERROW_SNAPSHOT_BY_INSTANCE
        snap = &snapshot::place_for(self);
#else
        snap = &snapshot::place_for(dict);
#endif
        *snap = Snapshot{};
        snap->self = self;
        snap->type = Py_TYPE(self);
        snap->layout = layout.key;
        snap->dict = dict;
#if MERROW_SNAPSHOT_BY_DICT_VERSION
        snap->version = snapshot::version_of(dict);
#endif
    }
    PyObject* value = PyDict_GetItemWithError(dict, state_name(attr));
    if (snap) {
        snap->values[static_cast<int>(attr)] = value;
    }
    return value;
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
        if (PyObject* value = look_up(self, dict, *layout, attr)) {
            return new_ref(value);
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

// Dropping one reference to `value` frees nothing, or frees an object whose
// deallocation runs no code of the caller's.
bool releases_quietly(PyObject* value)
{
    return Py_REFCNT(value) > 1 || PyLong_CheckExact(value) || PyUnicode_CheckExact(value);
}

// Replaces the value `old` (borrowed) that self's dictionary `dict` holds
// for `attr` by `value`; `snap` is the dictionary's current snapshot. Where
// releasing `old` runs no caller code, the dictionary after the store is
// the one remembered with this one value changed, and the cache follows it;
// otherwise it is forgotten, and the release (a __del__, say) happens
// inside the store, as with the protocol.
int replace(Snapshot* snap, PyObject* dict, Attr attr, PyObject* old, PyObject* value)
{
    if (releases_quietly(old)) {
        // Nothing runs: the dictionary outlives the store.
        const int result = PyDict_SetItem(dict, state_name(attr), value);
        if (result == 0) {
            // Only this value has changed since the snapshot was current
            // (from 3.12 the watcher has just forgotten it; found by its
            // dictionary there, the snapshot needs no instance).
            snap->dict = dict;
#if MERROW_SNAPSHOT_BY_DICT_VERSION
            snap->version = snapshot::version_of(dict);
#endif
            snap->values[static_cast<int>(attr)] = value;
        }
        return result;
    }
    snapshot::forget(*snap);
    // The release may run code that drops the instance's dictionary.
    Py_INCREF(dict);
    const int result = PyDict_SetItem(dict, state_name(attr), value);
    Py_DECREF(dict);
    return result;
}

}  // namespace

PyObject* read(PyObject* self, Attr attr)
{
    PyObject* value = remembered(self, attr);
    return value ? new_ref(value) : read_slowly(self, attr);
}

int write(PyObject* self, Attr attr, PyObject* value)
{
    if (replace_inline(self, attr, value)) {
        return 0;
    }
    PyObject* key = state_name(attr);
    // Replacing a value changes no keys, so the protocol's bookkeeping of
    // the type's shared key table (around a store that adds a key) has
    // nothing to do.
    Snapshot* snap = current(self);
    PyObject* old = snap ? snap->values[static_cast<int>(attr)] : nullptr;
    if (old) {
        return replace(snap, snap->dict, attr, old, value);
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
    *value = remembered(self, attr);
    Py_XINCREF(*value);
    return *value != nullptr;
}

bool read_text_then(PyObject* self, Attr text, Attr next, PyObject** first, PyObject** second,
                    const Snapshot* look)
{
    PyObject** text_slot = inline_slot(self, text);
    PyObject** next_slot = text_slot ? inline_slot(self, next) : nullptr;
    if (next_slot) {
        *first = *text_slot;
        *second = *next_slot;
    } else {
        const Snapshot* snap = look ? look : current(self);
        if (!snap) {
            return false;
        }
        *first = snap->values[static_cast<int>(text)];
        *second = snap->values[static_cast<int>(next)];
    }
    if (!*first || !*second || !PyUnicode_CheckExact(*first)) {
        return false;
    }
    Py_INCREF(*first);
    Py_INCREF(*second);
    return true;
}

#if MERROW_SNAPSHOT_BY_WATCHER
void forget_dict(PyObject* dict)
{
    if (Snapshot* snap = snapshot::find(dict)) {
        snapshot::forget(*snap);
    }
}
#endif

bool count(PyObject* self, Attr counter, PyObject** number, const Snapshot** look)
{
    PyObject** slot = inline_slot(self, counter);
    if (slot && Py_TYPE(self)->tp_setattro != PyObject_GenericSetAttr) {
        return false;
    }
    Snapshot* snap = slot ? nullptr : current(self);
    PyObject* old = slot ? *slot : snap ? snap->values[static_cast<int>(counter)] : nullptr;
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
    if (!*number) {
    } else if (slot) {
        replace_ref(*slot, *number);
    } else if (replace(snap, snap->dict, counter, old, *number) < 0) {
        Py_CLEAR(*number);
    }
    if (look) {
        *look = *number ? snap : nullptr;
    }
    return true;
}

}  // namespace merrow::trace_key::cache

#endif  // MERROW_STATE_CACHE
