#include "lock_section.hpp"

#include <cstring>
#include <utility>

#include "exception_state.hpp"
#include "instance_state.hpp"
#include "interpreter_gates.hpp"
#include "py_compat.hpp"

namespace merrow::trace_key {

#if MERROW_LOCK_DIRECT_CALLS

// The call of `method` with an argument tuple made here: only a failure's
// arguments come without one ready.
[[gnu::cold]] PyObject* call_with_new_tuple(const DirectMethod& method, PyObject* self,
                                            PyObject* const* args, Py_ssize_t nargs);

// One builtin method called as its bound method would call it with the
// same arguments. `ready` is an argument tuple made beforehand, or null.
// (Without the bound call's recursion check: the lock's functions run no
// Python code, and the operation around them has no frame of its own to
// count.)
inline PyObject* call_direct(const DirectMethod& method, PyObject* self, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* ready)
{
    using Convention = DirectMethod::Convention;
    using Fast = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t);
    switch (method.convention) {
    case Convention::no_args:
        return reinterpret_cast<PyCFunction>(method.meth)(self, nullptr);
    case Convention::fast:
        return reinterpret_cast<Fast>(method.meth)(self, args, nargs);
    case Convention::tuple_keywords:
        return ready ? reinterpret_cast<PyCFunctionWithKeywords>(method.meth)(self, ready, nullptr)
                     : call_with_new_tuple(method, self, args, nargs);
    default:  // tuple: a known lock type holds no method of convention none
        return ready ? reinterpret_cast<PyCFunction>(method.meth)(self, ready)
                     : call_with_new_tuple(method, self, args, nargs);
    }
}

PyObject* call_with_new_tuple(const DirectMethod& method, PyObject* self, PyObject* const* args,
                              Py_ssize_t nargs)
{
    OwnedRef tuple = OwnedRef::steal(PyTuple_New(nargs));
    if (!tuple) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyTuple_SET_ITEM(tuple.get(), i, new_ref(args[i]));
    }
    return call_direct(method, self, args, nargs, tuple.get());
}

#endif

namespace {

// __exit__'s arguments when the section did not fail.
PyObject* const kNoFailure[] = {Py_None, Py_None, Py_None};

// The attribute `key` as found on the type's MRO (null, no error, when
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

// The special method `key` of `obj` as the interpreter finds special
// methods: on the type. AttributeError(key) when the type has none.
OwnedRef find_special(PyObject* obj, PyObject* key)
{
    OwnedRef found = OwnedRef::steal(find_on_type(Py_TYPE(obj), key));
    if (!found && !PyErr_Occurred()) {
        PyErr_SetObject(PyExc_AttributeError, key);
    }
    return found;
}

// `found` (null: a failed search) bound to `obj` by its __get__.
PyObject* bind_to(OwnedRef found, PyObject* obj)
{
    descrgetfunc get = found ? Py_TYPE(found.get())->tp_descr_get : nullptr;
    return get ? get(found.get(), obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))) : found.release();
}

// Calls the special method `key` of `obj` with no arguments. A method
// descriptor (Py_TPFLAGS_METHOD_DESCRIPTOR) called with `obj` first equals
// its bound method called, without making the bound method.
PyObject* call_special_no_args(PyObject* obj, PyObject* key)
{
    OwnedRef found = find_special(obj, key);
    if (found && PyType_HasFeature(Py_TYPE(found.get()), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        return PyObject_Vectorcall(found.get(), &obj, 1, nullptr);
    }
    OwnedRef bound = OwnedRef::steal(bind_to(std::move(found), obj));
    return bound ? PyObject_CallNoArgs(bound.get()) : nullptr;
}

#if MERROW_LOCK_DIRECT_CALLS

// The method's convention when it takes `nargs` positional arguments; none
// for one the interpreter's own call must serve.
DirectMethod::Convention convention_of(const PyMethodDef* def, Py_ssize_t nargs)
{
    using Convention = DirectMethod::Convention;
    switch (def->ml_flags & ~(METH_COEXIST | METH_STATIC)) {
    case METH_NOARGS:
        return nargs == 0 ? Convention::no_args : Convention::none;
    case METH_FASTCALL:
        return Convention::fast;
    case METH_VARARGS:
        return Convention::tuple;
    case METH_VARARGS | METH_KEYWORDS:
        return Convention::tuple_keywords;
    default:
        return Convention::none;
    }
}

// The interpreter's own locks (what threading.Lock and threading.RLock
// make), whose release runs nothing but the release of a mutex.
bool is_interpreter_lock(PyTypeObject* type)
{
    const char* name = type->tp_name;
    return std::strcmp(name, "_thread.lock") == 0 || std::strcmp(name, "_thread.RLock") == 0;
}

// A lock type whose __enter__ and __exit__ are builtin methods of an
// immutable type: calling their C functions directly is what the bound
// methods would do, without making them or their arguments. What it
// answers (the two C functions and their conventions) depends on:
// - the type: compared by identity at each section, and owned, so that
//   no other type can take its address;
// - every class of its MRO, where the methods are found: all immutable
//   when learnt, so none can gain, lose or replace a name;
// - the method objects found: builtin method descriptors, whose C
//   function and flags never change.
const KnownLockType* known_lock_type(PyTypeObject* type)
{
    if (g_process.known_locks[0].type == type) {
        return &g_process.known_locks[0];  // the first learnt: usually the only one used
    }
    for (const KnownLockType& known : g_process.known_locks) {
        if (known.type == type) {
            return &known;
        }
        if (!known.type) {
            break;
        }
    }
    return nullptr;
}

DirectMethod builtin_method(PyTypeObject* type, PyObject* key, Py_ssize_t nargs)
{
    OwnedRef found = OwnedRef::steal(find_on_type(type, key));
    if (!found || !Py_IS_TYPE(found.get(), &PyMethodDescr_Type)) {
        PyErr_Clear();
        return {};
    }
    auto* descr = reinterpret_cast<PyMethodDescrObject*>(found.get());
    // The method must be the type's own kind of method, called on this type.
    if (!PyType_IsSubtype(type, PyDescr_TYPE(descr))) {
        return {};
    }
    const PyMethodDef* def = descr->d_method;
    return {reinterpret_cast<void (*)(void)>(def->ml_meth), convention_of(def, nargs)};
}

bool immutable_mro(PyTypeObject* type)
{
    PyObject* mro = type->tp_mro;
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro); ++i) {
        if (!compat::is_immutable_type(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)))) {
            return false;
        }
    }
    return mro != nullptr;
}

