#include "method_object.hpp"

#include <cstddef>

#include "argument_binder.hpp"
#include "state/lock_section.hpp"

namespace merrow::trace_key {

namespace {

// The object fields the type owns; traverse, clear and dealloc all walk
// this one list so they cannot drift apart.
constexpr PyObject* MethodObject::*kOwnedFields[] = {
    &MethodObject::name,     &MethodObject::qualname,    &MethodObject::doc,
    &MethodObject::module,   &MethodObject::globals,     &MethodObject::code,
    &MethodObject::dict,     &MethodObject::defaults,    &MethodObject::kwdefaults,
    &MethodObject::annotations, &MethodObject::default_token,
};

PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                            PyObject* kwnames)
{
    auto* fn = reinterpret_cast<MethodObject*>(callable);
    const OperationSpec& op = *fn->op;
    BoundCall call{};
    call.function = fn;
    const Binding binding{op, fn->default_token, fn->checked_count};
    const BindResult bound =
        bind_arguments(binding, args, PyVectorcall_NARGS(nargsf), kwnames, call);
    if (bound != BindResult::bound) {
        if (bound == BindResult::failed) {
            add_operation_entry(op, fn->globals);
        }
        return nullptr;
    }
    PyObject* result = op.body(call);
    if (!result && !call.entry_added) {
        add_operation_entry(op, fn->globals);
    }
    return result;
}

constexpr Py_ssize_t kSmallStack = 8;

// Generic entry: a keyword dictionary becomes the fast entry's keyword names.
PyObject* method_call(PyObject* callable, PyObject* args, PyObject* kwargs)
{
    PyObject* const* positional = &PyTuple_GET_ITEM(args, 0);
    const Py_ssize_t n = PyTuple_GET_SIZE(args);
    if (!kwargs || PyDict_GET_SIZE(kwargs) == 0) {
        return method_vectorcall(callable, positional, static_cast<std::size_t>(n), nullptr);
    }
    const Py_ssize_t k = PyDict_GET_SIZE(kwargs);
    OwnedRef names = OwnedRef::steal(PyTuple_New(k));
    if (!names) {
        return nullptr;
    }
    // Every operation's arguments fit on the stack; only a call with more
    // (which binding refuses) allocates.
    PyObject* small[kSmallStack];
    PyObject** stack = small;
    if (n + k > kSmallStack) {
        stack = static_cast<PyObject**>(PyMem_Malloc(sizeof(PyObject*) * (n + k)));
        if (!stack) {
            return PyErr_NoMemory();
        }
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        stack[i] = positional[i];
    }
    // Values are owned for the call: caller code run while binding may
    // change the dictionary.
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    bool all_text = true;
    while (PyDict_Next(kwargs, &pos, &key, &value) && i < k) {
        all_text = all_text && PyUnicode_Check(key);
        PyTuple_SET_ITEM(names.get(), i, new_ref(key));
        stack[n + i] = new_ref(value);
        ++i;
    }
    PyObject* result = nullptr;
    if (!all_text) {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    } else {
        result = method_vectorcall(callable, stack, static_cast<std::size_t>(n), names.get());
    }
    for (Py_ssize_t j = 0; j < i; ++j) {
        Py_DECREF(stack[n + j]);
    }
    if (stack != small) {
        PyMem_Free(stack);
    }
    return result;
}

PyObject* method_descr_get(PyObject* self, PyObject* obj, PyObject*)
{
    return !obj || obj == Py_None ? new_ref(self) : PyMethod_New(self, obj);
}

int method_traverse(PyObject* self, visitproc visit, void* arg)
{
    auto* fn = reinterpret_cast<MethodObject*>(self);
    for (auto field : kOwnedFields) {
        Py_VISIT(fn->*field);
    }
    return 0;
}

int method_clear(PyObject* self)
{
    auto* fn = reinterpret_cast<MethodObject*>(self);
    for (auto field : kOwnedFields) {
        Py_CLEAR(fn->*field);
    }
    return 0;
}

void method_dealloc(PyObject* self)
{
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<MethodObject*>(self)->weakrefs) {
        PyObject_ClearWeakRefs(self);
    }
    method_clear(self);
    PyObject_GC_Del(self);
}

PyObject* method_repr(PyObject* self)
{
    auto* fn = reinterpret_cast<MethodObject*>(self);
    return PyUnicode_FromFormat("<trace_key_function %U at %p>", fn->qualname, self);
}

