# The module binds threading, uuid and Optional in its own namespace at
# import time; they are re-exported so the stub shows the same names.
import threading as threading
import uuid as uuid
from typing import Final, Literal, Optional as Optional

__test__: dict[str, object]

# Token values are spelled as literal types, not assigned values, so that
# stubtest compares them with the runtime classes.
class ErrorType:
    FRAME_CAPTURE: Final[Literal["FRAME"]]
    REDIS_READ: Final[Literal["REDIS_READ"]]
    REDIS_WRITE: Final[Literal["REDIS_WRITE"]]
    INITIALIZATION: Final[Literal["INIT"]]
    HEALTH_CHECK: Final[Literal["HEALTH"]]
    CONNECTION: Final[Literal["CONN"]]
    CONFIGURATION: Final[Literal["CONFIG"]]
    PROCESSING: Final[Literal["PROC"]]
    DETECTION: Final[Literal["DETECT"]]
    FILTERING: Final[Literal["FILTER"]]
    QUEUE_FULL: Final[Literal["QUEUE_FULL"]]
    QUEUE_EMPTY: Final[Literal["QUEUE_EMPTY"]]
    MQTT: Final[Literal["MQTT"]]
    GENERAL: Final[Literal["GEN"]]

class EventType:
    START: Final[Literal["START"]]
    STOP: Final[Literal["STOP"]]
    RESTART: Final[Literal["RESTART"]]
    TRIGGER: Final[Literal["TRIGGER"]]
    HEALTH_OK: Final[Literal["HEALTH_OK"]]
    METADATA_INIT: Final[Literal["META_INIT"]]
    FRAME_RECEIVED: Final[Literal["FRAME_RX"]]
    FRAME_DUPLICATE: Final[Literal["FRAME_DUP"]]
    DETECTION_COMPLETE: Final[Literal["DETECT_OK"]]
    GENERAL: Final[Literal["EVT"]]

class LogIDGenerator:
    node_id: str
    source_idx: int
    def __init__(self, node_id: str, source_idx: int) -> None: ...
    def generate_session_id(self, force: bool = False) -> str: ...
    def generate_error_id(self, error_type: str = "GEN") -> str: ...
    def generate_event_id(self, event_type: str = "EVT") -> str: ...
    def get_session_id(self) -> Optional[str]: ...
    @staticmethod
    def format_log_with_id(message: str, trace_key: str) -> str: ...
    def format_log_with_session(self, message: str) -> str: ...
