#include "value_snapshot.hpp"

#if PY_VERSION_HEX < 0x030B0000

namespace merrow::trace_key::snapshot {

Snapshot g_snapshots[1 << kSnapshotBits];

namespace {

// Dropping one reference to `value` frees nothing, or frees an object whose
// deallocation runs no code of the caller's.
bool releases_quietly(PyObject* value)
{
    return Py_REFCNT(value) > 1 || PyLong_CheckExact(value) || PyUnicode_CheckExact(value);
}

}  // namespace

PyObject* look_up(PyObject* self, PyObject* dict, const layout_detail::Entry& layout, Attr attr)
{
    Snapshot* snap = current(self);
    if (!snap) {
        snap = &slot_for(self);
        *snap = Snapshot{self, Py_TYPE(self), layout.key, dict, version_of(dict), {}};
    }
    PyObject* value = PyDict_GetItemWithError(dict, state_name(attr));
    snap->values[static_cast<int>(attr)] = value;
    return value;
}

int replace(Snapshot* snap, PyObject* dict, Attr attr, PyObject* old, PyObject* value)
{
    if (releases_quietly(old)) {
        // Nothing runs: the dictionary outlives the store.
        const int result = PyDict_SetItem(dict, state_name(attr), value);
        if (snap && result == 0) {
            snap->version = version_of(dict);
            snap->values[static_cast<int>(attr)] = value;
        }
        return result;
    }
    if (snap) {
        snap->self = nullptr;
    }
    // The release may run code that drops the instance's dictionary.
    Py_INCREF(dict);
    const int result = PyDict_SetItem(dict, state_name(attr), value);
    Py_DECREF(dict);
    return result;
}

}  // namespace merrow::trace_key::snapshot

#endif
