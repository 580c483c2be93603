"""argv[2] threads race the first call with no cache file, argv[1] rounds:
every thread must get the derived identifier, which the file then holds.
Reports the rounds that went wrong and the number of calls."""

from __future__ import annotations

import sys
import threading
from types import ModuleType
from typing import Any

from _helpers import expected_id
from children.injection import ITEMS, cache_text, load, prepare, report


def call_after(barrier: threading.Barrier, m: ModuleType, out: list[str]) -> None:
    barrier.wait()
    out.append(m.get_machine_id())


def main() -> None:
    rounds, n = int(sys.argv[1]), int(sys.argv[2])
    m, want = load(), expected_id(ITEMS["Linux"])
    bad: list[Any] = []
    sys.setswitchinterval(1e-6)
    for _ in range(rounds):
        prepare("L")
        barrier = threading.Barrier(n)
        out: list[str] = []
        threads = [threading.Thread(target=call_after, args=(barrier, m, out)) for _ in range(n)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        bad += [] if (out, cache_text()) == ([want] * n, want) else [[sorted(set(out)), len(out), cache_text()]]
    report(bad, calls=rounds * n)


if __name__ == "__main__":
    main()
