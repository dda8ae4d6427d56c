#include "patchbay_texts.hpp"

#include "text_constants.hpp"

namespace merrow::patchbay {

namespace {

// Indexed by Text; kept past a failed import and reused by the next one.
TextConstant g_texts[] = {
    {"flow", true, nullptr},
    {"merrow_sdk.patchbay.flow", true, nullptr},
    {"FlowAPIWrapper", true, nullptr},
    {"MerrowFlow", true, nullptr},
    {"__test__", true, nullptr},
};

static_assert(sizeof g_texts / sizeof g_texts[0] == static_cast<std::size_t>(Text::count));

}  // namespace

int make_texts()
{
    return make_text_constants(g_texts, sizeof g_texts / sizeof g_texts[0]);
}

PyObject* text(Text which)
{
    return g_texts[static_cast<std::size_t>(which)].object;
}

}  // namespace merrow::patchbay
