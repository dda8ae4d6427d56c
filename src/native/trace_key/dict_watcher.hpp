// The one dictionary watcher every cache relies on (from 3.12): any event
// of a watched dictionary, its end included, makes each cache forget what
// it holds of that dictionary, before the change is made.
#pragma once

namespace merrow::trace_key {

// Adds the watcher once, at import, where a cache relies on one; without it
// the caches stay off.
void start_dict_watcher();

}  // namespace merrow::trace_key
