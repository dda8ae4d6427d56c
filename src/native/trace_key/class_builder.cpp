#include "class_builder.hpp"

#include "docstrings.hpp"
#include "global_cache.hpp"
#include "method_object.hpp"
#include "owned_ref.hpp"

namespace merrow::trace_key {

namespace {

PyObject* name_tuple(const OperationSpec& op)
{
    const int total = op.parameter_count + op.local_count;
    PyObject* names = PyTuple_New(total);
    if (!names) {
        return nullptr;
    }
    for (int i = 0; i < total; ++i) {
        const Name item =
            i < op.parameter_count ? op.parameters[i] : op.locals[i - op.parameter_count];
        PyTuple_SET_ITEM(names, i, new_ref(name(item)));
    }
    return names;
}

// An empty code object given the operation's parameters through
// code.replace(), whose keywords are stable across interpreter versions.
PyObject* make_code(const OperationSpec& op)
{
    OwnedRef empty = OwnedRef::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(kSourceFile, op.name, op.traceback_line)));
    OwnedRef names = OwnedRef::steal(empty ? name_tuple(op) : nullptr);
    OwnedRef argcount = OwnedRef::steal(PyLong_FromLong(op.parameter_count));
    OwnedRef nlocals = OwnedRef::steal(PyLong_FromLong(op.parameter_count + op.local_count));
    OwnedRef kwargs = OwnedRef::steal(PyDict_New());
    if (!names || !argcount || !nlocals || !kwargs ||
        PyDict_SetItemString(kwargs.get(), "co_argcount", argcount.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_nlocals", nlocals.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_varnames", names.get()) < 0) {
        return nullptr;
    }
    OwnedRef replace = OwnedRef::steal(PyObject_GetAttrString(empty.get(), "replace"));
    if (!replace) {
        return nullptr;
    }
    return PyObject_Call(replace.get(), g_process.empty_tuple, kwargs.get());
}

// The value of <token class>.GENERAL, which must be an exact str or None.
PyObject* default_token(PyObject* module_dict, const OperationSpec& op)
{
    OwnedRef token_class = OwnedRef::steal(lookup_global(module_dict, op.token_class));
    if (!token_class) {
        return nullptr;
    }
    PyObject* token = PyObject_GetAttr(token_class.get(), name(Name::GENERAL));
    if (token && token != Py_None && !PyUnicode_CheckExact(token)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(token)->tp_name);
        Py_CLEAR(token);
    }
    return token;
}

// The operation's function object as it enters the class namespace.
PyObject* class_entry(PyObject* module_dict, const OperationSpec& op, PyObject* code)
{
    OwnedRef token;
    if (op.default_source == DefaultSource::token_record &&
        !(token = OwnedRef::steal(default_token(module_dict, op)))) {
        return nullptr;
    }
    OwnedRef method = OwnedRef::steal(make_method(op, module_dict, code, token.get()));
    if (!method || !op.is_static) {
        return method.release();
    }
    return PyObject_CallOneArg(g_process.staticmethod, method.get());
}

}  // namespace

PyObject* class_namespace(Name class_name, const char* doc)
{
    OwnedRef ns = OwnedRef::steal(PyDict_New());
    OwnedRef doc_text = OwnedRef::steal(PyUnicode_FromString(doc));
    if (!ns || !doc_text ||
        PyDict_SetItem(ns.get(), name(Name::module_key), name(Name::module_name)) < 0 ||
        PyDict_SetItem(ns.get(), name(Name::qualname_key), name(class_name)) < 0 ||
        PyDict_SetItem(ns.get(), name(Name::doc_key), doc_text.get()) < 0) {
        return nullptr;
    }
    return ns.release();
}

int bind_class(PyObject* module_dict, Name class_name, PyObject* namespace_dict)
{
    OwnedRef made = OwnedRef::steal(PyObject_CallFunctionObjArgs(
        reinterpret_cast<PyObject*>(&PyType_Type), name(class_name), g_process.empty_tuple,
        namespace_dict, nullptr));
    if (!made) {
        return -1;
    }
    return PyDict_SetItem(module_dict, name(class_name), made.get());
}

int make_method_code_objects()
{
    for (int i = 0; i < static_cast<int>(OperationId::count); ++i) {
        if (!g_process.method_code[i] &&
            !(g_process.method_code[i] = make_code(operation(static_cast<OperationId>(i))))) {
            return -1;
        }
    }
    return 0;
}

int build_generator_class(PyObject* module_dict)
{
    OwnedRef ns = OwnedRef::steal(class_namespace(Name::LogIDGenerator, docs::generator));
    if (!ns) {
        return -1;
    }
    for (int i = 0; i < static_cast<int>(OperationId::count); ++i) {
        const OperationSpec& op = operation(static_cast<OperationId>(i));
        OwnedRef entry = OwnedRef::steal(class_entry(module_dict, op, g_process.method_code[i]));
        if (!entry || PyDict_SetItem(ns.get(), name(op.name_text), entry.get()) < 0) {
            return -1;
        }
    }
    return bind_class(module_dict, Name::LogIDGenerator, ns.get());
}

}  // namespace merrow::trace_key
