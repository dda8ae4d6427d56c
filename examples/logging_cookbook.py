"""Recipes for the standard logging module: session tags added by a handler
filter, and error or event identifiers added by a LoggerAdapter."""

import logging
from typing import Any, MutableMapping, Optional, Tuple

from merrow_sdk.logging.trace_key import ErrorType, LogIDGenerator


class SessionTagFilter(logging.Filter):
    """Tags every record a handler emits with the stream's session id.

    On a handler rather than a logger, so records propagated from child
    loggers are tagged too; a message that is already text is tagged as is,
    one with %-arguments is merged first.
    """

    def __init__(self, generator: LogIDGenerator) -> None:
        super().__init__()
        self.generator = generator

    def filter(self, record: logging.LogRecord) -> bool:
        record.msg = self.generator.format_log_with_session(record.getMessage())
        record.args = None
        return True


class TraceKeyAdapter(logging.LoggerAdapter):  # type: ignore[type-arg]
    """Adds a fresh error or event identifier to a message on request:
    ``log.error("capture failed", extra={"error_type": ErrorType.FRAME_CAPTURE})``
    or ``log.info("started", extra={"event_type": EventType.START})``."""

    def __init__(self, logger: logging.Logger, generator: LogIDGenerator) -> None:
        super().__init__(logger, {})
        self.generator = generator

    def process(self, msg: Any,
                kwargs: MutableMapping[str, Any]) -> Tuple[Any, MutableMapping[str, Any]]:
        extra = kwargs.pop("extra", None) or {}
        trace_key = self._trace_key(extra)
        if trace_key is not None:
            msg = LogIDGenerator.format_log_with_id(str(msg), trace_key)
            kwargs["extra"] = {**extra, "trace_key": trace_key}
        elif extra:
            kwargs["extra"] = extra
        return msg, kwargs

    def _trace_key(self, extra: MutableMapping[str, Any]) -> Optional[str]:
        if "error_type" in extra:
            return self.generator.generate_error_id(extra.pop("error_type"))
        if "event_type" in extra:
            return self.generator.generate_event_id(extra.pop("event_type"))
        return None


def main() -> None:
    generator = LogIDGenerator("camera-node-01", 0)
    handler = logging.StreamHandler()
    handler.addFilter(SessionTagFilter(generator))
    logger = logging.getLogger("node.cookbook")
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    log = TraceKeyAdapter(logger, generator)
    log.info("configured")                      # untagged: no session yet
    generator.generate_session_id()
    log.info("frame %d received", 1)
    log.error("frame capture failed", extra={"error_type": ErrorType.FRAME_CAPTURE})


if __name__ == "__main__":
    main()
