// Process-wide text constants, made once at import and kept for the process.
#pragma once

#include <Python.h>

#include <cstddef>

namespace merrow {

struct TextConstant {
    const char* text;
    PyObject* object;  // null until made; immortal once made
};

// Makes every constant of `table` that does not exist yet, interned (which
// computes its hash, so lookups and comparisons never hash at call time).
// Constants made by an earlier, failed import are kept and reused.
int make_text_constants(TextConstant* table, std::size_t count);

}  // namespace merrow
