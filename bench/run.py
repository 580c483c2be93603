"""Benchmark of tamsel.utils._machine_utils.get_machine_id() against its
pure-Python equivalent, tests/pure_python_machine_id.py, on the interpreter that
runs it (with the project installed unstripped, pyperf, valgrind and a C compiler).

    python bench/run.py [--quick] [--json ROW.json]   # one interpreter
    python bench/run.py --table ROW.json ...          # the rows of several, one table

Instructions per call, (I(N2) - I(N1)) / (N2 - N1), from callgrind collecting only
inside a marker function (bench/_marker.c, compiled here: the interpreter need not
carry symbols) through which the measured calls alone are made; callgrind_annotate
gives the totals and the module's own functions. Paths: cached (cache file
present), regular (no cache file), fallback (no cache file, platform.system()
raises). pyperf times the cached call; on free-threaded builds also the same
cached calls spread over 16 threads against 1 thread (information only).
Exit status 1: a target missed (with --table: by a row, or a row unreadable)."""

from __future__ import annotations

import argparse
import concurrent.futures
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from typing import Any, NoReturn

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(os.path.dirname(HERE), "tests")
MARKER = "tamsel_bench_marker"
MODES = ("cached", "regular", "fallback")
CONTENDERS = {
    "module": "from tamsel.utils._machine_utils import get_machine_id as f",
    "pure": f"import sys; sys.path.insert(0, {TESTS!r}); from pure_python_machine_id import get_machine_id as f",
}
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
# Calls before the counted ones: CPython 3.9 and 3.10 give a code object its
# global-name cache after 1024 runs; from 3.11 the adaptive interpreter
# specialises within the first few runs.
WARM_UP = 1100
# How many fewer instructions than pure Python a cached call must execute. From
# 3.11 the interpreter runs a Python function called from Python code in the
# same evaluation loop, which a call from C cannot do; free-threaded builds
# only must not exceed it.
MIN_SAVING = 0.0 if FREE_THREADED else 0.03 if sys.version_info < (3, 11) else 0.015
MAX_OWN = 0.01  # the module's own code, as a share of a cached and of a regular call
THREADS = 16


class FailingPlatform:
    """Stands in for `platform`, so that the regular derivation fails."""

    @staticmethod
    def system() -> NoReturn:
        raise RuntimeError("no platform")


def remove_cache() -> None:
    try:
        os.remove(os.path.join(os.environ["HOME"], ".tamsel", "cache", ".machine_id"))
    except FileNotFoundError:
        pass


def load(contender: str, mode: str = "cached") -> Any:
    """The contender's get_machine_id, its module's `platform` failing in fallback mode."""
    space: dict[str, Any] = {}
    exec(CONTENDERS[contender], space)
    f = space["f"]
    vars(sys.modules[f.__module__])["platform"] = FailingPlatform() if mode == "fallback" else platform
    return f


def child(contender: str, mode: str, n: int) -> None:
    """Runs under callgrind: the warm-up, then n calls through the marker."""
    f = load(contender, mode)
    prepare = remove_cache if mode != "cached" else lambda: None
    for _ in range(WARM_UP):
        prepare()
        f()
    import _marker  # type: ignore[import-not-found]  # compiled by build_marker()

    for _ in range(n):
        prepare()
        _marker.call(f)


def build_marker(workdir: str) -> None:
    out = os.path.join(workdir, "_marker" + sysconfig.get_config_var("EXT_SUFFIX"))
    cc = os.environ.get("CC") or "cc"
    include = "-I" + sysconfig.get_paths()["include"]
    subprocess.run([cc, "-O2", "-shared", "-fPIC", include, os.path.join(HERE, "_marker.c"), "-o", out], check=True)


def callgrind(contender: str, mode: str, n: int, workdir: str) -> tuple[int, int]:
    """Instructions inside the marker in one child run: all, and the module's own."""
    out = os.path.join(workdir, f"cg.{contender}.{mode}.{n}")
    # A HOME of its own, of the same length for every run (string work on the
    # path depends on it), and a fixed hash seed: the counts repeat within a
    # few dozen instructions per call.
    home = os.path.join(tempfile.mkdtemp(dir=workdir), "home")
    os.mkdir(home)
    cmd = ["valgrind", "-q", "--tool=callgrind", "--collect-atstart=no", f"--toggle-collect={MARKER}"]
    cmd += [f"--callgrind-out-file={out}", sys.executable, os.path.abspath(__file__)]
    cmd += ["--child", contender, mode, str(n)]
    env = dict(os.environ, HOME=home, PYTHONHASHSEED="0", PYTHONPATH=workdir)
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, env=env)
    annotate = ["callgrind_annotate", "--threshold=100", "--show-percs=no", "--auto=no", out]
    text = subprocess.run(annotate, check=True, capture_output=True, text=True).stdout
    total = re.search(r"^\s*([\d,]+)\s+PROGRAM TOTALS", text, re.M)
    if not total or total.group(1) == "0":
        raise RuntimeError(f"callgrind counted nothing inside {MARKER}: the marker is not hit")
    # Function lines: "COUNT  file:function [object]".
    own = re.findall(r"^\s*([\d,]+)\s+\S.*\[[^\]]*_machine_utils[^\]/]*\]$", text, re.M)
    return int(total.group(1).replace(",", "")), sum(int(v.replace(",", "")) for v in own)


