// The attributes a function object shows to callers, with the assignment
// rules of ordinary functions.
#include "method_object.hpp"

namespace merrow::trace_key {

namespace {

MethodObject* as_method(PyObject* self) { return reinterpret_cast<MethodObject*>(self); }

PyObject* or_none(PyObject* value) { return new_ref(value ? value : Py_None); }

// A field read as it is, None when unset.
template <PyObject* MethodObject::*field>
PyObject* get_field(PyObject* self, void*)
{
    return or_none(as_method(self)->*field);
}

// A field that takes any value; deleted, it holds None.
template <PyObject* MethodObject::*field>
int set_field(PyObject* self, PyObject* value, void*)
{
    replace_ref(as_method(self)->*field, value ? value : Py_None);
    return 0;
}

int set_text(PyObject*& slot, PyObject* value, const char* message)
{
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    replace_ref(slot, value);
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*)
{
    return set_text(as_method(self)->name, value, "__name__ must be set to a string object");
}

int set_qualname(PyObject* self, PyObject* value, void*)
{
    return set_text(as_method(self)->qualname, value,
                    "__qualname__ must be set to a string object");
}

PyObject* get_defaults(PyObject* self, void*)
{
    MethodObject* fn = as_method(self);
    if (!fn->defaults_made) {
        PyObject* defaults = table_defaults(fn);
        if (!defaults) {
            return nullptr;
        }
        fn->defaults = defaults;
        fn->defaults_made = true;
    }
    return or_none(fn->defaults);
}

// Stores a reported default (None when deleted; else None or an object of
// the type named) once the caller has been warned that calls keep the
// table's defaults; a warning raised as an error refuses the change.
int store_reported_default(PyObject*& slot, PyObject* value, bool of_type, const char* attribute,
                           const char* type_name)
{
    if (!value) {
        value = Py_None;
    } else if (value != Py_None && !of_type) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a %s object", attribute, type_name);
        return -1;
    }
    char message[120];
    PyOS_snprintf(message, sizeof message,
                  "changes to %s will not currently affect the values used in function calls",
                  attribute);
    if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) < 0) {
        return -1;
    }
    replace_ref(slot, value);
    return 0;
}

int set_defaults(PyObject* self, PyObject* value, void*)
{
    MethodObject* fn = as_method(self);
    if (store_reported_default(fn->defaults, value, value && PyTuple_Check(value), "__defaults__",
                               "tuple") < 0) {
        return -1;
    }
    fn->defaults_made = true;
    return 0;
}

int set_kwdefaults(PyObject* self, PyObject* value, void*)
{
    return store_reported_default(as_method(self)->kwdefaults, value,
                                  value && PyDict_Check(value), "__kwdefaults__", "dict");
}

PyObject* get_annotations(PyObject* self, void*)
{
    MethodObject* fn = as_method(self);
    if (!fn->annotations && !(fn->annotations = PyDict_New())) {
        return nullptr;
    }
    return or_none(fn->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*)
{
    if (value == Py_None) {
        value = nullptr;
    } else if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    replace_ref(as_method(self)->annotations, value);
    return 0;
}

PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_is_coroutine(PyObject*, void*) { Py_RETURN_FALSE; }

}  // namespace

PyGetSetDef* method_attributes()
{
    using M = MethodObject;
    static PyGetSetDef attributes[] = {
        {"__name__", get_field<&M::name>, set_name, nullptr, nullptr},
        {"func_name", get_field<&M::name>, set_name, nullptr, nullptr},
        {"__qualname__", get_field<&M::qualname>, set_qualname, nullptr, nullptr},
        {"__doc__", get_field<&M::doc>, set_field<&M::doc>, nullptr, nullptr},
        {"func_doc", get_field<&M::doc>, set_field<&M::doc>, nullptr, nullptr},
        {"__module__", get_field<&M::module>, set_field<&M::module>, nullptr, nullptr},
        {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
        {"func_defaults", get_defaults, set_defaults, nullptr, nullptr},
        {"__kwdefaults__", get_field<&M::kwdefaults>, set_kwdefaults, nullptr, nullptr},
        {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
        {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
        {"func_dict", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
        {"__globals__", get_field<&M::globals>, nullptr, nullptr, nullptr},
        {"func_globals", get_field<&M::globals>, nullptr, nullptr, nullptr},
        {"__closure__", get_closure, nullptr, nullptr, nullptr},
        {"func_closure", get_closure, nullptr, nullptr, nullptr},
        {"__code__", get_field<&M::code>, nullptr, nullptr, nullptr},
        {"func_code", get_field<&M::code>, nullptr, nullptr, nullptr},
        {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    return attributes;
}

}  // namespace merrow::trace_key
