"""Prints the benchmark rows of several interpreters as one table.

    python3 bench/run_all.py ROW.json [ROW.json ...]

Each ROW.json is what `bench/run.py --json ROW.json` wrote under one
interpreter. `nox -t bench` (`bash scripts/dev.sh -t bench`) runs bench/run.py
on every interpreter, each in an environment of its own (CPython 3.14 and 3.15
in the Debian root), and then this script on their rows. Any Python 3 may run
it. The exit status is 1 when a version missed one of its targets or its row
cannot be read.
"""

from __future__ import annotations

import json
import os
import sys
from typing import Any

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import ROW_COLUMNS, format_row  # (the one row format)


def main(paths: list[str]) -> int:
    rows: list[dict[str, Any]] = []
    unread = []
    for path in paths:
        try:
            with open(path) as f:
                rows.append(json.load(f))
        except (OSError, ValueError) as exc:
            unread.append(f"{path}: {exc}")
    rows.sort(key=lambda row: [int(n) for n in row["minor"].split(".")])
    print(
        "\nper-version summary (instructions per call from callgrind; wall clock: "
        "median ratio of the module to pure Python)\n"
    )
    print("| " + " | ".join(ROW_COLUMNS) + " |")
    print("|" + "---|" * len(ROW_COLUMNS))
    for row in rows:
        print(format_row(row))
    print()
    for row in rows:
        print(f"  CPython {row['python']}: {row['targets_met']} of {row['targets']} targets met")
    for problem in unread:
        print(f"  no row: {problem}")
    missed = [row for row in rows if not row["all_met"]]
    print(f"\n{len(rows)} versions ran; {len(rows) - len(missed)} met all their targets")
    return 1 if missed or unread else 0


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1:]))
