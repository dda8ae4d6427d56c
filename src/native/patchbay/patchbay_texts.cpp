#include "patchbay_texts.hpp"

#include "text_constants.hpp"

namespace merrow::patchbay {

namespace {

// Indexed by Text; kept past a failed import and reused by the next one.
TextConstant g_texts[] = {
    {"flow", nullptr},
    {"merrow_sdk.patchbay.flow", nullptr},
    {"FlowAPIWrapper", nullptr},
    {"MerrowFlow", nullptr},
    {"__test__", nullptr},
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
