// The running interpreter's version, parsed once from its version text.
#pragma once

#include <cstdint>

namespace merrow {

struct RuntimeVersion {
    int major;
    int minor;
    int micro;
};

// Packs up to four leading decimal numbers of Py_GetVersion() into 32 bits,
// most significant first; computed on first use and kept for the process.
std::uint32_t running_version_number();

RuntimeVersion running_version();

}  // namespace merrow
