// The generator's lock, used only as a with statement uses a context
// manager: __exit__ and then __enter__ looked up on the lock's type, and a
// failure inside handed to __exit__ while it is the exception being
// handled.
#pragma once

#include <Python.h>

#include "instance_state.hpp"
#include "operation.hpp"
#include "owned_ref.hpp"

namespace merrow::trace_key {

struct KnownLockType;

class LockSection {
public:
    // Reads self._lock, binds its __exit__ and __enter__ and calls __enter__.
    int enter(PyObject* self);

    // Leaves normally: __exit__(None, None, None), its result dropped.
    int exit();

    enum class Outcome { propagate, suppressed };

    // Leaves with the pending exception, which first gets the operation's
    // traceback entry. `suppressed` when __exit__ returned a true value (the
    // exception is gone); otherwise an exception is pending: the original
    // one (call.entry_added is then set) or the one __exit__ raised.
    Outcome exit_with_exception(const OperationSpec& op, BoundCall& call);

private:
    friend PyObject* count_state(PyObject*, Attr, LockSection*);
    friend bool read_text_then(PyObject*, Attr, Attr, PyObject**, PyObject**, const LockSection*);

    PyObject* call_exit(PyObject* const* args);

    // Whether leaving normally runs no code: the lock is one of the
    // interpreter's own.
    bool exits_quietly() const;

    // Set when the lock's type has known builtin methods, called directly.
    const KnownLockType* known_ = nullptr;
    OwnedRef lock_;  // the lock, then
    OwnedRef exit_;  // the bound __exit__ otherwise
    // What the cache found in the section, when a normal exit runs no code (the
    // interpreter's own locks: a release gives a mutex back, without
    // dropping the interpreter's lock), so that it holds past the exit.
    void* look_ = nullptr;
};

}  // namespace merrow::trace_key
