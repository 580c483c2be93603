"""Runs bench/run.py in each of the given venvs and prints one row per version.

    python3 bench/run_all.py --venv DIR [--venv DIR ...] [--strict] [RUN.PY ARGS]

`bash scripts/dev.sh bench` prepares a venv per interpreter (the nox session
`bench`: the project installed unstripped, and py-machineid where it installs)
and calls this script with them. Any Python 3 may run it. Other arguments
(--quick, --no-timing) go to bench/run.py. Each run is made from a temporary
working directory with `python -I`, so that only the installed package can be
imported; bench/run.py gives every run its own temporary HOME. The exit status
is 1 when a version could not be run, and with --strict also when a version
missed one of its targets.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
from typing import Any

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
RUN = os.path.join(HERE, "run.py")

sys.path.insert(0, HERE)
from run import ROW_COLUMNS, format_row  # noqa: E402  (the one row format)


def log(message: str) -> None:
    print(f"[run_all] {message}", file=sys.stderr, flush=True)


def version_of(python: str) -> str | None:
    """ "X.Y" of a CPython interpreter, or None."""
    try:
        out = subprocess.run(
            [
                python,
                "-c",
                "import platform, sys; print(platform.python_implementation(), '%d.%d' % sys.version_info[:2])",
            ],
            check=True,
            capture_output=True,
            text=True,
        ).stdout.split()
    except (OSError, subprocess.CalledProcessError):
        return None
    return out[1] if out and out[0] == "CPython" else None


def run_one(python: str, run_args: list[str]) -> dict[str, Any]:
    """bench/run.py under `python`; its summary row (a dict)."""
    with tempfile.TemporaryDirectory(prefix="tamsel-bench-all-") as cwd:
        out = os.path.join(cwd, "row.json")
        subprocess.run([python, "-I", RUN, *run_args, "--json", out], cwd=cwd, check=True)
        with open(out) as f:
            row: dict[str, Any] = json.load(f)
            return row


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument(
        "--venv", action="append", required=True, metavar="DIR", help="a prepared venv to run in (repeatable)"
    )
    ap.add_argument("--strict", action="store_true", help="fail when a version misses a target")
    args, run_args = ap.parse_known_args()

    if shutil.which("valgrind") is None:
        sys.exit("[run_all] valgrind is needed for the instruction counts (apt-get install valgrind)")
    targets = [(version_of(os.path.join(v, "bin", "python")) or v, os.path.join(v, "bin", "python")) for v in args.venv]

    rows, failed = [], []
    for version, python in targets:
        log(f"CPython {version}")
        try:
            rows.append(run_one(python, run_args))
        except (RuntimeError, OSError, subprocess.CalledProcessError) as exc:
            log(f"CPython {version} failed: {exc}")
            failed.append(version)

    print(
        "\nper-version summary (instructions per call from callgrind; wall clock: "
        "median ratio of the module to pure Python)\n"
    )
    print("| " + " | ".join(ROW_COLUMNS) + " |")
    print("|" + "---|" * len(ROW_COLUMNS))
    for row in rows:
        print(format_row(row))
    print()
    missed = [r["python"] for r in rows if not r["all_met"]]
    for row in rows:
        print(f"  CPython {row['python']}: {row['targets_met']} of {row['targets']} targets met")
    for version in failed:
        print(f"  CPython {version}: did not run")
    print(f"\n{len(rows)} of {len(targets)} versions ran; {len(rows) - len(missed)} met all their targets")
    return 1 if failed or (args.strict and missed) else 0


if __name__ == "__main__":
    sys.exit(main())
