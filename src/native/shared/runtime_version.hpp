// The running interpreter's version, parsed from its version text.
#pragma once

namespace merrow {

struct RuntimeVersion {
    int major;
    int minor;
    int micro;
};

// The leading decimal numbers of Py_GetVersion().
RuntimeVersion running_version();

}  // namespace merrow
