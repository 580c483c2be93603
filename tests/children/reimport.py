"""Imports the module, then again after taking it and the modules it imports
out of sys.modules (with its namespace's names overwritten), then 2,000 times
more. Prints, as JSON: whether the module, its namespace and its function
came back, the names in its namespace, whether hashlib, platform and uuid were
imported again, and what leaked (None)."""

from __future__ import annotations

import json
import sys

from _helpers import find_leak

NAME = "tamsel.utils._machine_utils"
BOUND = ("hashlib", "platform", "uuid", "os")


def reimport() -> None:
    del sys.modules[NAME]
    import tamsel.utils._machine_utils  # noqa: F401


def main() -> None:
    import tamsel.utils._machine_utils as first

    ns, function = first.__dict__, first.get_machine_id
    for name in BOUND:
        ns[name] = name  # a second initialisation would bind the modules again
    for name in ("hashlib", "platform", "uuid", NAME):
        del sys.modules[name]
    import tamsel.utils._machine_utils as again

    leak = find_leak(reimport, 2000)
    print(
        json.dumps(
            [
                again is first,
                again.__dict__ is ns,
                again.get_machine_id is function,
                [ns[n] for n in BOUND],
                [n in sys.modules for n in ("hashlib", "platform", "uuid")],
                leak,
            ]
        )
    )


if __name__ == "__main__":
    main()
