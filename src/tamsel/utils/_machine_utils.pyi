# No module docstring here: the module's __doc__ is None at run time.
# doctest's table of extra tests; the module's is always empty.
__test__: dict[str, object]

def get_machine_id() -> str:
    """Generate a unique machine identifier with hardware info.

    A SHA-256 hex digest of the machine's hardware facts; the first one is
    stored in ``~/.tamsel/cache/.machine_id`` and returned by every later call.
    """
    ...
