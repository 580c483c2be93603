"""Out of memory during a call: every allocation from the k-th on fails, for
k = 0, 1, 2, ... until the call completes without reaching the limit, then
each k-th allocation alone. argv: the scenario (C, L, M, W), the faults (see
injection.prepare) and the least number of allocations the call must make.
No SystemError, every result one the hardware facts (or a subset of them)
give, the cache file as expected and the next call right. Reports what went
wrong, the number of points swept and the exceptions seen."""

from __future__ import annotations

import itertools
import sys
from collections import Counter
from typing import Any

from _helpers import block_cache, expected_id
from children.injection import (
    ITEMS,
    REIMPORT_UNDER_OOM,
    SCEN,
    STEP,
    STORED,
    cache_text,
    load,
    prepare,
    report,
    under_limit,
)


def main() -> None:
    scen, faults, least = sys.argv[1], sys.argv[2], int(sys.argv[3])
    m, items = load(), ITEMS[SCEN[scen]]
    bad: list[Any] = []
    if scen != "C":
        block_cache()
    allowed = {expected_id(c) for r in range(len(items) + 1) for c in itertools.combinations(items, r)} | {STORED}
    want, swept = STORED if scen == "C" else expected_id([] if faults else items), [0, 0]
    errors: Counter[str] = Counter()

    def attempt(k: int, stop: int) -> bool:
        prepare(scen, faults, REIMPORT_UNDER_OOM)
        r, e, reached = under_limit(m.get_machine_id, k, stop)
        if e is not None:
            errors[type(e).__name__] += 1
        if isinstance(e, SystemError) or r not in allowed | {None} or cache_text() not in (None, "", r, STORED):
            bad.append([k, stop, repr(e), r])
        prepare(scen, faults)
        if m.get_machine_id() != want:
            bad.append([k, stop, "afterwards", m.get_machine_id()])
        return r is not None and not reached

    prepare(scen, faults)
    m.get_machine_id()  # the probes' modules are imported now
    while not attempt(swept[0], 0) and swept[0] < 50000:  # from the k-th allocation on, all fail
        swept[0] += STEP
    for k in range(0, swept[0], STEP):  # the k-th allocation alone fails
        attempt(k, k + 1)
        swept[1] += 1
    least = least if REIMPORT_UNDER_OOM else least * 2 // 3  # no import machinery in the window
    report(bad + ([f"only {swept[0]} allocations"] if swept[0] < least else []), swept=swept, errors=errors)


if __name__ == "__main__":
    main()
