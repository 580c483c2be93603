"""Every injection point failing in turn, with an ordinary exception and with
KeyboardInterrupt, and each path without a failure, many times over: each row
must give its expected result and cache file, with no leak (see find_leak).
argv: the calls per path, the calls per failure. Reports the rows that went
wrong and the number of calls, cases and sites."""

from __future__ import annotations

import functools
import itertools
import sys
from types import ModuleType
from typing import Any

from _helpers import expected_id, find_leak
from children.injection import ITEMS, MACHINE, SCEN, STORED, call_state, load, prepare, report

# scenario/faults/expectation. Faults name:n fail the n-th call of name (+ joins
# several). Items: Linux a, b machine-id files, c, d DMI files; macOS a UUID,
# b serial; Windows a volume, b, c BIOS serials.
SITES = [
    row.split("/")
    for row in """
C/expanduser:1/abcd= C/join:1/abcd= C/exists:1/abcd= C/truth:1/abcd= C/open:1/abcd= C/enter:1/abcd=
C/read:1/abcd= C/strip:1/abcd= C/exit:1/abcd= L/exists:2/bcd= L/truth:2/bcd= L/open:1/bcd= L/enter:1/bcd=
L/strip:1/bcd= L/exit:1/abcd= L/read:2/acd= L/exists:4/ab= L/truth:4/ab= L/open:3/ab= L/strip:3/ab=
L/exit:3/abc= L/exists:5/abc= L/read:4/abc= L/expanduser:2/abcd- L/makedirs:1/abcd- L/join:2/abcd-
L/open:5/abcd- L/enter:5/abcd0 L/write:1/abcd0 L/exit:5/abcd= L/getnode:1/= L/str:1/= L/system:1/=
L/system:2/= L/eq:1/= L/eq:2/= L/sha256:1/= L/hexdigest:1/= L/getnode:1+getnode:2/R- L/str:1+str:2/R-
L/system:1+sha256:1/R- L/sha256:1+hexdigest:1/R- M/subprocess:1/= M/run:1/= M/stdout:1/= M/split:1/=
M/in:1/= M/split:2/= M/strip:1/= M/in:3/a= M/split:3/a= M/strip:2/a= W/win32api:1/= W/win32security:1/=
W/GetVolumeInformation:1/bc= W/str:2/bc= W/wmi:1/a= W/WMI:1/a= W/Win32_BIOS:1/a= W/next:1/a=
W/SerialNumber:1/a= W/bool:1/a= W/next:2/ab= W/bool:2/ab= W/SerialNumber:3/ab= W/nonstr:1/=""".split()
]
PATHS = [["C", "", "S="], ["L", "", "abcd="], ["M", "", "ab="], ["W", "", "abc="], ["L", "system:1", "="]]
CALLS = [0]


def expect(scen: str, outcome: str) -> tuple[object, str | None, bool]:
    """outcome: the items kept (a = first), R for the exception propagating, S for
    the stored id; then the cache file: = holds the result, - missing, 0 empty."""
    out: object
    if "R" in outcome:
        out = (MACHINE.error.__name__,) * 2
    elif "S" in outcome:
        out = STORED
    else:
        out = expected_id([ITEMS[SCEN[scen]][ord(c) - 97] for c in outcome if c.islower()])
    return out, {"=": out if isinstance(out, str) else None, "-": None, "0": ""}[outcome[-1]], True


def one_call(m: ModuleType, row: list[str], seen: set[tuple[object, str | None, bool]]) -> None:
    prepare(row[0], row[1])
    seen.add(call_state(m))
    CALLS[0] += 1


def main() -> None:
    n_paths, n_sites = int(sys.argv[1]), int(sys.argv[2])
    m = load()
    bad: list[Any] = []
    held = (m.get_machine_id, m, m.__dict__, m.get_machine_id.__code__, MACHINE.open)
    for _ in range(n_paths):  # the interpreter's own caches settle first (3.10 needs more than half a row)
        prepare("C")
        call_state(m)
    rows = [(p, Exception) for p in PATHS] + list(itertools.product(SITES, (Exception, KeyboardInterrupt)))
    for row, MACHINE.error in rows:
        n, want = n_paths if row in PATHS else n_sites, expect(row[0], row[2])
        seen: set[tuple[object, str | None, bool]] = set()
        leak = find_leak(functools.partial(one_call, m, row, seen), n - n // 2, warmup=n // 2, held=held)
        if seen != {want} or leak:
            bad.append([*row, MACHINE.error.__name__, repr(seen - {want}), leak])
    sites = {f.split(":")[0] for r in SITES for f in r[1].split("+")}
    report(bad, calls=CALLS[0], cases=len(PATHS) + 2 * len(SITES), sites=len(sites))


if __name__ == "__main__":
    main()
