// The module's docstrings; part of its visible surface, kept verbatim.
#pragma once

namespace merrow::trace_key::docs {

inline constexpr const char module[] =
    "\nLog ID Generator Utility\n\nGenerates unique identifiers for tracking events, errors, and "
    "sessions across the logging system.\nHelps with correlation, debugging, and user support.\n";

inline constexpr const char error_type[] =
    "Common error type tokens for consistent error ID generation.";

inline constexpr const char event_type[] =
    "Common event type tokens for consistent event ID generation.";

inline constexpr const char generator[] =
    "Generates unique log IDs for events, errors, and sessions.\n\n"
    "    Counters are protected by a reentrant lock so this class is safe to use\n"
    "    from multiple threads sharing the same instance.\n\n"
    "    Args:\n"
    "        node_id: Node/container ID string.\n"
    "        source_idx: Source/stream index.\n"
    "    ";

inline constexpr const char generate_session_id[] =
    "Generate a unique session ID for the stream lifecycle.\n\n"
    "        The ID is cached after the first call.  Subsequent calls return the\n"
    "        existing session ID unless ``force=True`` is passed.\n\n"
    "        Format: ``SES-<node_id[:8]>-<source_idx>-<short_uuid>``\n\n"
    "        Args:\n"
    "            force: Regenerate even if a session ID already exists.\n\n"
    "        Returns:\n"
    "            Session ID string.\n"
    "        ";

inline constexpr const char generate_error_id[] =
    "Generate a unique error ID for tracking a specific error occurrence.\n\n"
    "        Format: ``ERR-<error_type>-<node_id[:8]>-<source_idx>-<counter>``\n\n"
    "        Args:\n"
    "            error_type: Error type token, e.g. :attr:`ErrorType.FRAME_CAPTURE`.\n\n"
    "        Returns:\n"
    "            Error ID string.\n"
    "        ";

inline constexpr const char generate_event_id[] =
    "Generate a unique event ID for tracking a specific event.\n\n"
    "        Format: ``EVT-<event_type>-<node_id[:8]>-<source_idx>-<counter>``\n\n"
    "        Args:\n"
    "            event_type: Event type token, e.g. :attr:`EventType.START`.\n\n"
    "        Returns:\n"
    "            Event ID string.\n"
    "        ";

inline constexpr const char get_session_id[] =
    "Return the current session ID, or ``None`` if not yet generated.";

inline constexpr const char format_log_with_id[] =
    "Prepend a log ID tag to a message.\n\n"
    "        Args:\n"
    "            message: Original log message.\n"
    "            trace_key: Log ID string to prepend.\n\n"
    "        Returns:\n"
    "            Formatted message string.\n"
    "        ";

inline constexpr const char format_log_with_session[] =
    "Prepend the current session ID tag to a message.\n\n"
    "        Returns the original message unchanged if no session has been started yet.\n\n"
    "        Args:\n"
    "            message: Original log message.\n\n"
    "        Returns:\n"
    "            Formatted message string.\n"
    "        ";

}  // namespace merrow::trace_key::docs
