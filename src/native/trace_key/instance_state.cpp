#include "instance_state.hpp"

#include <cstdint>

#include "owned_ref.hpp"
#include "py_compat.hpp"

namespace merrow::trace_key {

namespace {

constexpr Name kAttrNames[] = {Name::node_id,       Name::source_idx,    Name::session_id,
                               Name::error_counter, Name::event_counter, Name::lock};
static_assert(sizeof kAttrNames / sizeof kAttrNames[0] == static_cast<int>(Attr::count));

PyObject* attr_name(Attr attr) { return name(kAttrNames[static_cast<int>(attr)]); }

#if PY_VERSION_HEX < 0x030B0000
// What one type leaves to the instance dictionary, valid while the type's
// version tag is unchanged (any change to the type or its bases resets it).
struct TypeLayout {
    PyTypeObject* type = nullptr;  // strong reference once cached
    unsigned int version = 0;
    std::uint32_t plain = 0;  // bit per Attr: no data descriptor of that name
};

TypeLayout g_layout;

bool has_valid_version(PyTypeObject* type)
{
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag != 0;
}

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
    std::uint32_t plain = 0;
    for (int i = 0; i < static_cast<int>(Attr::count); ++i) {
        const int data = is_data_descriptor(type, attr_name(static_cast<Attr>(i)));
        if (data < 0) {
            PyErr_Clear();
            return;
        }
        plain |= data ? 0u : (1u << i);
    }
    // Looking names up runs no caller code, so the tag is still the one read.
    Py_INCREF(type);
    PyTypeObject* old = g_layout.type;
    g_layout = TypeLayout{type, type->tp_version_tag, plain};
    Py_XDECREF(old);
}

// The instance dictionary's slot when the name is certainly the instance's
// own to read or write; null when the generic protocol must decide.
PyObject** plain_dict_slot(PyObject* self, Attr attr)
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
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + type->tp_dictoffset);
}
#else
// Later versions keep instance values outside a dictionary; the generic
// protocol is their fast path.
PyObject** plain_dict_slot(PyObject*, Attr) { return nullptr; }
#endif

}  // namespace

PyObject* read_state(PyObject* self, Attr attr)
{
    PyObject** slot = plain_dict_slot(self, attr);
    if (slot && *slot) {
        PyObject* value = PyDict_GetItemWithError(*slot, attr_name(attr));
        if (value) {
            Py_INCREF(value);
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
    PyObject** slot = plain_dict_slot(self, attr);
    if (slot && *slot) {
        return PyDict_SetItem(*slot, attr_name(attr), value);
    }
    return PyObject_SetAttr(self, attr_name(attr), value);
}

}  // namespace merrow::trace_key
