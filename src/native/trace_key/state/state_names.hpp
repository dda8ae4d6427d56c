// The generator's six state attributes, as the state layer names them.
#pragma once

#include <Python.h>

#include <cstdint>

#include "module_state.hpp"

namespace merrow::trace_key {

enum class Attr : int { node_id, source_idx, session_id, error_counter, event_counter, lock, count };

inline constexpr std::uint32_t attr_bit(Attr attr) { return 1u << static_cast<int>(attr); }

inline constexpr Name kStateNames[] = {Name::node_id,       Name::source_idx,
                                       Name::session_id,    Name::error_counter,
                                       Name::event_counter, Name::lock};
static_assert(sizeof kStateNames / sizeof kStateNames[0] == static_cast<int>(Attr::count));

// The attribute's interned name.
inline PyObject* state_name(Attr attr) { return name(kStateNames[static_cast<int>(attr)]); }

}  // namespace merrow::trace_key
