#include "lock_protocol.hpp"

#include <cstring>
#include <utility>

#include "instance_state.hpp"
#include "method_object.hpp"
#include "py_compat.hpp"

namespace merrow::trace_key {

namespace {

// The attribute `name` as found on the type's MRO (null, no error, when
// absent).
PyObject* find_on_type(PyTypeObject* type, PyObject* key)
{
    PyObject* mro = type->tp_mro;
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro); ++i) {
        OwnedRef dict = OwnedRef::steal(
            compat::type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        PyObject* found = dict ? PyDict_GetItemWithError(dict.get(), key) : nullptr;
        if (found || PyErr_Occurred()) {
            Py_XINCREF(found);
            return found;
        }
    }
    return nullptr;
}

// The special method `key` of `obj`, bound as the interpreter binds special
// methods; AttributeError(key) when the type has none.
PyObject* bind_special(PyObject* obj, PyObject* key)
{
    OwnedRef found = OwnedRef::steal(find_on_type(Py_TYPE(obj), key));
    if (!found) {
        if (!PyErr_Occurred()) {
            PyErr_SetObject(PyExc_AttributeError, key);
        }
        return nullptr;
    }
    descrgetfunc get = Py_TYPE(found.get())->tp_descr_get;
    if (!get) {
        return found.release();
    }
    return get(found.get(), obj, reinterpret_cast<PyObject*>(Py_TYPE(obj)));
}

// A lock type whose __enter__ and __exit__ are builtin methods of an
// immutable type: calling their C functions directly is what the bound
// methods would do, without making them or their argument tuples.
struct KnownLockType {
    PyTypeObject* type = nullptr;  // strong reference once learnt
    PyMethodDef* enter = nullptr;
    PyMethodDef* exit = nullptr;
    bool quiet_exit = false;
};

// The interpreter's own locks (what threading.Lock and threading.RLock
// make), whose release runs nothing but the release of a mutex.
bool is_interpreter_lock(PyTypeObject* type)
{
    const char* name = type->tp_name;
    return std::strcmp(name, "_thread.lock") == 0 || std::strcmp(name, "_thread.RLock") == 0;
}

KnownLockType g_known_lock;

// The calling conventions of the interpreter's locks' __enter__ (with
// keywords) and __exit__: an argument tuple. Other builtin methods go
// through the generic protocol.
bool callable_directly(PyMethodDef* def)
{
    const int flags = def->ml_flags & ~METH_COEXIST;
    return flags == METH_VARARGS || flags == (METH_VARARGS | METH_KEYWORDS);
}

PyObject* call_method_def(PyMethodDef* def, PyObject* self, PyObject* args_tuple)
{
    if (def->ml_flags & METH_KEYWORDS) {
        return reinterpret_cast<PyCFunctionWithKeywords>(
            reinterpret_cast<void (*)(void)>(def->ml_meth))(self, args_tuple, nullptr);
    }
    return def->ml_meth(self, args_tuple);
}

PyMethodDef* builtin_method(PyTypeObject* type, PyObject* key)
{
    OwnedRef found = OwnedRef::steal(find_on_type(type, key));
    if (!found || !Py_IS_TYPE(found.get(), &PyMethodDescr_Type)) {
        PyErr_Clear();
        return nullptr;
    }
    auto* descr = reinterpret_cast<PyMethodDescrObject*>(found.get());
    // The method must be the type's own kind of method, called on this type.
    if (!PyType_IsSubtype(type, PyDescr_TYPE(descr)) || !callable_directly(descr->d_method)) {
        return nullptr;
    }
    return descr->d_method;
}

void learn_lock_type(PyTypeObject* type)
{
    if (g_known_lock.type || !compat::is_immutable_type(type)) {
        return;
    }
    PyMethodDef* exit = builtin_method(type, name(Name::exit));
    PyMethodDef* enter = exit ? builtin_method(type, name(Name::enter)) : nullptr;
    if (enter) {
        Py_INCREF(type);
        g_known_lock = KnownLockType{type, enter, exit, is_interpreter_lock(type)};
    }
}

}  // namespace

int LockSection::enter(PyObject* self)
{
    OwnedRef lock = OwnedRef::steal(read_state(self, Attr::lock));
    if (!lock) {
        return -1;
    }
    if (Py_TYPE(lock.get()) == g_known_lock.type) {
        lock_ = std::move(lock);
        OwnedRef entered = OwnedRef::steal(
            call_method_def(g_known_lock.enter, lock_.get(), g_state.empty_tuple));
        return entered ? 0 : -1;
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
    if (entered) {
        learn_lock_type(Py_TYPE(lock.get()));
    }
    return entered ? 0 : -1;
}

PyObject* LockSection::call_exit(PyObject* const* args)
{
    if (!lock_) {
        // Leaving normally allocates nothing, so the lock is given back even
        // when memory has run out (a builtin __exit__ takes a tuple).
        if (args[0] == Py_None) {
            return PyObject_Call(exit_.get(), g_state.three_nones, nullptr);
        }
        return PyObject_Vectorcall(exit_.get(), args, 3, nullptr);
    }
    if (args[0] == Py_None) {
        return call_method_def(g_known_lock.exit, lock_.get(), g_state.three_nones);
    }
    OwnedRef tuple = OwnedRef::steal(PyTuple_Pack(3, args[0], args[1], args[2]));
    return tuple ? call_method_def(g_known_lock.exit, lock_.get(), tuple.get()) : nullptr;
}

bool LockSection::exits_quietly() const { return lock_ && g_known_lock.quiet_exit; }

int LockSection::exit()
{
    PyObject* args[] = {Py_None, Py_None, Py_None};
    OwnedRef result = OwnedRef::steal(call_exit(args));
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
    OwnedRef result = OwnedRef::steal(call_exit(args));
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
