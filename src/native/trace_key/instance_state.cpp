#include "instance_state.hpp"

#include <cstdint>

#include "owned_ref.hpp"
#include "py_compat.hpp"

namespace merrow::trace_key {

#if PY_VERSION_HEX < 0x030B0000
detail::TypeLayout detail::g_layout;
detail::DictSnapshot detail::g_snapshot;
#endif

namespace {

constexpr Name kAttrNames[] = {Name::node_id,       Name::source_idx,    Name::session_id,
                               Name::error_counter, Name::event_counter, Name::lock};
static_assert(sizeof kAttrNames / sizeof kAttrNames[0] == static_cast<int>(Attr::count));

PyObject* attr_name(Attr attr) { return name(kAttrNames[static_cast<int>(attr)]); }

#if PY_VERSION_HEX < 0x030B0000
using detail::g_layout;
using detail::g_snapshot;
using detail::has_valid_version;
using detail::is_current;
using detail::known_dict_slot;
using detail::DictSnapshot;
using detail::TypeLayout;

// -1 on error, else 1 when the name resolves on the type to a data descriptor.
int is_data_descriptor(PyTypeObject* type, PyObject* key)
{
    PyObject* mro = type->tp_mro;
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro); ++i) {
        OwnedRef dict = OwnedRef::steal(
            compat::type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        PyObject* found = dict ? PyDict_GetItemWithError(dict.get(), key) : nullptr;
        if (found) {
            return Py_TYPE(found)->tp_descr_set != nullptr;
        }
        if (PyErr_Occurred()) {
            return -1;
        }
    }
    return 0;
}

bool uses_plain_layout(PyTypeObject* type)
{
    return type->tp_getattro == PyObject_GenericGetAttr &&
           type->tp_setattro == PyObject_GenericSetAttr && type->tp_dictoffset > 0 &&
           has_valid_version(type);
}

void learn_layout(PyTypeObject* type)
{
    const unsigned int version = type->tp_version_tag;
    std::uint32_t plain = 0;
    for (int i = 0; i < static_cast<int>(Attr::count); ++i) {
        const int data = is_data_descriptor(type, attr_name(static_cast<Attr>(i)));
        if (data < 0) {
            PyErr_Clear();
            return;
        }
        plain |= data ? 0u : (1u << i);
    }
    // A class namespace may hold keys whose comparison runs caller code.
    if (!has_valid_version(type) || type->tp_version_tag != version) {
        return;
    }
    Py_INCREF(type);
    PyTypeObject* old = g_layout.type;
    g_layout = TypeLayout{type, version, plain};
    Py_XDECREF(old);
}

// The instance dictionary's slot when the name is certainly the instance's
// own to read or write, learning the type's layout when it is new; null
// when the generic protocol must decide.
[[gnu::noinline]] PyObject** plain_dict_slot(PyObject* self, Attr attr)
{
    PyTypeObject* type = Py_TYPE(self);
    if (type != g_layout.type || type->tp_version_tag != g_layout.version ||
        !has_valid_version(type)) {
        if (!uses_plain_layout(type)) {
            return nullptr;
        }
        learn_layout(type);
        if (type != g_layout.type) {
            return nullptr;
        }
    }
    if (!(g_layout.plain & (1u << static_cast<int>(attr)))) {
        return nullptr;
    }
    return detail::dict_slot(self);
}

// The value of `attr` in the dictionary as a new reference; null when
// absent (or on error).
PyObject* dict_value(PyDictObject* dict, Attr attr)
{
    const int i = static_cast<int>(attr);
    if (is_current(dict) && g_snapshot.values[i]) {
        Py_INCREF(g_snapshot.values[i]);
        return g_snapshot.values[i];
    }
    if (!is_current(dict)) {
        g_snapshot = DictSnapshot{dict, dict->ma_version_tag, {}};
    }
    // A lookup among keys that are not all str may run caller code, which
    // may change or even drop the dictionary.
    Py_INCREF(dict);
    PyObject* value = PyDict_GetItemWithError(reinterpret_cast<PyObject*>(dict), attr_name(attr));
    if (value && is_current(dict)) {
        g_snapshot.values[i] = value;
    }
    Py_XINCREF(value);
    Py_DECREF(dict);
    return value;
}

// Replaces a value that the snapshot holds, in a split table: the only
// writes taken past the generic protocol. (Adding a key is left to it, which
// keeps the table shared between instances.) A split table holds nothing
// but str keys, whose comparison runs no code, and holding the old value
// keeps its release out of the write: the write changes this one entry,
// so the snapshot stays valid with the new value.
bool can_replace(PyDictObject* dict, Attr attr)
{
    return is_current(dict) && dict->ma_values && g_snapshot.values[static_cast<int>(attr)];
}

int replace_value(PyDictObject* dict, Attr attr, PyObject* value)
{
    const int i = static_cast<int>(attr);
    OwnedRef old = OwnedRef::borrow(g_snapshot.values[i]);
    const OwnedRef held = OwnedRef::borrow(reinterpret_cast<PyObject*>(dict));
    const int result = PyDict_SetItem(held.get(), attr_name(attr), value);
    if (result == 0 && dict->ma_values) {
        g_snapshot.version = dict->ma_version_tag;
        g_snapshot.values[i] = value;
    } else {
        g_snapshot.dict = nullptr;
    }
    return result;
}
#else
PyObject** plain_dict_slot(PyObject*, Attr) { return nullptr; }

using detail::known_dict_slot;

PyObject* dict_value(PyDictObject* dict, Attr attr)
{
    PyObject* value = PyDict_GetItemWithError(reinterpret_cast<PyObject*>(dict), attr_name(attr));
    Py_XINCREF(value);
    return value;
}

bool can_replace(PyDictObject*, Attr) { return false; }

int replace_value(PyDictObject*, Attr, PyObject*) { return -1; }
#endif

}  // namespace

PyObject* read_state_slowly(PyObject* self, Attr attr)
{
    PyObject** slot = plain_dict_slot(self, attr);
    if (slot && *slot) {
        PyObject* value = dict_value(reinterpret_cast<PyDictObject*>(*slot), attr);
        if (value) {
            return value;
        }
        if (PyErr_Occurred()) {
            return nullptr;
        }
    }
    return PyObject_GetAttr(self, attr_name(attr));
}

int write_state(PyObject* self, Attr attr, PyObject* value)
{
    PyObject** slot = known_dict_slot(self, attr);
    if (slot && *slot && can_replace(reinterpret_cast<PyDictObject*>(*slot), attr)) {
        return replace_value(reinterpret_cast<PyDictObject*>(*slot), attr, value);
    }
    return PyObject_SetAttr(self, attr_name(attr), value);
}

}  // namespace merrow::trace_key
