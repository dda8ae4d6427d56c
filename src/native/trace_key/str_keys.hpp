// Dictionaries whose keys are all exact str: a lookup there compares
// without running caller code, so a cache may stand in for one.
#pragma once

#include <Python.h>

namespace merrow::trace_key {

inline bool str_keys_only(PyObject* dict)
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

}  // namespace merrow::trace_key
