#include "runtime_version.hpp"

#include <Python.h>

namespace merrow {

namespace {

std::uint32_t parse_version(const char* text)
{
    std::uint32_t packed = 0;
    int shift = 24;
    const char* p = text;
    for (int field = 0; field < 4; ++field) {
        std::uint32_t number = 0;
        while (*p >= '0' && *p <= '9') {
            number = number * 10 + static_cast<std::uint32_t>(*p - '0');
            ++p;
        }
        packed |= (number & 0xFFu) << shift;
        shift -= 8;
        if (*p != '.') {
            break;
        }
        ++p;
    }
    return packed;
}

std::uint32_t g_version_number = 0;  // 0 until computed

}  // namespace

std::uint32_t running_version_number()
{
    if (g_version_number == 0) {
        g_version_number = parse_version(Py_GetVersion());
    }
    return g_version_number;
}

RuntimeVersion running_version()
{
    const std::uint32_t v = running_version_number();
    return RuntimeVersion{static_cast<int>(v >> 24), static_cast<int>((v >> 16) & 0xFF),
                          static_cast<int>((v >> 8) & 0xFF)};
}

}  // namespace merrow
