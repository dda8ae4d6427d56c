// The module's classes, made as a class statement makes them: by calling
// `type` with a prepared namespace.
#pragma once

#include <Python.h>

#include "process_state.hpp"

namespace merrow::trace_key {

// A namespace holding __module__, __qualname__ and __doc__, in that order.
PyObject* class_namespace(Name class_name, const char* doc);

// type(class_name, (), namespace), bound in the module namespace.
int bind_class(PyObject* module_dict, Name class_name, PyObject* namespace_dict);

// ErrorType or EventType with its tokens; `which` is Name::ErrorType or
// Name::EventType.
int build_token_class(PyObject* module_dict, Name which);

// One __code__ object per operation, made once per process.
int make_method_code_objects();

int build_generator_class(PyObject* module_dict);

}  // namespace merrow::trace_key
