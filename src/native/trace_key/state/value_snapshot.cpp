#include "value_snapshot.hpp"

#include "str_keys.hpp"

#if MERROW_STATE_CACHE

namespace merrow::trace_key::snapshot {

namespace {

// Dropping one reference to `value` frees nothing, or frees an object whose
// deallocation runs no code of the caller's.
bool releases_quietly(PyObject* value)
{
    return Py_REFCNT(value) > 1 || PyLong_CheckExact(value) || PyUnicode_CheckExact(value);
}

#if MERROW_SNAPSHOT_BY_WATCHER

// The cache may start on `dict` once the watcher is told of it.
bool watch(PyObject* dict)
{
    if (PyDict_Watch(g_process.dict_watcher, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}
#else
bool watch(PyObject*) { return true; }
#endif

// Where the cache keeps self's snapshot.
Snapshot& home_of(PyObject* self, PyObject* dict)
{
#if MERROW_SNAPSHOT_BY_INSTANCE
    (void)dict;
    return place_for(self);
#else
    (void)self;
    return place_for(dict);
#endif
}

}  // namespace

Snapshot& place_for(PyObject* key)
{
    if (Snapshot* same = find(key)) {
        return *same;
    }
    Snapshot* set = set_for(key);
    for (int way = 0; way < kSnapshotWays; ++way) {
        if (!key_of(set[way])) {
            return set[way];
        }
    }
    unsigned char& victim = g_process.next_victim[(set - g_process.snapshots) / kSnapshotWays];
    victim = (victim + 1) % kSnapshotWays;
    return set[victim];
}

bool rememberable(PyObject* dict)
{
#if MERROW_SNAPSHOT_BY_DICT_VERSION
    return reinterpret_cast<PyDictObject*>(dict)->ma_values != nullptr;
#else
    return str_keys_only(dict);
#endif
}

PyObject* look_up(PyObject* self, PyObject* dict, const TypeLayout& layout, Attr attr)
{
    Snapshot* snap = current(self);
    if (!snap && watch(dict)) {
        snap = &home_of(self, dict);
        *snap = Snapshot{};
        snap->self = self;
        snap->type = Py_TYPE(self);
        snap->layout = layout.key;
        snap->dict = dict;
#if MERROW_SNAPSHOT_BY_DICT_VERSION
        snap->version = version_of(dict);
#endif
    }
    PyObject* value = PyDict_GetItemWithError(dict, state_name(attr));
    if (snap) {
        snap->values[static_cast<int>(attr)] = value;
    }
    return value;
}

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
            snap->version = version_of(dict);
#endif
            snap->values[static_cast<int>(attr)] = value;
        }
        return result;
    }
    forget(*snap);
    // The release may run code that drops the instance's dictionary.
    Py_INCREF(dict);
    const int result = PyDict_SetItem(dict, state_name(attr), value);
    Py_DECREF(dict);
    return result;
}

}  // namespace merrow::trace_key::snapshot

#endif  // MERROW_STATE_CACHE
