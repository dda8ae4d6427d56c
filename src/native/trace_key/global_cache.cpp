#include "global_cache.hpp"

#include "interpreter_gates.hpp"
#include "owned_ref.hpp"
#include "str_keys.hpp"

namespace merrow::trace_key {

namespace {

#if MERROW_GLOBAL_CACHE

// A remembered lookup, globals[global].attribute, depends on:
// - the module namespace (which object `global` names): the dictionary
//   watcher forgets the entry on any event of it, before the change is made;
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

PyObject* recall(PyObject* globals, Name global, Name attribute)
{
    for (const RememberedGlobal& entry : g_process.globals) {
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
    if (!g_process.watching || !PyModule_CheckExact(module) || !PyDict_CheckExact(globals)) {
        return;
    }
    PyObject* module_dict = PyModule_GetDict(module);
    const int watcher = g_process.dict_watcher;
    // The keys first: only then do the lookups below run no code.
    if (!str_keys_only(globals) || !str_keys_only(module_dict) ||
        PyDict_GetItemWithError(globals, name(global)) != module ||
        PyDict_GetItemWithError(module_dict, name(attribute)) != value ||
        PyDict_Watch(watcher, globals) < 0 || PyDict_Watch(watcher, module_dict) < 0) {
        PyErr_Clear();
        return;
    }
    RememberedGlobal* slot = &g_process.globals[0];
    for (RememberedGlobal& entry : g_process.globals) {
        if (!entry.value || (entry.global == global && entry.attribute == attribute)) {
            slot = &entry;
            break;
        }
    }
    *slot = RememberedGlobal{globals, module, module_dict, global, attribute, value};
}

#endif  // MERROW_GLOBAL_CACHE

}  // namespace

PyObject* lookup_global(PyObject* globals, Name id)
{
    PyObject* key = name(id);
    PyObject* value = PyDict_GetItemWithError(globals, key);
    if (value) {
        return new_ref(value);
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    value = PyObject_GetAttr(g_process.held.builtins, key);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    }
    return value;
}

PyObject* global_attribute(PyObject* globals, Name global, Name attribute)
{
#if MERROW_GLOBAL_CACHE
    if (PyObject* value = recall(globals, global, attribute)) {
        return new_ref(value);
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

#if MERROW_GLOBAL_CACHE
void forget_globals_of(PyObject* dict)
{
    for (RememberedGlobal& entry : g_process.globals) {
        if (entry.globals == dict || entry.module_dict == dict) {
            entry = RememberedGlobal{};
        }
    }
}
#endif

}  // namespace merrow::trace_key
