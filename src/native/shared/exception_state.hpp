// The exception being raised and the one being handled, set aside and put
// back the way the interpreter's own statements do it.
#pragma once

#include <Python.h>

#include <utility>

#include "interpreter_gates.hpp"
#include "owned_ref.hpp"

namespace merrow {

// The pending exception, taken out and put back when the scope ends,
// unless dropped or raised again first. Code run meanwhile starts with no
// exception pending.
class PendingException {
public:
    PendingException() { PyErr_Fetch(&type_, &value_, &tb_); }

    // Made an instance with its traceback on it, as an except clause sees it.
    void normalise()
    {
        PyErr_NormalizeException(&type_, &value_, &tb_);
        if (tb_ && value_) {
            PyException_SetTraceback(value_, tb_);
        }
    }

    ~PendingException() { restore(); }

    PyObject* type() const { return type_; }
    PyObject* value() const { return value_ ? value_ : Py_None; }
    PyObject* traceback() const { return tb_ ? tb_ : Py_None; }

    // Raised again as the triple taken.
    void restore()
    {
        if (type_) {
            PyErr_Restore(type_, value_, tb_);
            type_ = value_ = tb_ = nullptr;
        }
    }

    // Raised again as a with statement re-raises a failure its __exit__ did
    // not suppress: from 3.11 the exception object as __exit__ left it (its
    // class and traceback now), before that the triple taken.
    void reraise()
    {
#if MERROW_API_WITH_RERAISES_OBJECT
        if (value_ && PyExceptionInstance_Check(value_)) {
            Py_XSETREF(type_, new_ref(reinterpret_cast<PyObject*>(Py_TYPE(value_))));
            Py_XSETREF(tb_, PyException_GetTraceback(value_));
        }
#endif
        restore();
    }

    void drop()
    {
        Py_CLEAR(type_);
        Py_CLEAR(value_);
        Py_CLEAR(tb_);
    }

    PendingException(const PendingException&) = delete;
    PendingException& operator=(const PendingException&) = delete;

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
};

// While a with statement's __exit__ runs for a failure, that failure is
// the exception being handled: a bare raise re-raises it, sys.exc_info()
// returns it, and an exception raised meanwhile gets it as its context.
// The statement saves and restores the running frame's own slot (a
// generator's or coroutine's, while one runs); the public calls read the
// topmost handled exception of the whole stack, which would write a
// driver's exception into a generator's slot.
class HandledException {
public:
    explicit HandledException(const PendingException& failure)
    {
#if MERROW_FRAME_EXCEPTION_SLOT
        _PyErr_StackItem* slot = PyThreadState_Get()->exc_info;
#if MERROW_API_HANDLED_EXCEPTION
        saved_ = std::exchange(slot->exc_value, new_ref(failure.value()));
#else
        saved_[0] = std::exchange(slot->exc_type, new_ref(failure.type()));
        saved_[1] = std::exchange(slot->exc_value, new_ref(failure.value()));
        saved_[2] = std::exchange(slot->exc_traceback, new_ref(failure.traceback()));
#endif
#else
        // Past the series verified, the handled exception is one object.
        saved_ = PyErr_GetHandledException();
        PyErr_SetHandledException(failure.value());
#endif
    }

    ~HandledException()
    {
#if MERROW_FRAME_EXCEPTION_SLOT
        // The slot of the frame running now, as the statement's restore takes it.
        _PyErr_StackItem* slot = PyThreadState_Get()->exc_info;
#if MERROW_API_HANDLED_EXCEPTION
        Py_XSETREF(slot->exc_value, saved_);
#else
        Py_XSETREF(slot->exc_type, saved_[0]);
        Py_XSETREF(slot->exc_value, saved_[1]);
        Py_XSETREF(slot->exc_traceback, saved_[2]);
#endif
#else
        PyErr_SetHandledException(saved_);
        Py_XDECREF(saved_);
#endif
    }

    HandledException(const HandledException&) = delete;
    HandledException& operator=(const HandledException&) = delete;

private:
#if MERROW_API_HANDLED_EXCEPTION
    PyObject* saved_;
#else
    PyObject* saved_[3];
#endif
};

}  // namespace merrow
