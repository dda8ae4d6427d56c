#include "traceback_entry.hpp"

#include <frameobject.h>

#include "exception_state.hpp"

namespace merrow {

PyObject* TracebackCodeCache::code_for(const char* function_name, const char* file_name,
                                       int line)
{
    for (int i = 0; i < count_; ++i) {
        if (entries_[i].function_name == function_name && entries_[i].line == line) {
            return new_ref(entries_[i].code);
        }
    }
    // With no line table entries, every supported version reports the code's
    // first line as the frame's line.
    PyObject* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(file_name, function_name, line));
    if (code && count_ < kCapacity) {
        entries_[count_++] = Entry{function_name, line, code};
        Py_INCREF(code);
    }
    return code;
}

void TracebackCodeCache::add_entry(const char* function_name, const char* file_name, int line,
                                   PyObject* globals)
{
    // The code object and frame are made with the pending exception set
    // aside; if either cannot be made, that failure's exception wins.
    PyFrameObject* frame = nullptr;
    {
        PendingException pending;
        PyObject* code = code_for(function_name, file_name, line);
        if (code) {
            frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code),
                                globals, nullptr);
            Py_DECREF(code);
        }
        if (!frame) {
            pending.drop();
            return;
        }
    }
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

}  // namespace merrow
