"""Loads the module (with the harness's fakes), creates the file
"<argv[1]>.<pid>" to say so, waits until the file argv[2] exists and then
calls the module argv[3] times. Reports the identifiers seen."""

from __future__ import annotations

import os
import sys
import time

from children.injection import load, report


def main() -> None:
    ready, go, calls = sys.argv[1], sys.argv[2], int(sys.argv[3])
    m = load()
    open(f"{ready}.{os.getpid()}", "w").close()
    while not os.path.exists(go):
        time.sleep(0.001)
    report([], seen=sorted({m.get_machine_id() for _ in range(calls)}))


if __name__ == "__main__":
    main()