void learn_lock_type(PyTypeObject* type)
{
    // Learnt types fill the table from its start.
    KnownLockType* free = nullptr;
    for (KnownLockType& known : g_process.known_locks) {
        if (known.type == type) {
            return;
        }
        if (!known.type) {
            free = &known;
            break;
        }
    }
    if (!free || !immutable_mro(type)) {
        return;
    }
    const DirectMethod exit = builtin_method(type, name(Name::exit), 3);
    const DirectMethod enter = exit.convention != DirectMethod::Convention::none
                                   ? builtin_method(type, name(Name::enter), 0)
                                   : DirectMethod{};
    if (enter.convention != DirectMethod::Convention::none) {
        Py_INCREF(type);
        *free = KnownLockType{type, enter, exit, is_interpreter_lock(type)};
    }
}

#else

void learn_lock_type(PyTypeObject*) {}

#endif

}  // namespace

int LockSection::enter(PyObject* self)
{
    OwnedRef lock = OwnedRef::steal(read_state(self, Attr::lock));
    if (!lock) {
        return -1;
    }
#if MERROW_LOCK_DIRECT_CALLS
    known_ = known_lock_type(Py_TYPE(lock.get()));
    if (known_) {
        lock_ = std::move(lock);
        OwnedRef entered =
            OwnedRef::steal(call_direct(known_->enter, lock_.get(), nullptr, 0, g_process.empty_tuple));
        return entered ? 0 : -1;
    }
#endif
    // Bound now, so that leaving allocates nothing.
    exit_ = OwnedRef::steal(bind_to(find_special(lock.get(), name(Name::exit)), lock.get()));
    if (!exit_) {
        return -1;
    }
    OwnedRef entered = OwnedRef::steal(call_special_no_args(lock.get(), name(Name::enter)));
    if (entered) {
        learn_lock_type(Py_TYPE(lock.get()));
    }
    return entered ? 0 : -1;
}

PyObject* LockSection::call_exit(PyObject* const* args)
{
    // Leaving normally allocates nothing, so the lock is given back even
    // when memory has run out (a builtin __exit__ taking a tuple gets a
    // ready one).
    PyObject* ready = args[0] == Py_None ? g_process.three_nones : nullptr;
#if MERROW_LOCK_DIRECT_CALLS
    if (known_) {
        return call_direct(known_->exit, lock_.get(), args, 3, ready);
    }
#endif
    if (ready) {
        return PyObject_Call(exit_.get(), ready, nullptr);
    }
    return PyObject_Vectorcall(exit_.get(), args, 3, nullptr);
}

bool LockSection::exits_quietly() const
{
#if MERROW_LOCK_DIRECT_CALLS
    return known_ && known_->quiet_exit;
#else
    return false;
#endif
}

int LockSection::exit()
{
    OwnedRef result = OwnedRef::steal(call_exit(kNoFailure));
    return result ? 0 : -1;
}

LockSection::Outcome LockSection::exit_with_exception()
{
    look_ = nullptr;
    PendingException failure;
    failure.normalise();
    int suppress;
    {
        // As in a with statement, __exit__ and the truth test of its result
        // run while the failure is the exception being handled.
        HandledException handling(failure);
        PyObject* args[] = {failure.type(), failure.value(), failure.traceback()};
        OwnedRef result = OwnedRef::steal(call_exit(args));
        suppress = result ? PyObject_IsTrue(result.get()) : -1;
    }
    if (suppress == 0) {
        failure.reraise();
        return Outcome::reraised;
    }
    // Suppressed; or __exit__ or the test of its result raised, and that
    // exception, its context already the failure, propagates.
    failure.drop();
    return suppress > 0 ? Outcome::suppressed : Outcome::exit_raised;
}

}  // namespace merrow::trace_key
