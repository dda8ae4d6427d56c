// Where the state cache keeps its snapshots (the state values last read
// from an instance's dictionary) and how it tells that one still holds.
// With type_layout.hpp, the only place that knows how a dictionary tells
// that it has not changed.
//
// A remembered value is what the protocol would read while nothing it
// depends on has changed:
// - which dictionary the instance uses: up to 3.10 the one in its slot,
//   compared at each read; from 3.11 snapshots are found by the dictionary
//   PyObject_GenericGetDict gives at each read;
// - that dictionary's contents: up to 3.11 its version (PEP 509), which
//   changes with every change and is never given to another dictionary;
//   from 3.12 the dictionary watcher, which forgets the snapshot on any
//   event, its deallocation included, before the change is made (not on
//   3.13.0, whose watchers miss stores to values kept inline: the cache
//   stays off there);
// - the instance's type, and every class of its MRO (no class defines the
//   name): the type compared at each read and its layout key matched
//   (type_layout.hpp), so a class assigned to the instance or a changed
//   class is seen;
// - the dictionary's keys, all str (a split table's are; from 3.12 they are
//   looked at when the snapshot is made), so a lookup runs no caller code
//   and answering it from the cache skips nothing; a key added since is a
//   change of the contents.
// The values are borrowed: the dictionary holds them while it is unchanged.
#pragma once

#include <Python.h>

#include <cstdint>

#include "process_state.hpp"
#include "str_keys.hpp"

#if MERROW_STATE_CACHE

namespace merrow::trace_key::snapshot {

// Whether the cache is on: from 3.12 it needs the dictionary watcher.
inline bool enabled()
{
#if MERROW_SNAPSHOT_BY_WATCHER
    return g_process.state_cache_on;
#else
    return true;
#endif
}

// Whether `dict` can be remembered (the cache being on): its keys are all
// str. A split table's are; from 3.12 the keys are looked at.
inline bool rememberable(PyObject* dict)
{
#if MERROW_SNAPSHOT_BY_DICT_VERSION
    return reinterpret_cast<PyDictObject*>(dict)->ma_values != nullptr;
#else
    return str_keys_only(dict);
#endif
}

// The cache may start on `dict` once the watcher is told of it.
inline bool watch(PyObject* dict)
{
#if MERROW_SNAPSHOT_BY_WATCHER
    if (PyDict_Watch(g_process.dict_watcher, dict) < 0) {
        PyErr_Clear();
        return false;
    }
#else
    (void)dict;
#endif
    return true;
}

#if MERROW_SNAPSHOT_BY_DICT_VERSION
inline std::uint64_t version_of(PyObject* dict)
{
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

inline bool unchanged(const Snapshot& snap, PyObject* dict)
{
    return version_of(dict) == snap.version;
}
#else
// The watcher forgets a changed dictionary's snapshot (dict = null).
inline bool unchanged(const Snapshot&, PyObject*) { return true; }
#endif

// A forgotten snapshot matches no instance and no dictionary.
inline void forget(Snapshot& snap)
{
    snap.self = nullptr;
    snap.dict = nullptr;
}

// Snapshots are found by a key: the instance before 3.11, its dictionary
// from 3.11 (which the watcher is told of).
inline PyObject* key_of(const Snapshot& snap)
{
#if MERROW_SNAPSHOT_BY_INSTANCE
    return snap.self;
#else
    return snap.dict;
#endif
}

inline Snapshot* set_for(PyObject* key)
{
    const auto bits = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(key));
    const auto set = (bits * 0x9E3779B97F4A7C15ull) >> (64 - kSnapshotSetBits);
    return &g_process.snapshots[kSnapshotWays * set];
}

// The snapshot kept under `key`, or null.
inline Snapshot* find(PyObject* key)
{
    Snapshot* set = set_for(key);
    for (int way = 0; way < kSnapshotWays; ++way) {
        if (key_of(set[way]) == key) {
            return set + way;
        }
    }
    return nullptr;
}

// Where a new snapshot for `key` goes (its old content is discarded): the
// key's own, a free slot of its set, or the set's next victim.
inline Snapshot& place_for(PyObject* key)
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

}  // namespace merrow::trace_key::snapshot

#endif  // MERROW_STATE_CACHE
