// Which of the generator's state names a type provably leaves to its
// instances' dictionaries, remembered per type without owning the type.
//
// A name qualifies only when no class of the type's MRO defines it at all
// (not merely "no data descriptor": a descriptor's own type can gain
// __set__ without any change to the classes that hold it), the type's
// attribute slots are the generic ones, its instances have a dictionary
// the generic protocol would use, and every class dictionary of the MRO
// holds only str keys (learning then runs no caller code). The protocol
// then reads and writes that dictionary and nothing else, so state access
// may too.
//
// The answer depends on, and a change is seen by:
// - the MRO and every class dictionary on it (a name defined, a slot
//   function replaced through a special name, a non-str key, __bases__
//   assigned): from 3.11 the type's version tag, which any such change
//   takes away and which is never given out again; up to 3.10 the MRO
//   tuple and each class dictionary's identity and version;
// - the type's attribute slots: also tested where the layout is used;
// - the type itself: entries are matched by its address and its key, which
//   no other type can share (tags and dictionary versions are unique).
#pragma once

#include <Python.h>

#include <cstdint>

#include "interpreter_gates.hpp"
#include "process_state.hpp"

#if MERROW_STATE_CACHE

namespace merrow::trace_key {

namespace layout_detail {

#if MERROW_LAYOUT_BY_TYPE_VERSION
// From 3.11 on a version tag is never given out twice, and any change to a
// type or to a class of its MRO takes its tag away: (type, tag) names one
// layout for good.
inline unsigned int valid_version(PyTypeObject* type)
{
#if MERROW_VERSION_TAG_NEEDS_FLAG
    if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) {
        return 0;
    }
#endif
    return type->tp_version_tag;
}

inline bool matches(const LayoutKey& key, PyTypeObject* type)
{
    return key.version != 0 && key.version == valid_version(type);
}
#else
// 3.9 and 3.10 number version tags afresh whenever the type cache is
// cleared (sys._clear_type_cache()), so a tag may come back on a changed
// type, or on a new type where a freed one was. A dictionary's version, by
// contrast, changes with every change to it and is never reused: while the
// MRO holds the very dictionaries learnt, each at its learnt version, no
// class has gained or lost a name.
inline bool level_matches(const LayoutKey::Level& level, PyObject* mro, Py_ssize_t i)
{
    PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
    // Dereferenced only once known to be the live class's own.
    return dict == level.dict &&
           reinterpret_cast<PyDictObject*>(dict)->ma_version_tag == level.version;
}

// For a key that holds an MRO (every key stored does).
inline bool matches(const LayoutKey& key, PyTypeObject* type)
{
    PyObject* mro = type->tp_mro;
    if (mro != key.mro || PyTuple_GET_SIZE(mro) != key.depth) {
        return false;
    }
    if (key.depth == 2) {
        // A class and object: the common case, unrolled.
        return level_matches(key.levels[0], mro, 0) && level_matches(key.levels[1], mro, 1);
    }
    for (Py_ssize_t i = 0; i < key.depth; ++i) {
        if (!level_matches(key.levels[i], mro, i)) {
            return false;
        }
    }
    return true;
}
#endif

inline TypeLayout& entry_for(PyTypeObject* type)
{
    const auto bits = reinterpret_cast<std::uintptr_t>(type);
    return g_process.layouts[((bits >> 4) ^ (bits >> 10)) & (kTypeLayouts - 1)];
}

std::uint32_t learn(PyTypeObject* type);

}  // namespace layout_detail

// attr_bit per state name that `type` leaves to its instances' dictionaries
// right now; 0 where the generic protocol must decide. Runs no caller code.
inline std::uint32_t plain_names(PyTypeObject* type)
{
    TypeLayout& entry = layout_detail::entry_for(type);
    if (entry.type == type && layout_detail::matches(entry.key, type)) {
        return entry.plain;
    }
    return layout_detail::learn(type);
}

// The entry of `type` when it leaves `attr` to the instance dictionary
// right now; null otherwise. A name is plain only in the entry just
// matched or learnt, so that entry is current.
inline TypeLayout* layout_leaving(PyTypeObject* type, Attr attr)
{
    return plain_names(type) & attr_bit(attr) ? &layout_detail::entry_for(type) : nullptr;
}

}  // namespace merrow::trace_key

#endif  // MERROW_STATE_CACHE
