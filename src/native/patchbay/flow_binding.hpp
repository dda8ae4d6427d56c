// The package's one outward call: import its `flow` submodule and publish
// the flow wrapper at package level.
#pragma once

#include <Python.h>

#include "module_lifecycle.hpp"

namespace merrow::patchbay {

// Binds flow.FlowAPIWrapper in the held namespace as MerrowFlow; -1 with an
// exception set. Needs the module's texts.
int bind_flow_wrapper(lifecycle::HeldModule& held);

}  // namespace merrow::patchbay