def instructions(quick: bool) -> dict[str, dict[str, Any]]:
    """Per call and per path: both contenders' counts and the module's own code."""
    n1, n2 = (100, 600) if quick else (200, 1700)  # wide enough for the cyclic GC to average out
    workdir = tempfile.mkdtemp(prefix="tamsel-bench-cg-")
    try:
        build_marker(workdir)
        jobs = [(c, m, n) for m in MODES for c in CONTENDERS for n in (n1, n2)]
        with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
            futures = {(c, m, n): pool.submit(callgrind, c, m, n, workdir) for c, m, n in jobs}
            runs = {job: future.result() for job, future in futures.items()}
    finally:
        shutil.rmtree(workdir, ignore_errors=True)

    def per_call(c: str, m: str) -> list[float]:
        return [(b - a) / (n2 - n1) for a, b in zip(runs[c, m, n1], runs[c, m, n2])]

    out = {}
    for m in MODES:
        (mod, own), (pure, _) = per_call("module", m), per_call("pure", m)
        out[m] = {"module": round(mod), "pure": round(pure), "diff_percent": round(100 * (mod / pure - 1), 2)}
        out[m].update(own=round(own), own_percent=round(100 * own / mod, 2))
    return out


def pyperf_timeit(jobs: dict[str, tuple[str, str]], quick: bool) -> dict[str, tuple[float, float]]:
    """pyperf's mean and standard deviation (seconds) of each job's (setup, statement), run in
    rounds of 4 worker processes that alternate the jobs, so that drift of the machine hits them alike."""
    import pyperf

    with tempfile.TemporaryDirectory() as workdir:
        for _ in range(2 if quick else 5):
            for name, (setup, stmt) in jobs.items():
                out = ["--append", os.path.join(workdir, f"{name}.json")]
                cmd = [sys.executable, "-m", "pyperf", "timeit", "--quiet", "-p", "4", *out, "-s", setup, stmt]
                subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
        benches = {name: pyperf.Benchmark.load(os.path.join(workdir, f"{name}.json")) for name in jobs}
    return {name: (bench.mean(), bench.stdev()) for name, bench in benches.items()}


def timings(quick: bool) -> dict[str, Any]:
    """The cached call of each contender; on free-threaded builds also the same
    number of cached calls made by 1 thread and spread over THREADS threads."""
    calls = THREADS * (20 if quick else 100)
    spread = (
        "import threading\n"
        "def run(k):\n"
        f"    ts = [threading.Thread(target=lambda: [f() for _ in range({calls} // k)]) for _ in range(k)]\n"
        "    for t in ts: t.start()\n"
        "    for t in ts: t.join()\n"
    )
    out: dict[str, Any] = {"thread_calls": calls, "threads": {}}
    both = CONTENDERS.items()
    out["cached"] = pyperf_timeit({c: (setup + "; f()", "f()") for c, setup in both}, quick)
    if FREE_THREADED:
        jobs = {f"{c} {k}": (f"{setup}\n{spread}", f"run({k})") for c, setup in both for k in ("1", str(THREADS))}
        for name, figures in pyperf_timeit(jobs, quick).items():
            c, k = name.split()
            out["threads"].setdefault(c, {})[k] = figures
    return out


def check(row: dict[str, Any]) -> list[tuple[str, bool]]:
    """The targets, as (description, met)."""
    ins, floor = row["instructions"], row["min_saving_percent"]
    saving = 100 * (1 - ins["cached"]["module"] / ins["cached"]["pure"])
    targets = [(f"same identifier as pure Python, regular and fallback: {row['same_id']}", row["same_id"])]
    targets.append((f"cached call: {saving:.2f}% fewer instructions than pure Python (>= {floor:g}%)", saving >= floor))
    for m in MODES:
        i = ins[m]
        targets.append((f"{m}: {i['module']:,} <= {i['pure']:,} instructions of pure Python", i["module"] <= i["pure"]))
    for m in ("cached", "regular"):
        i, ok = ins[m], ins[m]["own"] <= MAX_OWN * ins[m]["module"]
        targets.append((f"{m}: own code {i['own_percent']:.2f}% <= {100 * MAX_OWN:g}%", ok))
    return targets


