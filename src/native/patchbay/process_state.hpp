// Everything merrow_sdk.patchbay keeps for the process: the held module,
// its traceback entries and its texts. All zero until the first import,
// and never destroyed: the interpreter may still hold the module after
// static destructors would have run.
#pragma once

#include <Python.h>

#include "module_lifecycle.hpp"
#include "traceback_entry.hpp"

namespace merrow::patchbay {

inline constexpr lifecycle::ModuleNames kNames = {
    "patchbay",                         // short name
    "merrow_sdk.patchbay",              // sys.modules key
    "merrow_sdk.patchbay.__init__",     // named by the version warning
    "init merrow_sdk.patchbay",         // traceback entry of a failed import
    "merrow_sdk/patchbay/__init__.py",  // file of that entry
};

enum class Text {
    flow,             // the submodule, imported relative to the package
    flow_module_key,  // its sys.modules key
    wrapper_name,     // what the submodule must offer
    public_name,      // what the package binds it as
    test_dict_name,
    count
};

struct ProcessState {
    lifecycle::HeldModule held;
    TracebackCodeCache tracebacks;
    PyObject* texts[static_cast<int>(Text::count)];  // kept past a failed import
};

inline constinit ProcessState g_process{};

// Interns every text and computes its hash; -1 with an exception set.
int make_texts();

// Only valid once make_texts() has succeeded; borrowed.
inline PyObject* text(Text which) { return g_process.texts[static_cast<int>(which)]; }

}  // namespace merrow::patchbay
