#include "flow_binding.hpp"

#include "owned_ref.hpp"
#include "process_state.hpp"
#include "py_compat.hpp"

namespace merrow::patchbay {

namespace {

// A flow module that is already loaded and already offers the wrapper is
// taken as it is, without going through the import system. Null with no
// exception set means "import it".
OwnedRef loaded_flow()
{
    OwnedRef flow = OwnedRef::steal(PyImport_GetModule(text(Text::flow_module_key)));
    if (flow && !compat::has_attr_quietly(flow.get(), text(Text::wrapper_name))) {
        flow.reset();
    }
    return flow;
}

OwnedRef obtain_flow(lifecycle::HeldModule& held)
{
    OwnedRef flow = loaded_flow();
    if (flow || PyErr_Occurred()) {
        return flow;
    }
    // The import `from .flow import FlowAPIWrapper` makes: the submodule,
    // its from-list naming the wrapper (the import system may load it then).
    return OwnedRef::steal(
        lifecycle::import_module(held, text(Text::flow), text(Text::wrapper_name), 1));
}

}  // namespace

int bind_flow_wrapper(lifecycle::HeldModule& held)
{
    OwnedRef flow = obtain_flow(held);
    if (!flow) {
        return -1;
    }
    OwnedRef wrapper =
        OwnedRef::steal(lifecycle::import_from(flow.get(), text(Text::wrapper_name)));
    if (!wrapper) {
        return -1;
    }
    return PyDict_SetItem(held.dict, text(Text::public_name), wrapper.get());
}

}  // namespace merrow::patchbay