COLUMNS = ["version", *(f"{m} instr: module vs pure" for m in MODES), "own code: cached / regular"]
COLUMNS += ["cached call (pyperf): module vs pure", f"cached calls in {THREADS} threads vs 1", "targets met"]
HEADER = "| " + " | ".join(COLUMNS) + " |\n|" + "---|" * len(COLUMNS)


def format_row(row: dict[str, Any]) -> str:
    ins, cached, threads = row["instructions"], row["time"]["cached"], row["time"]["threads"]

    def us(c: str) -> str:
        return "{:.1f} +- {:.1f} us".format(*(1e6 * v for v in cached[c])) if c in cached else "-"

    spread = ", ".join(f"{c} {1e3 * t[str(THREADS)][0]:.1f} vs {1e3 * t['1'][0]:.1f} ms" for c, t in threads.items())
    cells = [row["python"] + ("t" if row["free_threaded"] else "")]
    cells += [f"{ins[m]['module']:,} vs {ins[m]['pure']:,} ({ins[m]['diff_percent']:+.2f}%)" for m in MODES]
    cells += [f"{ins['cached']['own_percent']:.2f}% / {ins['regular']['own_percent']:.2f}%"]
    cells += [f"{us('module')} vs {us('pure')}", (spread + (" (GIL on)" if row["gil"] else "")) if threads else "-"]
    return "| " + " | ".join([*cells, f"{row['targets_met']} of {row['targets']}"]) + " |"


def table(paths: list[str]) -> int:
    """Prints the rows of several runs as one table; 1 when one missed a target or is unreadable."""
    rows, status = [], 0
    for path in paths:
        try:
            with open(path) as f:
                rows.append(json.load(f))
        except (OSError, ValueError) as exc:
            print(f"no row: {path}: {exc}", file=sys.stderr)
            status = 1
    rows.sort(key=lambda row: ([int(n) for n in row["python"].split(".")[:2]], row["free_threaded"]))
    print(HEADER)
    for row in rows:
        print(format_row(row))
    return 1 if status or not all(row["all_met"] for row in rows) else 0


def same_identifier() -> bool:
    """Whether both contenders derive the same identifier, regular and fallback alike."""
    ids: list[str] = []
    for mode in ("regular", "fallback"):
        for c in CONTENDERS:
            remove_cache()
            ids.append(load(c, mode)())
            load(c)  # `platform` back
    return ids[0] == ids[1] and ids[2] == ids[3]


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="fewer calls and pyperf runs (pyperf --fast)")
    ap.add_argument("--json", metavar="FILE", help="also write this interpreter's figures to FILE")
    ap.add_argument("--table", nargs="+", metavar="ROW", help="print the rows that runs wrote with --json as one table")
    ap.add_argument("--child", nargs=3, metavar=("CONTENDER", "MODE", "N"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.table:
        return table(args.table)
    if args.child:
        child(args.child[0], args.child[1], int(args.child[2]))
        return 0
    home = os.environ["HOME"] = tempfile.mkdtemp(prefix="tamsel-bench-home-")
    try:
        print(f"CPython {sys.version.split()[0]} ({sys.executable}), HOME={home}", flush=True)
        row: dict[str, Any] = {"python": sys.version.split()[0], "free_threaded": FREE_THREADED}
        row.update(same_id=same_identifier(), gil=getattr(sys, "_is_gil_enabled", lambda: True)())
        load("module")()  # the cache file, for the cached calls
        row.update(min_saving_percent=100 * MIN_SAVING, instructions=instructions(args.quick), time=timings(args.quick))
    finally:
        shutil.rmtree(home, ignore_errors=True)
    targets = check(row)
    for label, ok in targets:
        print(f"  {'PASS' if ok else 'MISS'}  {label}")
    row.update(targets=len(targets), targets_met=sum(ok for _, ok in targets))
    row["all_met"] = row["targets"] == row["targets_met"]
    print(HEADER + "\n" + format_row(row))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(row, f, indent=1)
    return 0 if row["all_met"] else 1


if __name__ == "__main__":
    sys.exit(main())