PyObject* method_reduce(PyObject* self, PyObject*)
{
    return new_ref(reinterpret_cast<MethodObject*>(self)->qualname);
}

PyObject* make_annotations(const OperationSpec& op)
{
    OwnedRef dict = OwnedRef::steal(PyDict_New());
    if (!dict) {
        return nullptr;
    }
    for (int i = 0; i < op.annotation_count; ++i) {
        if (PyDict_SetItem(dict.get(), name(op.annotations[i].key),
                           name(op.annotations[i].value)) < 0) {
            return nullptr;
        }
    }
    return dict.release();
}

// The function type, readied once per process by ready_method_type().
PyTypeObject& method_type()
{
    static PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    return type;
}

}  // namespace

int ready_method_type()
{
    static PyMethodDef methods[] = {
        {"__reduce__", method_reduce, METH_NOARGS, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    PyTypeObject& type = method_type();
    if (type.tp_flags & Py_TPFLAGS_READY) {
        return 0;
    }
    type.tp_name = "trace_key_function";
    type.tp_basicsize = sizeof(MethodObject);
    type.tp_dealloc = method_dealloc;
    type.tp_vectorcall_offset = offsetof(MethodObject, vectorcall);
    type.tp_repr = method_repr;
    type.tp_call = method_call;
    type.tp_getattro = PyObject_GenericGetAttr;
    type.tp_setattro = PyObject_GenericSetAttr;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                    Py_TPFLAGS_METHOD_DESCRIPTOR;
    type.tp_traverse = method_traverse;
    type.tp_clear = method_clear;
    type.tp_weaklistoffset = offsetof(MethodObject, weakrefs);
    type.tp_methods = methods;
    type.tp_getset = method_attributes();
    type.tp_descr_get = method_descr_get;
    type.tp_dictoffset = offsetof(MethodObject, dict);
    return PyType_Ready(&type);
}

PyObject* table_defaults(MethodObject* fn)
{
    switch (fn->op->default_source) {
    case DefaultSource::false_value:
        return PyTuple_Pack(1, Py_False);
    case DefaultSource::token_record:
        return PyTuple_Pack(1, fn->default_token);
    case DefaultSource::none:
        break;
    }
    Py_RETURN_NONE;
}

int leave_section(LockSection& section, BoundCall& call, bool body_failed)
{
    if (!body_failed) {
        return section.exit();
    }
    add_operation_entry(*call.function->op, call.function->globals);
    const LockSection::Outcome outcome = section.exit_with_exception();
    // What __exit__ raised has yet to pass the method's frame.
    call.entry_added = outcome == LockSection::Outcome::reraised;
    return outcome == LockSection::Outcome::suppressed ? 0 : -1;
}

PyObject* make_method(const OperationSpec& op, PyObject* globals, PyObject* code,
                      PyObject* default_token)
{
    auto* fn = PyObject_GC_New(MethodObject, &method_type());
    if (!fn) {
        return nullptr;
    }
    OwnedRef owner = OwnedRef::steal(reinterpret_cast<PyObject*>(fn));
    fn->vectorcall = method_vectorcall;
    fn->op = &op;
    for (auto field : kOwnedFields) {
        fn->*field = nullptr;
    }
    fn->weakrefs = nullptr;
    fn->defaults_made = op.default_source != DefaultSource::token_record;
    fn->checked_count = 0;
    for (int i = 0; i < op.parameter_count; ++i) {
        fn->checked_count += op.rules[i] != Rule::any;
    }
    PyObject* doc = op.doc ? PyUnicode_FromString(op.doc) : new_ref(Py_None);
    if (!doc) {
        return nullptr;
    }
    fn->doc = doc;
    replace_ref(fn->name, name(op.name_text));
    replace_ref(fn->qualname, name(op.qualname_text));
    replace_ref(fn->module, name(Name::module_name));
    replace_ref(fn->globals, globals);
    replace_ref(fn->code, code);
    replace_ref(fn->default_token, default_token);
    if (fn->defaults_made && !(fn->defaults = table_defaults(fn))) {
        return nullptr;
    }
    if (!(fn->annotations = make_annotations(op))) {
        return nullptr;
    }
    PyObject_GC_Track(fn);
    return owner.release();
}

}  // namespace merrow::trace_key
