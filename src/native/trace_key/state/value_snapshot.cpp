#include "value_snapshot.hpp"

#if MERROW_STATE_CACHE

namespace merrow::trace_key::snapshot {

Snapshot g_snapshots[kWays << kSetBits];
// Per set, the slot to give a new key when none is free.
unsigned char g_next_victim[1 << kSetBits];
#if MERROW_SNAPSHOT_BY_WATCHER
int g_watcher = -1;
#endif

namespace {

// Dropping one reference to `value` frees nothing, or frees an object whose
// deallocation runs no code of the caller's.
bool releases_quietly(PyObject* value)
{
    return Py_REFCNT(value) > 1 || PyLong_CheckExact(value) || PyUnicode_CheckExact(value);
}

#if MERROW_SNAPSHOT_BY_WATCHER

// Any change to a watched dictionary, or its end, makes the cache forget it.
// Runs inside the dictionary's own operation: touches nothing but the cache.
int forget_changed(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*)
{
    if (Snapshot* snap = find(dict)) {
        forget(*snap);
    }
    return 0;
}

// The cache may start on `dict` once the watcher is told of it.
bool watch(PyObject* dict)
{
    if (PyDict_Watch(g_watcher, dict) < 0) {
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
    for (int way = 0; way < kWays; ++way) {
        if (!key_of(set[way])) {
            return set[way];
        }
    }
    unsigned char& victim = g_next_victim[(set - g_snapshots) / kWays];
    victim = (victim + 1) % kWays;
    return set[victim];
}

bool rememberable(PyObject* dict)
{
#if MERROW_SNAPSHOT_BY_DICT_VERSION
    return reinterpret_cast<PyDictObject*>(dict)->ma_values != nullptr;
#else
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            return false;
        }
    }
    return true;
#endif
}

PyObject* look_up(PyObject* self, PyObject* dict, const layout_detail::Entry& layout, Attr attr)
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

void start()
{
#if MERROW_SNAPSHOT_BY_WATCHER
    // 3.13.0 tells watchers nothing of stores to attributes kept inline
    // while the instance's dictionary shares them (fixed in 3.13.1): there
    // the cache would miss changes, so it stays off.
    if (g_watcher < 0 && gates::dict_watchers_complete()) {
        g_watcher = PyDict_AddWatcher(forget_changed);
        if (g_watcher < 0) {
            PyErr_Clear();
        }
    }
#endif
}

}  // namespace merrow::trace_key::snapshot

#endif  // MERROW_STATE_CACHE
