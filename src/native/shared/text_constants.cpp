#include "text_constants.hpp"

namespace merrow {

int make_text_constants(TextConstant* table, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        TextConstant& constant = table[i];
        if (constant.object) {
            continue;
        }
        PyObject* text = PyUnicode_InternFromString(constant.text);
        if (!text) {
            return -1;
        }
        constant.object = text;
    }
    return 0;
}

}  // namespace merrow
