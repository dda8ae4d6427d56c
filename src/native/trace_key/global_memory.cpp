#include "global_memory.hpp"

#include "interpreter_gates.hpp"
#include "owned_ref.hpp"

namespace merrow::trace_key {

namespace {

#if MERROW_GLOBAL_MEMORY

// One remembered lookup. It answers only while the module namespace and
// the global module's dictionary are both unchanged (a watcher forgets it
// on any event of either, before the change is made), so its value is
// still the one the dictionary holds, and what the lookup would give: the
// global is an exact module, whose attribute lookup finds nothing on its
// immutable type and so takes the value its dictionary holds, and both
// dictionaries have only str keys, so the lookups ran no caller code.
struct Remembered {
    PyObject* globals = nullptr;      // compared only
    PyObject* module_dict = nullptr;  // compared only
    Name global = Name::count;
    Name attribute = Name::count;
    PyObject* value = nullptr;  // borrowed from module_dict
};

// threading.Lock and uuid.uuid4: the globals the operations use.
Remembered g_remembered[2];
int g_watcher = -1;

int forget_changed(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*)
{
    for (Remembered& entry : g_remembered) {
        if (entry.globals == dict || entry.module_dict == dict) {
            entry = Remembered{};
        }
    }
    return 0;
}

bool str_keys_only(PyObject* dict)
{
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            return false;
        }
    }
    return true;
}

PyObject* recall(PyObject* globals, Name global, Name attribute)
{
    for (const Remembered& entry : g_remembered) {
        if (entry.value && entry.globals == globals && entry.global == global &&
            entry.attribute == attribute) {
            return entry.value;
        }
    }
    return nullptr;
}

// Remembers `value`, just found as module.attribute, when the rules above
// hold. Runs no caller code.
void remember(PyObject* globals, PyObject* module, Name global, Name attribute, PyObject* value)
{
    if (g_watcher < 0 || !PyModule_CheckExact(module) || !PyDict_CheckExact(globals)) {
        return;
    }
    PyObject* module_dict = PyModule_GetDict(module);
    // The keys first: only then do the lookups below run no code.
    if (!str_keys_only(globals) || !str_keys_only(module_dict) ||
        PyDict_GetItemWithError(globals, name(global)) != module ||
        PyDict_GetItemWithError(module_dict, name(attribute)) != value ||
        PyDict_Watch(g_watcher, globals) < 0 || PyDict_Watch(g_watcher, module_dict) < 0) {
        PyErr_Clear();
        return;
    }
    Remembered* slot = &g_remembered[0];
    for (Remembered& entry : g_remembered) {
        if (!entry.value || (entry.global == global && entry.attribute == attribute)) {
            slot = &entry;
            break;
        }
    }
    *slot = Remembered{globals, module_dict, global, attribute, value};
}

#endif  // MERROW_GLOBAL_MEMORY

}  // namespace

PyObject* global_attribute(PyObject* globals, Name global, Name attribute)
{
#if MERROW_GLOBAL_MEMORY
    if (PyObject* value = recall(globals, global, attribute)) {
        Py_INCREF(value);
        return value;
    }
#endif
    OwnedRef module = OwnedRef::steal(lookup_global(globals, global));
    if (!module) {
        return nullptr;
    }
    PyObject* value = PyObject_GetAttr(module.get(), name(attribute));
#if MERROW_GLOBAL_MEMORY
    if (value) {
        remember(globals, module.get(), global, attribute, value);
    }
#endif
    return value;
}

void start_global_memory()
{
#if MERROW_GLOBAL_MEMORY
    if (g_watcher < 0) {
        g_watcher = PyDict_AddWatcher(forget_changed);
        if (g_watcher < 0) {
            PyErr_Clear();
        }
    }
#endif
}

}  // namespace merrow::trace_key
