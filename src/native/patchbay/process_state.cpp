#include "process_state.hpp"

#include <iterator>

#include "text_constants.hpp"

namespace merrow::patchbay {

namespace {

// Indexed by Text.
constexpr const char* kTexts[] = {
    "flow", "merrow_sdk.patchbay.flow", "FlowAPIWrapper", "MerrowFlow", "__test__",
};
static_assert(std::size(kTexts) == static_cast<std::size_t>(Text::count));

}  // namespace

int make_texts() { return make_text_constants(kTexts, g_process.texts, std::size(kTexts)); }

}  // namespace merrow::patchbay
