"""The merrow node SDK."""
