#include "dict_watcher.hpp"

#include "global_cache.hpp"
#include "process_state.hpp"
#include "state/state_cache.hpp"

namespace merrow::trace_key {

namespace {

#if MERROW_DICT_WATCHER
// Runs inside the dictionary's own operation: touches nothing but the caches.
int forget_changed(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*)
{
#if MERROW_SNAPSHOT_BY_WATCHER
    cache::forget_dict(dict);
#endif
#if MERROW_GLOBAL_CACHE
    forget_globals_of(dict);
#endif
    return 0;
}
#endif

}  // namespace

void start_dict_watcher()
{
#if MERROW_DICT_WATCHER
    const bool state_cache = MERROW_SNAPSHOT_BY_WATCHER && gates::dict_watchers_complete();
    if (!g_process.watching && (state_cache || MERROW_GLOBAL_CACHE)) {
        const int id = PyDict_AddWatcher(forget_changed);
        if (id < 0) {
            PyErr_Clear();
            return;
        }
        g_process.dict_watcher = id;
        g_process.watching = true;
    }
    g_process.state_cache_on = g_process.watching && state_cache;
#endif
}

}  // namespace merrow::trace_key
