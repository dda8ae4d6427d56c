#include "identifier_fields.hpp"

#include <utility>

#include "state/instance_state.hpp"

namespace merrow::trace_key {

int read_node_fields(PyObject* self, TextField& node, TextField& index,
                     const Snapshot* look)
{
    PyObject *node_id, *source_idx;
    if (read_text_then(self, Attr::node_id, Attr::source_idx, &node_id, &source_idx, look)) {
        OwnedRef index_value = OwnedRef::steal(source_idx);
        if (node.assign_node_prefix(OwnedRef::steal(node_id)) < 0) {
            return -1;
        }
        return index.assign_value(std::move(index_value));
    }
    OwnedRef node_value = OwnedRef::steal(read_state(self, Attr::node_id));
    if (!node_value || node.assign_node_prefix(std::move(node_value)) < 0) {
        return -1;
    }
    OwnedRef index_value = OwnedRef::steal(read_state(self, Attr::source_idx));
    return index_value ? index.assign_value(std::move(index_value)) : -1;
}

}  // namespace merrow::trace_key
