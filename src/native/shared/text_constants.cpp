#include "text_constants.hpp"

namespace merrow {

int make_text_constants(TextConstant* table, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        TextConstant& constant = table[i];
        if (constant.object) {
            continue;
        }
        PyObject* text = constant.interned ? PyUnicode_InternFromString(constant.text)
                                           : PyUnicode_FromString(constant.text);
        if (!text) {
            return -1;
        }
        if (PyObject_Hash(text) == -1) {
            Py_DECREF(text);
            return -1;
        }
        constant.object = text;
    }
    return 0;
}

}  // namespace merrow
