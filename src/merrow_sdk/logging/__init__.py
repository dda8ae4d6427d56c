"""Logging support for merrow nodes; see ``merrow_sdk.logging.trace_key``."""
