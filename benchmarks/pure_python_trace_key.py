"""The generator written as plain Python: what a caller would write without
the native module. It is the baseline that the benchmarks compare against,
so it keeps the same state, the same lock and the same attribute reads, and
makes the same identifiers; it does no argument checking of its own."""

import threading
import uuid
from typing import Optional


class ErrorType:
    """Common error type tokens for consistent error ID generation."""

    FRAME_CAPTURE = "FRAME"
    REDIS_READ = "REDIS_READ"
    REDIS_WRITE = "REDIS_WRITE"
    INITIALIZATION = "INIT"
    HEALTH_CHECK = "HEALTH"
    CONNECTION = "CONN"
    CONFIGURATION = "CONFIG"
    PROCESSING = "PROC"
    DETECTION = "DETECT"
    FILTERING = "FILTER"
    QUEUE_FULL = "QUEUE_FULL"
    QUEUE_EMPTY = "QUEUE_EMPTY"
    MQTT = "MQTT"
    GENERAL = "GEN"


class EventType:
    """Common event type tokens for consistent event ID generation."""

    START = "START"
    STOP = "STOP"
    RESTART = "RESTART"
    TRIGGER = "TRIGGER"
    HEALTH_OK = "HEALTH_OK"
    METADATA_INIT = "META_INIT"
    FRAME_RECEIVED = "FRAME_RX"
    FRAME_DUPLICATE = "FRAME_DUP"
    DETECTION_COMPLETE = "DETECT_OK"
    GENERAL = "EVT"


class LogIDGenerator:
    """Generates unique log IDs for events, errors, and sessions."""

    def __init__(self, node_id: str, source_idx: int):
        self.node_id = node_id
        self.source_idx = source_idx
        self._session_id = None
        self._error_counter = 0
        self._event_counter = 0
        self._lock = threading.Lock()

    def generate_session_id(self, force: bool = False) -> str:
        with self._lock:
            if self._session_id is None or force:
                short_uuid = str(uuid.uuid4())[:8]
                self._session_id = f"SES-{self.node_id[:8]}-{self.source_idx}-{short_uuid}"
            return self._session_id

    def generate_error_id(self, error_type: str = ErrorType.GENERAL) -> str:
        with self._lock:
            self._error_counter += 1
            counter = self._error_counter
        return f"ERR-{error_type}-{self.node_id[:8]}-{self.source_idx}-{counter}"

    def generate_event_id(self, event_type: str = EventType.GENERAL) -> str:
        with self._lock:
            self._event_counter += 1
            counter = self._event_counter
        return f"EVT-{event_type}-{self.node_id[:8]}-{self.source_idx}-{counter}"

    def get_session_id(self) -> Optional[str]:
        return self._session_id

    @staticmethod
    def format_log_with_id(message: str, trace_key: str) -> str:
        return f"[{trace_key}] {message}"

    def format_log_with_session(self, message: str) -> str:
        if not self._session_id:
            return message
        return f"[{self._session_id}] {message}"
