// Traceback entries for failures inside the modules' own code, so that a
// caller's traceback names the operation or import that failed.
#pragma once

#include <Python.h>

namespace merrow {

// Code objects for traceback entries, made on first need and reused so that
// repeated failures build none. Keyed by (function name, line); the names are
// string literals with static storage, compared by address.
class TracebackCodeCache {
public:
    // Adds one entry to the traceback of the pending exception. If the entry
    // cannot be made, the exception of that failure replaces the pending one.
    void add_entry(const char* function_name, const char* file_name, int line,
                   PyObject* globals);

private:
    PyObject* code_for(const char* function_name, const char* file_name, int line);

    struct Entry {
        const char* function_name;
        int line;
        PyObject* code;  // immortal once cached
    };
    static constexpr int kCapacity = 24;
    Entry entries_[kCapacity] = {};
    int count_ = 0;
};

}  // namespace merrow
