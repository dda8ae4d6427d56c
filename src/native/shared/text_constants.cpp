#include "text_constants.hpp"

namespace merrow {

int make_text_constants(const char* const* texts, PyObject** objects, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        if (!objects[i] && !(objects[i] = PyUnicode_InternFromString(texts[i]))) {
            return -1;
        }
    }
    return 0;
}

}  // namespace merrow
