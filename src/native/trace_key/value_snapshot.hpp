// Before 3.11: the state values last read from instances' dictionaries,
// remembered per dictionary so that a read need not look the name up again.
// With type_layout.hpp, the only place that reads dictionary fields
// (ma_values, ma_version_tag).
//
// Why it is sound: a dictionary's version changes with every change to it
// and is never given to another dictionary. While a live instance's
// dictionary is the one remembered, at the version remembered, and its
// type's layout key still matches (no class of the MRO has changed), the
// values remembered are still the dictionary's own, held by it, and still
// what the protocol would read. Only split tables take part: their keys are
// all str, so a lookup there runs no caller code, and answering it from
// memory skips nothing the protocol would run.
#pragma once

#include <Python.h>

#include <cstdint>

#include "type_layout.hpp"

#if PY_VERSION_HEX < 0x030B0000

namespace merrow::trace_key::snapshot {

// What was last read from one instance's dictionary. A power of two in
// size, so that finding one is a shift.
struct alignas(256) Snapshot {
    PyObject* self = nullptr;      // compared only
    PyTypeObject* type = nullptr;  // compared only
    layout_detail::Key layout;     // of `type`, whose dictionary offset is positive
    PyObject* dict = nullptr;      // compared only
    std::uint64_t version = 0;
    // Borrowed from the dictionary; null: not read yet. Only names the type
    // leaves to the instance are ever remembered.
    PyObject* values[static_cast<int>(Attr::count)] = {};
};

// Several generators used in turn each keep theirs: with this many slots,
// eight instances rarely share one.
inline constexpr int kSnapshotBits = 7;
extern Snapshot g_snapshots[1 << kSnapshotBits];

inline Snapshot& slot_for(PyObject* self)
{
    const auto bits = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(self));
    return g_snapshots[(bits * 0x9E3779B97F4A7C15ull) >> (64 - kSnapshotBits)];
}

inline bool is_split(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_values; }

inline std::uint64_t version_of(PyObject* dict)
{
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

// The instance's dictionary (borrowed) where the type keeps it in a slot.
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
    Snapshot& snap = slot_for(self);
    PyTypeObject* type = Py_TYPE(self);
    // The layout proves the type the one remembered, before its dictionary
    // offset is trusted (a freed instance's or type's memory may be reused).
    if (snap.self != self || snap.type != type || !layout_detail::matches(snap.layout, type)) {
        return nullptr;
    }
    PyObject* dict =
        *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + type->tp_dictoffset);
    return dict == snap.dict && version_of(dict) == snap.version ? &snap : nullptr;
}

// self.<attr> (borrowed) when memory answers for it; null otherwise.
inline PyObject* remembered(PyObject* self, Attr attr)
{
    Snapshot* snap = current(self);
    return snap ? snap->values[static_cast<int>(attr)] : nullptr;
}

// self.<attr> (borrowed) from a split `dict` that the current `layout` of
// self's type leaves the name to: looked up (no caller code runs) and
// remembered. Null when absent (or, only on lack of memory, an error).
PyObject* look_up(PyObject* self, PyObject* dict, const layout_detail::Entry& layout, Attr attr);

// Replaces the value `old` (borrowed) that a split table holds for `attr`
// by `value`; `snap` is the table's current snapshot, or null. Where
// releasing `old` runs no caller code, the table after the store is the one
// remembered with this one value changed, and memory follows it; otherwise
// it is forgotten, and the release (a __del__, say) happens inside the
// store, as with the protocol.
int replace(Snapshot* snap, PyObject* dict, Attr attr, PyObject* old, PyObject* value);

}  // namespace merrow::trace_key::snapshot

#endif
