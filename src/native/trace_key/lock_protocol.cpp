#include "lock_protocol.hpp"

#include "method_object.hpp"
#include "py_compat.hpp"

namespace merrow::trace_key {

namespace {

// The attribute `name` as found on the type's MRO, bound to `obj` the way
// special methods are; AttributeError(name) when the type has none.
PyObject* bind_special(PyObject* obj, PyObject* name)
{
    PyTypeObject* type = Py_TYPE(obj);
    PyObject* mro = type->tp_mro;
    const Py_ssize_t count = mro ? PyTuple_GET_SIZE(mro) : 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        OwnedRef dict = OwnedRef::steal(
            compat::type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        if (!dict) {
            continue;
        }
        PyObject* found = PyDict_GetItemWithError(dict.get(), name);
        if (found) {
            descrgetfunc get = Py_TYPE(found)->tp_descr_get;
            if (!get) {
                Py_INCREF(found);
                return found;
            }
            OwnedRef keep = OwnedRef::borrow(found);
            return get(found, obj, reinterpret_cast<PyObject*>(type));
        }
        if (PyErr_Occurred()) {
            return nullptr;
        }
    }
    PyErr_SetObject(PyExc_AttributeError, name);
    return nullptr;
}

}  // namespace

int LockSection::enter(PyObject* self)
{
    OwnedRef lock = OwnedRef::steal(PyObject_GetAttr(self, name(Name::lock)));
    if (!lock) {
        return -1;
    }
    exit_ = OwnedRef::steal(bind_special(lock.get(), name(Name::exit)));
    if (!exit_) {
        return -1;
    }
    OwnedRef enter = OwnedRef::steal(bind_special(lock.get(), name(Name::enter)));
    if (!enter) {
        return -1;
    }
    OwnedRef entered = OwnedRef::steal(PyObject_CallNoArgs(enter.get()));
    return entered ? 0 : -1;
}

int LockSection::exit()
{
    PyObject* args[] = {Py_None, Py_None, Py_None};
    OwnedRef result = OwnedRef::steal(PyObject_Vectorcall(exit_.get(), args, 3, nullptr));
    return result ? 0 : -1;
}

LockSection::Outcome LockSection::exit_with_exception(const OperationSpec& op, BoundCall& call)
{
    add_operation_entry(op, call.function->globals);
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) {
        PyException_SetTraceback(value, tb);
    }
    PyObject* args[] = {type, value ? value : Py_None, tb ? tb : Py_None};
    OwnedRef result = OwnedRef::steal(PyObject_Vectorcall(exit_.get(), args, 3, nullptr));
    const int suppress = result ? PyObject_IsTrue(result.get()) : -1;
    if (suppress > 0) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        return Outcome::suppressed;
    }
    if (suppress < 0) {
        // As in a with statement, the new exception's context is the old one.
        PyObject *new_type, *new_value, *new_tb;
        PyErr_Fetch(&new_type, &new_value, &new_tb);
        PyErr_NormalizeException(&new_type, &new_value, &new_tb);
        if (new_value && value && new_value != value) {
            PyException_SetContext(new_value, value);
            value = nullptr;
        }
        PyErr_Restore(new_type, new_value, new_tb);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        return Outcome::propagate;
    }
    PyErr_Restore(type, value, tb);
    call.entry_added = true;
    return Outcome::propagate;
}

}  // namespace merrow::trace_key
