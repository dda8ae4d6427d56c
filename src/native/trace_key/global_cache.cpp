#include "global_cache.hpp"

#include "interpreter_gates.hpp"
#include "owned_ref.hpp"

namespace merrow::trace_key {

namespace {

#if MERROW_GLOBAL_CACHE

// One remembered lookup, globals[global].attribute. Its answer depends on:
// - the module namespace (which object `global` names): a watcher forgets
//   the entry on any event of it, before the change is made;
// - the global module's dictionary (the attribute's value, and a module
//   __getattr__ it might hold): the same watcher;
// - the module object's type, whose attribute lookup finds the value: it
//   must be the module type itself, which is immutable and defines no such
//   name, so the lookup takes what the dictionary holds. A class assigned
//   to the module changes no dictionary: its type is tested at each recall;
// - the dictionaries' keys, all str when remembered, so the lookups ran no
//   caller code (a key added later is an event).
// The value is borrowed from the module's dictionary, which holds it while
// the entry stands; the module, from the namespace.
struct Remembered {
    PyObject* globals = nullptr;      // compared only
    PyObject* module = nullptr;       // borrowed from globals
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
            entry.attribute == attribute && PyModule_CheckExact(entry.module)) {
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
    *slot = Remembered{globals, module, module_dict, global, attribute, value};
}

#endif  // MERROW_GLOBAL_CACHE

}  // namespace

PyObject* global_attribute(PyObject* globals, Name global, Name attribute)
{
#if MERROW_GLOBAL_CACHE
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
#if MERROW_GLOBAL_CACHE
    if (value) {
        remember(globals, module.get(), global, attribute, value);
    }
#endif
    return value;
}

void start_global_cache()
{
#if MERROW_GLOBAL_CACHE
    if (g_watcher < 0) {
        g_watcher = PyDict_AddWatcher(forget_changed);
        if (g_watcher < 0) {
            PyErr_Clear();
        }
    }
#endif
}

}  // namespace merrow::trace_key
