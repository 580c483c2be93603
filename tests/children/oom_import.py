"""Out of memory during the import: every allocation from the k-th on fails,
for k from argv[1] on, and each failed import is retried in the same process
until one succeeds (this process can then sweep no further). No SystemError,
and the imported module gives the right identifier. Reports what went wrong,
the k to go on from in a new process (None: done), the points swept and the
exceptions seen."""

from __future__ import annotations

import functools
import importlib.util
import sys
from collections import Counter
from typing import Any

from _helpers import block_cache, expected_id
from children.injection import ITEMS, MACHINE, STEP, init, load, prepare, report, under_limit


def main() -> None:
    start = int(sys.argv[1])
    # Only the extension's own loading is swept: what it imports is imported
    # already (from 3.11 an import in the window would meet gh-132508, see
    # injection.py; 3.9 cannot recover from the MemoryErrors of importing uuid).
    import hashlib  # noqa: F401
    import platform  # noqa: F401
    import uuid  # noqa: F401

    import tamsel.utils  # noqa: F401

    block_cache()
    spec = importlib.util.find_spec("tamsel.utils._machine_utils")
    assert spec is not None
    errors: Counter[str] = Counter()
    bad: list[Any] = []
    import_it = functools.partial(MACHINE.opened, functools.partial(init, spec))  # no function made in the window
    for k in range(start, start + 20000, STEP):
        m, e, reached = under_limit(import_it, k)
        if e is not None:
            errors[type(e).__name__] += 1
        bad += [[k, repr(e)]] if isinstance(e, SystemError) else []
        del e  # a chain of MemoryErrors kept into the next attempt would use up the spare ones
        if m is not None:  # initialised: this process cannot sweep further
            prepare("L")
            bad += [] if load(m).get_machine_id() == expected_id(ITEMS["Linux"]) else [[k, "wrong identifier"]]
            report(bad, next=k + STEP if reached else None, swept=k + 1 - start, errors=errors)
            return
    report(["no import succeeded"], next=None)


if __name__ == "__main__":
    main()
