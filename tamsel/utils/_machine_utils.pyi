"""Native helpers for identifying the current machine."""

def get_machine_id() -> str:
    """Return a SHA-256 hex digest (64 lowercase hex characters) identifying
    this machine, cached in ``~/.tamsel/cache/.machine_id``."""
    ...
