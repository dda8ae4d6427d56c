// Process-wide text constants, made once at import and kept for the process.
#pragma once

#include <Python.h>

#include <cstddef>

namespace merrow {

// Makes objects[i] from texts[i] wherever it does not exist yet, interned
// (which computes its hash, so lookups and comparisons never hash at call
// time); -1 with an exception set. Objects made by an earlier, failed
// import are kept and reused; once made, they live as long as the process.
int make_text_constants(const char* const* texts, PyObject** objects, std::size_t count);

}  // namespace merrow
