"""A simulated node: two camera streams, each on its own threads, sharing
one generator per stream, logging through the standard logging module."""

import logging
import random
import threading

from merrow_sdk.logging.trace_key import ErrorType, EventType, LogIDGenerator

NODE_ID = "camera-node-01"
FRAMES_PER_WORKER = 3


class SessionTagFilter(logging.Filter):
    """Puts the stream's session tag in front of every record it passes."""

    def __init__(self, generator: LogIDGenerator) -> None:
        super().__init__()
        self.generator = generator

    def filter(self, record: logging.LogRecord) -> bool:
        record.msg = self.generator.format_log_with_session(str(record.msg))
        return True


def stream_logger(source_idx: int, generator: LogIDGenerator) -> logging.Logger:
    logger = logging.getLogger(f"node.stream{source_idx}")
    logger.addFilter(SessionTagFilter(generator))
    return logger


def capture_frames(worker: str, generator: LogIDGenerator, logger: logging.Logger,
                   rng: random.Random) -> None:
    for frame in range(FRAMES_PER_WORKER):
        if rng.random() < 0.4:
            error_id = generator.generate_error_id(ErrorType.FRAME_CAPTURE)
            logger.error(LogIDGenerator.format_log_with_id(
                f"{worker}: frame {frame} capture failed", error_id))
        else:
            event_id = generator.generate_event_id(EventType.FRAME_RECEIVED)
            logger.info(generator.format_log_with_id(f"{worker}: frame {frame} received", event_id))


def run_stream(source_idx: int) -> None:
    generator = LogIDGenerator(NODE_ID, source_idx)
    logger = stream_logger(source_idx, generator)
    logger.info("stream configured, no session yet")
    generator.generate_session_id()
    logger.info(generator.format_log_with_id("stream started", generator.generate_event_id(EventType.START)))
    # Two workers per stream share the stream's generator; numbers stay unique.
    workers = [
        threading.Thread(target=capture_frames,
                         args=(f"worker{n}", generator, logger, random.Random(source_idx * 10 + n)))
        for n in range(2)
    ]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    generator.generate_session_id(force=True)
    logger.info("stream restarted with a new session")
    logger.info(generator.format_log_with_id("stream stopped", generator.generate_event_id(EventType.STOP)))


def main() -> None:
    logging.basicConfig(level=logging.INFO, format="%(threadName)-10s %(levelname)-5s %(message)s")
    streams = [threading.Thread(target=run_stream, args=(idx,), name=f"stream{idx}") for idx in (0, 1)]
    for stream in streams:
        stream.start()
    for stream in streams:
        stream.join()


if __name__ == "__main__":
    main()
