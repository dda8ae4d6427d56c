// The error and event type tokens: attribute name, then the token value.
#include <iterator>

#include "class_builder.hpp"
#include "docstrings.hpp"
#include "owned_ref.hpp"
#include "text_constants.hpp"

namespace merrow::trace_key {

namespace {

constexpr const char* kErrorTokens[] = {
    "FRAME_CAPTURE",  "FRAME",
    "REDIS_READ",     "REDIS_READ",
    "REDIS_WRITE",    "REDIS_WRITE",
    "INITIALIZATION", "INIT",
    "HEALTH_CHECK",   "HEALTH",
    "CONNECTION",     "CONN",
    "CONFIGURATION",  "CONFIG",
    "PROCESSING",     "PROC",
    "DETECTION",      "DETECT",
    "FILTERING",      "FILTER",
    "QUEUE_FULL",     "QUEUE_FULL",
    "QUEUE_EMPTY",    "QUEUE_EMPTY",
    "MQTT",           "MQTT",
    "GENERAL",        "GEN",
};
static_assert(std::size(kErrorTokens) == kErrorTokenTexts);

constexpr const char* kEventTokens[] = {
    "START",              "START",
    "STOP",               "STOP",
    "RESTART",            "RESTART",
    "TRIGGER",            "TRIGGER",
    "HEALTH_OK",          "HEALTH_OK",
    "METADATA_INIT",      "META_INIT",
    "FRAME_RECEIVED",     "FRAME_RX",
    "FRAME_DUPLICATE",    "FRAME_DUP",
    "DETECTION_COMPLETE", "DETECT_OK",
    "GENERAL",            "EVT",
};
static_assert(std::size(kEventTokens) == kEventTokenTexts);

}  // namespace

int build_token_class(PyObject* module_dict, Name which)
{
    const bool errors = which == Name::ErrorType;
    PyObject** tokens = errors ? g_process.error_tokens : g_process.event_tokens;
    const std::size_t count = errors ? std::size(kErrorTokens) : std::size(kEventTokens);
    if (make_text_constants(errors ? kErrorTokens : kEventTokens, tokens, count) < 0) {
        return -1;
    }
    OwnedRef ns = OwnedRef::steal(class_namespace(which, errors ? docs::error_type : docs::event_type));
    if (!ns) {
        return -1;
    }
    for (std::size_t i = 0; i < count; i += 2) {
        if (PyDict_SetItem(ns.get(), tokens[i], tokens[i + 1]) < 0) {
            return -1;
        }
    }
    return bind_class(module_dict, which, ns.get());
}

}  // namespace merrow::trace_key
