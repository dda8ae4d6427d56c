#include "type_layout.hpp"

#if MERROW_STATE_CACHE

#include "inline_values.hpp"
#include "owned_ref.hpp"
#include "py_compat.hpp"
#include "str_keys.hpp"

namespace merrow::trace_key {

namespace layout_detail {

namespace {

bool has_instance_dict(PyTypeObject* type)
{
#if MERROW_API_INLINE_VALUES
    return type->tp_dictoffset != 0 || PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT);
#else
    // Read straight from its slot; var-sized instances (negative offsets)
    // are left to the protocol.
    return type->tp_dictoffset > 0;
#endif
}

bool uses_generic_slots(PyTypeObject* type)
{
    return type->tp_getattro == PyObject_GenericGetAttr &&
           type->tp_setattro == PyObject_GenericSetAttr && has_instance_dict(type);
}

// The key of the type as it is now; false when it has none to trust.
bool current_key(PyTypeObject* type, LayoutKey& key)
{
#if MERROW_LAYOUT_BY_TYPE_VERSION
    key.version = valid_version(type);
    return key.version != 0;
#else
    PyObject* mro = type->tp_mro;
    if (!mro || PyTuple_GET_SIZE(mro) == 0 || PyTuple_GET_SIZE(mro) > kMaxLayoutDepth) {
        return false;
    }
    key.mro = mro;
    key.depth = PyTuple_GET_SIZE(mro);
    for (Py_ssize_t i = 0; i < key.depth; ++i) {
        PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
        if (!dict) {
            return false;
        }
        key.levels[i] = {dict, reinterpret_cast<PyDictObject*>(dict)->ma_version_tag};
    }
    return true;
#endif
}

// The names that no class of the MRO defines, as attr_bit values; false
// when some class dictionary holds a key that is not an exact str, since
// comparing such keys runs caller code that the protocol itself runs only
// for the names it looks up, if at all (its type cache may answer).
bool undefined_names(PyTypeObject* type, std::uint32_t& plain)
{
    plain = (1u << static_cast<int>(Attr::count)) - 1;
    OwnedRef mro = OwnedRef::borrow(type->tp_mro);
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro.get()); ++i) {
        OwnedRef dict = OwnedRef::steal(
            compat::type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i))));
        if (!dict || !str_keys_only(dict.get())) {
            return false;
        }
        for (int a = 0; a < static_cast<int>(Attr::count); ++a) {
            // Only str keys: the lookup compares without running code.
            if (PyDict_GetItemWithError(dict.get(), state_name(static_cast<Attr>(a)))) {
                plain &= ~attr_bit(static_cast<Attr>(a));
            } else if (PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
        }
    }
    return true;
}

}  // namespace

std::uint32_t learn(PyTypeObject* type)
{
    LayoutKey key;
    if (!current_key(type, key)) {
        return 0;
    }
    std::uint32_t plain = 0;
    if (uses_generic_slots(type) && !undefined_names(type, plain)) {
        plain = 0;
    }
    // Nothing above runs caller code, so the key still holds. Types left to
    // the protocol are remembered too, so they cost one test.
    TypeLayout& entry = entry_for(type);
    entry = TypeLayout{type, key, plain};
#if MERROW_INLINE_VALUES
    inline_values::learn_slots(entry);
#endif
    return plain;
}

}  // namespace layout_detail

}  // namespace merrow::trace_key

#endif  // MERROW_STATE_CACHE
