#include "inline_values.hpp"

#if MERROW_INLINE_VALUES

namespace merrow::trace_key::inline_values {

namespace {

// What 3.12 makes of a class's shared keys: a split table of at most 30
// names, indexed by bytes. Anything else is left to the protocol.
bool plausible(const layout_3_12::Keys& keys)
{
    return keys.kind == layout_3_12::kSplitKind && keys.refcnt > 0 && keys.log2_index_bytes >= 3 &&
           keys.log2_index_bytes <= 6 && keys.nentries >= 0 && keys.nentries <= 30 &&
           keys.usable >= 0;
}

// The index of `name` among split keys, by identity (the protocol interns
// the names it stores); -1 when absent.
int index_in(const layout_3_12::Keys& keys, PyObject* name)
{
    const auto* entries = reinterpret_cast<const layout_3_12::UnicodeEntry*>(
        keys.indices + (std::size_t{1} << keys.log2_index_bytes));
    for (Py_ssize_t i = 0; i < keys.nentries; ++i) {
        if (entries[i].key == name) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

}  // namespace

void learn_slots(TypeLayout& layout)
{
    PyTypeObject* type = layout.type;
    layout.keys = nullptr;
    layout.keys_seen = 0;
    if (!layout.plain || !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) ||
        !PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) {
        return;
    }
    PyDictKeysObject* keys = layout_3_12::keys_of(type);
    if (!keys || !plausible(layout_3_12::layout_of(keys))) {
        return;
    }
    const layout_3_12::Keys& shared = layout_3_12::layout_of(keys);
    for (int a = 0; a < static_cast<int>(Attr::count); ++a) {
        const Attr attr = static_cast<Attr>(a);
        layout.slots[a] = (layout.plain & attr_bit(attr))
                              ? static_cast<std::int8_t>(index_in(shared, state_name(attr)))
                              : -1;
    }
    layout.keys = keys;
    layout.keys_seen = shared.nentries;
}

}  // namespace merrow::trace_key::inline_values

#endif  // MERROW_INLINE_VALUES
