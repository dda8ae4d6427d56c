// State read and replaced in an instance's inline value slots (3.12), as
// 3.12's specialising interpreter reads and stores them: found by the
// name's index among the type's shared keys, through the tagged values
// pointer before the object. Asking 3.12 for the instance's dictionary
// instead would cost every later method load on it its specialisation.
//
// A slot answers exactly as the protocol would while:
// - the type's layout leaves the name to the instance (type_layout.hpp:
//   no class defines it, generic slots; a change to the type or its MRO
//   is seen by its version tag);
// - the type keeps instance values (Py_TPFLAGS_MANAGED_DICT) and this
//   instance still has them inline, no dictionary made (3.12 makes one
//   when a class is assigned to the instance): tested at each access;
// - the type's shared keys are those the index was found in: compared at
//   each access. Shared keys only grow, so an index stays valid; a name
//   missing when learnt is looked for again once the keys have grown;
// - the slot holds a value: an empty one is left to the protocol, which
//   raises its error or records the name's insertion order.
#pragma once

#include <Python.h>

#include <cstdint>

#include "type_layout.hpp"

#if MERROW_INLINE_VALUES

namespace merrow::trace_key::inline_values {

namespace layout_3_12 {

// Mirrors of 3.12's dictionary keys and values layouts.
struct Keys {
    Py_ssize_t refcnt;
    std::uint8_t log2_size;
    std::uint8_t log2_index_bytes;
    std::uint8_t kind;
    std::uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
    char indices[];
};
struct UnicodeEntry {
    PyObject* key;
    PyObject* value;
};
inline constexpr std::uint8_t kSplitKind = 2;
// The dictionary-or-values word sits three words before the object.
inline constexpr int kDictOrValuesWord = -3;

// For a heap type.
inline PyDictKeysObject* keys_of(PyTypeObject* type)
{
    return reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys;
}

inline const Keys& layout_of(const PyDictKeysObject* keys)
{
    return *reinterpret_cast<const Keys*>(keys);
}

// The values array of an instance of a type with managed values, or null
// when the instance has a dictionary.
inline PyObject** values_of(PyObject* self)
{
    char* word = reinterpret_cast<char**>(self)[kDictOrValuesWord];
    const bool tagged = reinterpret_cast<std::uintptr_t>(word) & 1;
    return tagged ? reinterpret_cast<PyObject**>(word + 1) : nullptr;
}

}  // namespace layout_3_12

// Finds each plain name's index in the shared keys of layout.type, when its
// layout is learnt and again once the keys have grown.
void learn_slots(TypeLayout& layout);

// Whether self keeps its values inline (3.12 has made no dictionary).
inline bool kept_inline(PyObject* self)
{
    return PyType_HasFeature(Py_TYPE(self), Py_TPFLAGS_MANAGED_DICT) &&
           layout_3_12::values_of(self) != nullptr;
}

// The inline slot of self.<attr> holding a value, or null when the
// protocol must answer.
inline PyObject** slot_of(PyObject* self, Attr attr)
{
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_getattro != PyObject_GenericGetAttr) {
        return nullptr;
    }
    TypeLayout* layout = layout_leaving(type, attr);
    if (!layout) {
        return nullptr;
    }
    // Keys are learnt for heap types with managed values only.
    if (!layout->keys || layout->keys != layout_3_12::keys_of(type)) {
        return nullptr;
    }
    int index = layout->slots[static_cast<int>(attr)];
    if (index < 0) {
        if (layout_3_12::layout_of(layout->keys).nentries == layout->keys_seen) {
            return nullptr;
        }
        learn_slots(*layout);
        index = layout->slots[static_cast<int>(attr)];
        if (index < 0) {
            return nullptr;
        }
    }
    PyObject** values = layout_3_12::values_of(self);
    return values && values[index] ? &values[index] : nullptr;
}

}  // namespace merrow::trace_key::inline_values

#endif  // MERROW_INLINE_VALUES
