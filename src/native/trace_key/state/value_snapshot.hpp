// The state values last read from an instance's dictionary, remembered so
// that a read need not look the name up again. With type_layout.hpp, the
// only place that knows how a dictionary tells that it has not changed.
//
// A remembered value is what the protocol would read while nothing it
// depends on has changed:
// - which dictionary the instance uses: up to 3.10 the one in its slot,
//   compared at each read; from 3.11 snapshots are found by the dictionary
//   PyObject_GenericGetDict gives at each read;
// - that dictionary's contents: up to 3.11 its version (PEP 509), which
//   changes with every change and is never given to another dictionary;
//   from 3.12 a dictionary watcher, which forgets the snapshot on any
//   event, its deallocation included, before the change is made (not on
//   3.13.0, whose watchers miss stores to values kept inline: the cache stays
//   off there);
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

#include "type_layout.hpp"

#if MERROW_STATE_CACHE

namespace merrow::trace_key::snapshot {

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
    return &g_process
                .snapshots[kSnapshotWays * ((bits * 0x9E3779B97F4A7C15ull) >> (64 - kSnapshotSetBits))];
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

// Where a new snapshot for `key` goes (its old content is discarded).
Snapshot& place_for(PyObject* key);

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

// Whether the cache is on: from 3.12 it needs the dictionary watcher.
#if MERROW_SNAPSHOT_BY_WATCHER
inline bool enabled() { return g_process.state_cache_on; }

// Forgets the snapshot of `dict`: the dictionary watcher's call.
inline void forget_dict(PyObject* dict)
{
    if (Snapshot* snap = find(dict)) {
        forget(*snap);
    }
}
#else
inline bool enabled() { return true; }
#endif

#if MERROW_SNAPSHOT_BY_INSTANCE
// Snapshots are found by instance. The instance's dictionary sits in a slot.
inline PyObject* dict_in_slot(PyObject* self)
{
    const Py_ssize_t offset = Py_TYPE(self)->tp_dictoffset;
    return offset > 0 ? *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset)
                      : nullptr;
}

// The snapshot that answers for self right now (its `dict` is self's
// dictionary), or null.
inline Snapshot* current(PyObject* self)
{
    Snapshot* found = find(self);
    PyTypeObject* type = Py_TYPE(self);
    // The layout proves the type the one remembered, before its dictionary
    // offset is trusted (a freed instance's or type's memory may be reused).
    if (!found || found->type != type || !layout_detail::matches(found->layout, type)) {
        return nullptr;
    }
    Snapshot& snap = *found;
    PyObject* dict =
        *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + type->tp_dictoffset);
    return dict == snap.dict && unchanged(snap, dict) ? &snap : nullptr;
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
    if (!enabled() || type->tp_getattro != PyObject_GenericGetAttr) {
        return nullptr;
    }
    PyObject* dict = PyObject_GenericGetDict(self, nullptr);
    if (!dict) {
        PyErr_Clear();
        return nullptr;
    }
    Py_DECREF(dict);  // the instance holds it
    Snapshot* snap = find(dict);
    // Instances may share a dictionary: any of them whose type, with the
    // version tag remembered, left the names to it reads the same values.
    const bool valid = snap && snap->type == type &&
                       snap->layout.version == layout_detail::valid_version(type) &&
                       unchanged(*snap, dict);
    return valid ? snap : nullptr;
}
#endif

// self.<attr> (borrowed) when the cache answers for it; null otherwise.
inline PyObject* remembered(PyObject* self, Attr attr)
{
    Snapshot* snap = current(self);
    return snap ? snap->values[static_cast<int>(attr)] : nullptr;
}

// Whether `dict` can be remembered (the cache being on): its keys are all str.
// (A split table's are; from 3.12 the keys are looked at.)
bool rememberable(PyObject* dict);

// self.<attr> (borrowed) from a rememberable `dict` that the current
// `layout` of self's type leaves the name to: looked up (no caller code
// runs) and remembered. Null when absent (or, only on lack of memory, an
// error).
PyObject* look_up(PyObject* self, PyObject* dict, const TypeLayout& layout, Attr attr);

// Replaces the value `old` (borrowed) that self's dictionary `dict` holds
// for `attr` by `value`; `snap` is the dictionary's current snapshot. Where
// releasing `old` runs no caller code, the dictionary after the store is
// the one remembered with this one value changed, and the cache follows it;
// otherwise it is forgotten, and the release (a __del__, say) happens
// inside the store, as with the protocol.
int replace(Snapshot* snap, PyObject* dict, Attr attr, PyObject* old, PyObject* value);

}  // namespace merrow::trace_key::snapshot

#endif  // MERROW_STATE_CACHE
