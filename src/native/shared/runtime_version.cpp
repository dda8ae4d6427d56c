#include "runtime_version.hpp"

#include <Python.h>

namespace merrow {

RuntimeVersion running_version()
{
    int numbers[3] = {};
    const char* p = Py_GetVersion();
    for (int& number : numbers) {
        while (*p >= '0' && *p <= '9') {
            number = number * 10 + (*p - '0');
            ++p;
        }
        if (*p != '.') {
            break;
        }
        ++p;
    }
    return RuntimeVersion{numbers[0], numbers[1], numbers[2]};
}

}  // namespace merrow
