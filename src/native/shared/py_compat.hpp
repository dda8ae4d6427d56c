// Small shims over the C API differences between the supported interpreters.
#pragma once

#include <Python.h>

#include <climits>

#include "interpreter_gates.hpp"

namespace merrow::compat {

// The type's own attribute dictionary as a new reference. Static builtin
// types keep theirs per interpreter from 3.12 on, so tp_dict may be null.
inline PyObject* type_dict(PyTypeObject* type)
{
#if MERROW_API_TYPE_GET_DICT
    return PyType_GetDict(type);
#else
    Py_XINCREF(type->tp_dict);
    return type->tp_dict;
#endif
}

inline bool is_immutable_type(PyTypeObject* type)
{
#if MERROW_API_IMMUTABLE_FLAG
    return PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE);
#else
    return !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE);
#endif
}

// Text made by C code can still be in the legacy representation before
// 3.12; its length, kind and data are valid only once it is made ready.
inline bool text_is_ready(PyObject* text)
{
#if MERROW_API_LEGACY_TEXT
    return PyUnicode_IS_READY(text);
#else
    (void)text;
    return true;
#endif
}

// 0, or -1 with MemoryError set.
inline int make_text_ready(PyObject* text)
{
#if MERROW_API_LEGACY_TEXT
    return PyUnicode_READY(text);
#else
    (void)text;
    return 0;
#endif
}

// The value of an exact int when it fits a long long: true and *value set,
// or false (nothing set, no exception) when it does not.
inline bool small_int_value(PyObject* exact_int, long long* value)
{
#if MERROW_API_COMPACT_INT
    // Most ints are compact: their value is read without a call.
    auto* number = reinterpret_cast<PyLongObject*>(exact_int);
    if (PyUnstable_Long_IsCompact(number)) {
        *value = PyUnstable_Long_CompactValue(number);
        return true;
    }
#endif
    int overflow = 0;
    const long long result = PyLong_AsLongLongAndOverflow(exact_int, &overflow);
    if (overflow) {
        return false;
    }
    *value = result;
    return true;
}

// An int from a long long; PyLong_FromLong has the interpreter's fast paths
// for small values, so it serves whatever fits a long.
inline PyObject* int_from(long long value)
{
    if (value >= LONG_MIN && value <= LONG_MAX) {
        return PyLong_FromLong(static_cast<long>(value));
    }
    return PyLong_FromLongLong(value);
}

// PyObject_HasAttr as 3.9 has it: any error of the lookup means "no" and is
// cleared. From 3.13 on PyObject_HasAttr reports such errors to
// sys.unraisablehook instead.
inline bool has_attr_quietly(PyObject* obj, PyObject* name)
{
    PyObject* value = PyObject_GetAttr(obj, name);
    if (!value) {
        PyErr_Clear();
        return false;
    }
    Py_DECREF(value);
    return true;
}

}  // namespace merrow::compat
