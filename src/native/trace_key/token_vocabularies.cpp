// The error and event type tokens: attribute name, then the token value.
#include <iterator>

#include "class_builder.hpp"
#include "docstrings.hpp"
#include "owned_ref.hpp"
#include "text_constants.hpp"

namespace merrow::trace_key {

namespace {

TextConstant g_error_tokens[] = {
    {"FRAME_CAPTURE", nullptr},  {"FRAME", nullptr},
    {"REDIS_READ", nullptr},     {"REDIS_READ", nullptr},
    {"REDIS_WRITE", nullptr},    {"REDIS_WRITE", nullptr},
    {"INITIALIZATION", nullptr}, {"INIT", nullptr},
    {"HEALTH_CHECK", nullptr},   {"HEALTH", nullptr},
    {"CONNECTION", nullptr},     {"CONN", nullptr},
    {"CONFIGURATION", nullptr},  {"CONFIG", nullptr},
    {"PROCESSING", nullptr},     {"PROC", nullptr},
    {"DETECTION", nullptr},      {"DETECT", nullptr},
    {"FILTERING", nullptr},      {"FILTER", nullptr},
    {"QUEUE_FULL", nullptr},     {"QUEUE_FULL", nullptr},
    {"QUEUE_EMPTY", nullptr},    {"QUEUE_EMPTY", nullptr},
    {"MQTT", nullptr},           {"MQTT", nullptr},
    {"GENERAL", nullptr},        {"GEN", nullptr},
};

TextConstant g_event_tokens[] = {
    {"START", nullptr},              {"START", nullptr},
    {"STOP", nullptr},               {"STOP", nullptr},
    {"RESTART", nullptr},            {"RESTART", nullptr},
    {"TRIGGER", nullptr},            {"TRIGGER", nullptr},
    {"HEALTH_OK", nullptr},          {"HEALTH_OK", nullptr},
    {"METADATA_INIT", nullptr},      {"META_INIT", nullptr},
    {"FRAME_RECEIVED", nullptr},     {"FRAME_RX", nullptr},
    {"FRAME_DUPLICATE", nullptr},    {"FRAME_DUP", nullptr},
    {"DETECTION_COMPLETE", nullptr}, {"DETECT_OK", nullptr},
    {"GENERAL", nullptr},            {"EVT", nullptr},
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
