// The generator's lock, used only as a with statement uses a context
// manager: __exit__ and then __enter__ looked up on the lock's type, and a
// failure inside handed to __exit__ while it is the exception being
// handled.
#pragma once

#include <Python.h>

#include "owned_ref.hpp"

namespace merrow::trace_key {

struct KnownLockType;
struct Snapshot;

class LockSection {
public:
    // Reads self._lock, binds its __exit__ and __enter__ and calls __enter__.
    int enter(PyObject* self);

    // Leaves normally: __exit__(None, None, None), its result dropped.
    int exit();

    enum class Outcome {
        suppressed,   // __exit__ returned a true value: no exception pending
        reraised,     // the failure is pending again
        exit_raised,  // __exit__, or the test of its result, raised: that is pending
    };

    // Leaves with the pending exception, whose traceback the caller has
    // completed first: __exit__ sees what a with statement's would.
    Outcome exit_with_exception();

    // Where reads in the section may keep what the cache found, for reads
    // right after it: only when a normal exit runs no code (the
    // interpreter's own locks: a release gives a mutex back, without
    // dropping the interpreter's lock). Null otherwise.
    const Snapshot** look_slot() { return exits_quietly() ? &look_ : nullptr; }

    // What the cache found in the section, for reads right after a normal
    // exit; null when nothing was kept.
    const Snapshot* look() const { return look_; }

private:
    PyObject* call_exit(PyObject* const* args);

    // Whether leaving normally runs no code: the lock is one of the
    // interpreter's own.
    bool exits_quietly() const;

    // Set when the lock's type has known builtin methods, called directly.
    const KnownLockType* known_ = nullptr;
    OwnedRef lock_;  // the lock, then
    OwnedRef exit_;  // the bound __exit__ otherwise
    const Snapshot* look_ = nullptr;
};

}  // namespace merrow::trace_key
