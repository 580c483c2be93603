"""Out of memory during a call: every allocation from the k-th on fails, for
k = 0, 1, 2, ... until the call completes without reaching the limit, then
each k-th allocation alone. argv: the scenario (C, L, M, W), the faults (see
injection.prepare) and the least number of allocations the call must make.
No SystemError, every result one the hardware facts (or a subset of them)
give, the cache file as expected and the next call right. Reports what went
wrong, the number of points swept and the exceptions seen.

On free-threaded builds each point runs in a fork of its own: there CPython
3.14.7 and 3.15.0rc1 crash by themselves at some points (when PyList_New cannot
allocate a list's items, it frees the list before setting its item pointer,
and the deallocation reads that pointer). A point whose crash dump shows
PyList_New at the top of the stack is counted as "PyList_New defect" and
skipped; any other crash is a failure."""

from __future__ import annotations

import faulthandler
import itertools
import json
import os
import signal
import sys
import sysconfig
import tempfile
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

    def attempt_here(k: int, stop: int) -> bool:
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

    def attempt_in_fork(k: int, stop: int) -> bool:
        with tempfile.TemporaryFile() as err:
            out, into = os.pipe()
            pid = os.fork()
            if pid == 0:
                os.dup2(err.fileno(), 2)
                faulthandler.enable(all_threads=False)
                known, seen = len(bad), Counter(errors)
                done = attempt_here(k, stop)
                os.write(into, json.dumps([done, bad[known:], dict(errors - seen)]).encode())
                os._exit(0)
            os.close(into)
            with os.fdopen(out) as f:
                text = f.read()
            status = os.waitpid(pid, 0)[1]
            if text:
                done, child_bad, child_errors = json.loads(text)
                bad.extend(child_bad)
                errors.update(child_errors)
                return bool(done)
            err.seek(0)
            dump = err.read().decode(errors="replace")
        signalled = os.WIFSIGNALED(status) and signal.Signals(os.WTERMSIG(status)).name
        frames = [line for line in dump.splitlines() if " at " in line][:6]
        if signalled and any(" at PyList_New+" in line for line in frames):
            errors["PyList_New defect"] += 1
        else:
            bad.append([k, stop, str(signalled or status), dump[-2000:]])
        return False

    attempt = attempt_in_fork if sysconfig.get_config_var("Py_GIL_DISABLED") else attempt_here
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
