import logging
import re
import subprocess
import sys
from pathlib import Path

import pytest

from merrow_sdk.logging.trace_key import ErrorType, EventType, LogIDGenerator

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))
import logging_cookbook  # noqa: E402


@pytest.fixture
def captured():
    generator = LogIDGenerator("camera-node-01", 2)
    records = []
    handler = logging.Handler()
    handler.emit = records.append
    handler.addFilter(logging_cookbook.SessionTagFilter(generator))
    logger = logging.getLogger(f"test.cookbook.{id(records)}")
    logger.propagate = False
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    return generator, logging_cookbook.TraceKeyAdapter(logger, generator), records


def test_filter_tags_only_once_a_session_exists(captured):
    generator, log, records = captured
    log.info("before %s", "start")
    session = generator.generate_session_id()
    log.info("after %s", "start")
    assert [r.getMessage() for r in records] == ["before start", f"[{session}] after start"]


@pytest.mark.parametrize("extra, pattern", [
    ({"error_type": ErrorType.QUEUE_FULL}, r"\[ERR-QUEUE_FULL-camera-n-2-1\] m$"),
    ({"event_type": EventType.TRIGGER}, r"\[EVT-TRIGGER-camera-n-2-1\] m$"),
    ({"other": 1}, r"^m$"),
])
def test_adapter_adds_identifier_on_request(captured, extra, pattern):
    _, log, records = captured
    log.warning("m", extra=dict(extra))
    (record,) = records
    assert re.search(pattern, record.getMessage())
    assert not hasattr(record, "error_type") and not hasattr(record, "event_type")


@pytest.mark.parametrize("script", ["demo.py", "logging_cookbook.py"])
def test_example_runs(script):
    result = subprocess.run([sys.executable, str(EXAMPLES / script)], capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert re.search(r"\[SES-camera-n-\d-[0-9a-f]{8}\]", result.stderr)
