// Reads and writes of the generator's state attributes on `self`.
#pragma once

#include <Python.h>

#include <cstdint>

#include "module_state.hpp"

namespace merrow::trace_key {

enum class Attr : int { node_id, source_idx, session_id, error_counter, event_counter, lock, count };

namespace detail {

#if PY_VERSION_HEX < 0x030B0000
// What one type leaves to the instance dictionary, valid while the type's
// version tag is unchanged (any change to the type or its bases resets it).
struct TypeLayout {
    PyTypeObject* type = nullptr;  // strong reference once cached
    unsigned int version = 0;
    std::uint32_t plain = 0;  // bit per Attr: no data descriptor of that name
};

// The state values last read from one instance dictionary. A dictionary's
// version changes with every change to it, and no two dictionaries ever
// share one, so while (dict, version) match, the values recorded are still
// the dictionary's own, held by it: lookups can be skipped.
struct DictSnapshot {
    PyDictObject* dict = nullptr;  // compared, never dereferenced
    std::uint64_t version = 0;
    PyObject* values[static_cast<int>(Attr::count)] = {};  // borrowed; null: not read yet
};

extern TypeLayout g_layout;
extern DictSnapshot g_snapshot;

inline bool has_valid_version(PyTypeObject* type)
{
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag != 0;
}

inline PyObject** dict_slot(PyObject* self)
{
    char* base = reinterpret_cast<char*>(self);
    return reinterpret_cast<PyObject**>(base + Py_TYPE(self)->tp_dictoffset);
}

// The instance dictionary's slot when the type's layout is the one learnt
// and leaves the name to the instance; null otherwise.
inline PyObject** known_dict_slot(PyObject* self, Attr attr)
{
    PyTypeObject* type = Py_TYPE(self);
    const bool known = type == g_layout.type && type->tp_version_tag == g_layout.version &&
                       has_valid_version(type) &&
                       (g_layout.plain & (1u << static_cast<int>(attr)));
    return known ? dict_slot(self) : nullptr;
}

inline bool is_current(PyDictObject* dict)
{
    return dict == g_snapshot.dict && dict->ma_version_tag == g_snapshot.version;
}

// The recorded value of `attr` (borrowed) when the snapshot answers for
// self's dictionary; null when a lookup must.
inline PyObject* recorded_value(PyObject* self, Attr attr)
{
    PyObject** slot = known_dict_slot(self, attr);
    auto* dict = slot ? reinterpret_cast<PyDictObject*>(*slot) : nullptr;
    return dict && is_current(dict) ? g_snapshot.values[static_cast<int>(attr)] : nullptr;
}
#else
// Later versions keep instance values outside a dictionary; the generic
// protocol is their fast path.
inline PyObject** known_dict_slot(PyObject*, Attr) { return nullptr; }
inline PyObject* recorded_value(PyObject*, Attr) { return nullptr; }
#endif

}  // namespace detail

// Everything that the snapshot cannot answer.
PyObject* read_state_slowly(PyObject* self, Attr attr);

// self.<attr> with the semantics of the ordinary attribute protocol. Where
// the type provably leaves the name to the instance dictionary, the
// dictionary is used directly; everything else (and every error) takes the
// generic path. New reference.
inline PyObject* read_state(PyObject* self, Attr attr)
{
    PyObject* value = detail::recorded_value(self, attr);
    if (value) {
        Py_INCREF(value);
        return value;
    }
    return read_state_slowly(self, attr);
}

int write_state(PyObject* self, Attr attr, PyObject* value);

}  // namespace merrow::trace_key
