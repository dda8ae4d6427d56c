// Names and keys of the patchbay module, made once and kept for the process.
#pragma once

#include <Python.h>

#include "module_lifecycle.hpp"

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

// Interns every text and computes its hash; -1 with an exception set.
int make_texts();

// Only valid once make_texts() has succeeded; borrowed.
PyObject* text(Text which);

}  // namespace merrow::patchbay
