// The error and event type tokens: attribute name, then the token value.
#include <iterator>

#include "class_builder.hpp"
#include "docstrings.hpp"
#include "owned_ref.hpp"
#include "text_constants.hpp"

namespace merrow::trace_key {

namespace {

TextConstant g_error_tokens[] = {
    {"FRAME_CAPTURE", true, nullptr},  {"FRAME", true, nullptr},
    {"REDIS_READ", true, nullptr},     {"REDIS_READ", true, nullptr},
    {"REDIS_WRITE", true, nullptr},    {"REDIS_WRITE", true, nullptr},
    {"INITIALIZATION", true, nullptr}, {"INIT", true, nullptr},
    {"HEALTH_CHECK", true, nullptr},   {"HEALTH", true, nullptr},
    {"CONNECTION", true, nullptr},     {"CONN", true, nullptr},
    {"CONFIGURATION", true, nullptr},  {"CONFIG", true, nullptr},
    {"PROCESSING", true, nullptr},     {"PROC", true, nullptr},
    {"DETECTION", true, nullptr},      {"DETECT", true, nullptr},
    {"FILTERING", true, nullptr},      {"FILTER", true, nullptr},
    {"QUEUE_FULL", true, nullptr},     {"QUEUE_FULL", true, nullptr},
    {"QUEUE_EMPTY", true, nullptr},    {"QUEUE_EMPTY", true, nullptr},
    {"MQTT", true, nullptr},           {"MQTT", true, nullptr},
    {"GENERAL", true, nullptr},        {"GEN", true, nullptr},
};

TextConstant g_event_tokens[] = {
    {"START", true, nullptr},              {"START", true, nullptr},
    {"STOP", true, nullptr},               {"STOP", true, nullptr},
    {"RESTART", true, nullptr},            {"RESTART", true, nullptr},
    {"TRIGGER", true, nullptr},            {"TRIGGER", true, nullptr},
    {"HEALTH_OK", true, nullptr},          {"HEALTH_OK", true, nullptr},
    {"METADATA_INIT", true, nullptr},      {"META_INIT", true, nullptr},
    {"FRAME_RECEIVED", true, nullptr},     {"FRAME_RX", true, nullptr},
    {"FRAME_DUPLICATE", true, nullptr},    {"FRAME_DUP", true, nullptr},
    {"DETECTION_COMPLETE", true, nullptr}, {"DETECT_OK", true, nullptr},
    {"GENERAL", true, nullptr},            {"EVT", true, nullptr},
};

}  // namespace

int build_token_class(PyObject* module_dict, Name which)
{
    const bool errors = which == Name::ErrorType;
    TextConstant* tokens = errors ? g_error_tokens : g_event_tokens;
    const std::size_t count = errors ? std::size(g_error_tokens) : std::size(g_event_tokens);
    if (make_text_constants(tokens, count) < 0) {
        return -1;
    }
    OwnedRef ns = OwnedRef::steal(class_namespace(which, errors ? docs::error_type : docs::event_type));
    if (!ns) {
        return -1;
    }
    for (std::size_t i = 0; i < count; i += 2) {
        if (PyDict_SetItem(ns.get(), tokens[i].object, tokens[i + 1].object) < 0) {
            return -1;
        }
    }
    return bind_class(module_dict, which, ns.get());
}

}  // namespace merrow::trace_key
