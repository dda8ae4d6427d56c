// Owned and borrowed references to interpreter objects.
#pragma once

#include <Python.h>

namespace merrow {

// Py_NewRef, which 3.9 lacks.
inline PyObject* new_ref(PyObject* obj)
{
    Py_INCREF(obj);
    return obj;
}

// Holds exactly one strong reference; releases it when it goes out of scope.
// Move-only so that a reference always has one holder.
class OwnedRef {
public:
    constexpr OwnedRef() noexcept = default;

    // Takes over a new reference (the result of a call returning one); may be
    // null, which callers test with `!ref` before using it.
    static OwnedRef steal(PyObject* obj) noexcept { return OwnedRef(obj); }

    // Takes a new reference to a borrowed object.
    static OwnedRef borrow(PyObject* obj) noexcept
    {
        Py_XINCREF(obj);
        return OwnedRef(obj);
    }

    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;

    OwnedRef(OwnedRef&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }

    OwnedRef& operator=(OwnedRef&& other) noexcept
    {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }

    ~OwnedRef() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

    // Hands the reference over to the caller, who now owns it.
    [[nodiscard]] PyObject* release() noexcept
    {
        PyObject* obj = obj_;
        obj_ = nullptr;
        return obj;
    }

    // Drops the held reference (if any) and takes over `obj`.
    void reset(PyObject* obj = nullptr) noexcept
    {
        PyObject* old = obj_;
        obj_ = obj;
        Py_XDECREF(old);
    }

private:
    explicit constexpr OwnedRef(PyObject* obj) noexcept : obj_(obj) {}

    PyObject* obj_ = nullptr;
};

// Sets *slot to a new reference to `value`, dropping the old one last so that
// a finaliser run by the drop never sees a half-updated slot.
inline void replace_ref(PyObject*& slot, PyObject* value) noexcept
{
    PyObject* old = slot;
    Py_XINCREF(value);
    slot = value;
    Py_XDECREF(old);
}

// Moves the reference out of *slot and drops it (Py_CLEAR for any lvalue).
inline void clear_ref(PyObject*& slot) noexcept
{
    PyObject* old = slot;
    slot = nullptr;
    Py_XDECREF(old);
}

}  // namespace merrow
