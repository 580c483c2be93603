"""Side-by-side benchmark of tamsel.utils._machine_utils.get_machine_id().

Run it with `bash scripts/dev.sh -t bench` (add `-- --quick` for a short run),
or for one interpreter with `python -I bench/run.py` from a venv that has the
project installed unstripped; the nox sessions `bench-X.Y` run it on every
CPython from 3.9 to 3.15 and bench/run_all.py puts the per-version rows side by
side. The contenders are the native module, tests/pure_python_machine_id.py (the same
calls written in Python) and py-machineid's id() and hashed_id(). Every
measurement alternates the contenders round by round, so that drift of the
machine hits them alike, and reports medians with quartiles and ratios taken
within a round. Instruction counts come from callgrind: collection runs only
inside a marker function (bench/_marker.c, compiled for the interpreter under
test), through which the measured calls (and nothing else) are made, and the
per-call figure is (I(N2) - I(N1)) / (N2 - N1).

Everything runs with HOME pointing at a temporary directory.
"""

from __future__ import annotations

import argparse
import collections
import concurrent.futures
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterator, Mapping, Sequence
from typing import Any, Callable, NoReturn

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

# The C function every measured call goes through: bench/_marker.c, compiled
# by build_marker() for the interpreter under test (an interpreter may carry no
# symbols of its own, so none of its functions can serve). callgrind() checks
# that it was hit.
MARKER = "tamsel_bench_marker"
# Calls before any measurement. CPython 3.9 and 3.10 give a code object its
# LOAD_GLOBAL (3.10: and LOAD_ATTR) cache after 1024 runs, which makes later
# calls of the Python functions involved (os.path.expanduser, ...) about 4%
# cheaper; from 3.11 the adaptive interpreter specialises a code object's
# instructions within its first few runs (measured: the per-call count is
# flat from about 100 calls on, for both contenders). 1100 covers both, and
# the calls through the marker that follow the warm-up are counted as the
# difference of two runs, so one-off costs of the first marked calls cancel.
WARM_UP = 1100
# What the cached call must achieve against the pure-Python version, per
# version: up to 3.10 the module saves at least 3% of the instructions; from
# 3.11 the interpreter runs the Python callees of a Python function in the
# same evaluation loop (a call from C enters it anew each time), and the
# module must still save at least 1.5%.
MIN_SAVING = 0.03 if sys.version_info < (3, 11) else 0.015
# Functions that create an object or take memory when the module's code calls
# them directly.
CREATES = re.compile(
    r"^(Py\w*_(New\w*|From\w*|Pack|InternFromString|FromFormat\w*)|Py_BuildValue\w*"
    r"|_?PyObject_(GC_)?(Malloc|Calloc|Realloc|New\w*)|PyMem_\w*alloc|PyErr_Format\w*"
    r"|malloc|calloc|realloc)$"
)
# What the module's code may create on each call: the lists a derivation builds,
# and the frame of a traceback entry (it records the caller, so it cannot be kept).
PER_CALL = {"PyList_New", "PyFrame_New"}
ALLOCATORS = {"_PyObject_Malloc", "_PyObject_Calloc", "_PyObject_Realloc"}
RAW = {"malloc", "calloc", "realloc"}


def cache_file() -> str:
    return os.path.join(os.environ["HOME"], ".tamsel", "cache", ".machine_id")


def remove_cache() -> None:
    try:
        os.remove(cache_file())
    except FileNotFoundError:
        pass


class FailingPlatform:
    """Stands in for `platform`, so that the regular derivation fails."""

    @staticmethod
    def system() -> NoReturn:
        raise RuntimeError("no platform")


def load() -> tuple[Any, Any, dict[str, Callable[[], str]]]:
    """The contenders, all bound to the same temporary HOME."""
    import pure_python_machine_id as pure
    import tamsel.utils._machine_utils as native

    source = os.path.join(os.path.dirname(HERE), "src", "tamsel")
    if os.path.realpath(native.__file__).startswith(os.path.realpath(source) + os.sep):
        sys.exit(f"{native.__file__} is the source tree, not the installed build")
    contenders = {"module": native.get_machine_id, "pure-python": pure.get_machine_id}
    try:
        import machineid

        machineid.id()
        contenders["machineid.id"] = machineid.id
        contenders["machineid.hashed_id"] = machineid.hashed_id
    except Exception as exc:  # no machine id here: compare without it
        print(f"py-machineid left out: {exc!r}")
    return native, pure, contenders


def rotations(names: list[str], rounds: int) -> Iterator[list[str]]:
    for r in range(rounds):
        k = r % len(names)
        yield names[k:] + names[:k]


def warm_up(funcs: Mapping[str, Callable[[], object]], before: Callable[[], object] = lambda: None) -> None:
    for f in funcs.values():
        for _ in range(WARM_UP):
            before()
            f()


def time_batches(funcs: Mapping[str, Callable[[], object]], rounds: int, n: int) -> dict[str, list[float]]:
    """Nanoseconds per call, one batch of n calls per contender per round."""
    warm_up(funcs)
    out: dict[str, list[float]] = {name: [] for name in funcs}
    for order in rotations(list(funcs), rounds):
        for name in order:
            f = funcs[name]
            t0 = time.perf_counter_ns()
            for _ in range(n):
                f()
            out[name].append((time.perf_counter_ns() - t0) / n)
    return out


def time_singles(
    funcs: Mapping[str, Callable[[], object]], rounds: int, before: Callable[[], object]
) -> dict[str, list[float]]:
    """Nanoseconds of single calls, `before()` run untimed before each."""
    warm_up(funcs, before)
    out: dict[str, list[float]] = {name: [] for name in funcs}
    for order in rotations(list(funcs), rounds):
        for name in order:
            f = funcs[name]
            before()
            t0 = time.perf_counter_ns()
            f()
            out[name].append(time.perf_counter_ns() - t0)
    return out


def quartiles(xs: list[float]) -> tuple[float, float, float]:
    if len(xs) < 2:
        return xs[0], xs[0], xs[0]
    q1, q2, q3 = statistics.quantiles(xs, n=4)
    return q1, q2, q3


def median_ci(xs: Sequence[float]) -> tuple[float, float, float]:
    """The median and its distribution-free 95% confidence interval."""
    xs = sorted(xs)
    n = len(xs)
    half = 0.98 * n**0.5
    lo, hi = max(0, int(n / 2 - half)), min(n - 1, int(n / 2 + half + 0.999))
    return statistics.median(xs), xs[lo], xs[hi]


def report(
    title: str, samples: dict[str, list[float]], ref: str = "pure-python", unit: float = 1e3, unit_name: str = "us"
) -> dict[str, tuple[float, float, float]]:
    """Prints medians, quartiles, min and the median of per-round ratios to ref."""
    print(
        f"\n{title}\n  ({unit_name}: median [q1 .. q3] min; ratio to {ref}: median of the "
        f"per-round ratios [95% CI]; {len(samples[ref])} rounds)"
    )
    ratios = {}
    for name, xs in samples.items():
        q1, q2, q3 = quartiles(xs)
        ratios[name] = r = median_ci([a / b for a, b in zip(xs, samples[ref])])
        print(
            f"  {name:20s} {q2 / unit:9.2f} [{q1 / unit:8.2f} .. {q3 / unit:8.2f}] "
            f"{min(xs) / unit:8.2f}   x{r[0]:.3f} [{r[1]:.3f} .. {r[2]:.3f}]"
        )
    return ratios


def import_times(rounds: int) -> dict[str, list[float]]:
    """Cumulative -X importtime of each module (its imports included), in ns."""
    env = dict(os.environ, PYTHONPATH=HERE)
    modules = {
        "module": "tamsel.utils._machine_utils",
        "pure-python": "pure_python_machine_id",
        "machineid": "machineid",
    }
    with tempfile.TemporaryDirectory() as cwd:

        def run(module: str) -> int:
            err = subprocess.run(
                [sys.executable, "-X", "importtime", "-c", f"import {module}"],
                env=env,
                cwd=cwd,
                check=True,
                stderr=subprocess.PIPE,
                text=True,
            ).stderr
            for line in err.splitlines():
                fields = [f.strip() for f in line.partition(":")[2].split("|")]
                if len(fields) == 3 and fields[2] == module:
                    return int(fields[1]) * 1000
            raise RuntimeError(f"no import time for {module}:\n{err}")

        for module in modules.values():  # byte-code caches written, files in the page cache
            run(module)
        out: dict[str, list[float]] = {name: [] for name in modules}
        for order in rotations(list(modules), rounds):
            for name in order:
                out[name].append(run(modules[name]))
    return out


# --- callgrind ----------------------------------------------------------------


def child(contender: str, mode: str, n: int) -> None:
    """Runs under callgrind: warm-up, then n calls through the marker."""
    if contender == "module":
        from tamsel.utils._machine_utils import get_machine_id as f
    else:
        from pure_python_machine_id import get_machine_id as f
    if mode == "fallback":
        module: Any = sys.modules[f.__module__]
        module.platform = FailingPlatform()
    prepare: Callable[[], None] = (lambda: None) if mode == "cached" else remove_cache
    for _ in range(WARM_UP):
        prepare()
        f()
    import _marker  # type: ignore[import-not-found]  # compiled by build_marker() for this run

    for _ in range(n):
        prepare()
        _marker.call(f)


def parse_callgrind(path: str) -> dict[str, Any]:
    """Self cost per object, and per function; calls made from each object."""
    names: dict[tuple[str, str], str] = {}  # (kind, id) -> name; kinds: "ob" (also cob) and "fn" (also cfn)
    kind_of = {"ob": "ob", "cob": "ob", "fn": "fn", "cfn": "fn"}

    def name(kind: str, value: str) -> str:
        m = re.match(r"\((\d+)\)(?: (.*))?$", value)
        if not m:
            return value
        key = (kind_of[kind], m.group(1))
        if m.group(2) is not None:
            names[key] = m.group(2)
        return names[key]

    p: dict[str, Any] = {
        "total": 0,
        "ob": collections.Counter(),
        "fn": collections.Counter(),
        "calls": collections.Counter(),
        "incl": collections.Counter(),
    }
    ob = fn = cfn = None
    after_calls = 0
    with open(path) as f:
        for line in f:
            if line[0] in "0123456789+-*":
                parts = line.split()
                cost = int(parts[1]) if len(parts) > 1 else 0
                if after_calls:
                    p["calls"][(ob, fn, cfn)] += after_calls
                    p["incl"][(ob, fn, cfn)] += cost
                    after_calls = 0
                else:
                    p["ob"][ob] += cost
                    p["fn"][(ob, fn)] += cost
                continue
            key, _, value = line.rstrip("\n").partition("=")
            if key == "ob":
                ob = name(key, value)
            elif key == "fn":
                fn = name(key, value)
            elif key == "cob":
                name(key, value)
            elif key == "cfn":
                cfn = name(key, value)
            elif key == "calls":
                after_calls = int(value.split()[0])
            elif line.startswith(("totals:", "summary:")):
                p["total"] = int(line.split()[1])
    return p


def build_marker(workdir: str) -> None:
    """Compiles bench/_marker.c into workdir for this interpreter."""
    import sysconfig

    out = os.path.join(workdir, "_marker" + sysconfig.get_config_var("EXT_SUFFIX"))
    cc = os.environ.get("CC") or shutil.which("cc") or "gcc"
    include = "-I" + sysconfig.get_paths()["include"]
    subprocess.run([cc, "-O2", "-shared", "-fPIC", include, os.path.join(HERE, "_marker.c"), "-o", out], check=True)


def callgrind(contender: str, mode: str, n: int, workdir: str) -> dict[str, Any]:
    """The profile of one child run, in a HOME of its own."""
    out = os.path.join(workdir, f"cg.{contender}.{mode}.{n}")
    # The same length and the same last characters for every run: the string
    # work on the path (rstrip of HOME, for one) depends on both.
    home = os.path.join(tempfile.mkdtemp(dir=workdir), "home")
    os.mkdir(home)
    cmd = [
        "valgrind",
        "-q",
        "--tool=callgrind",
        "--collect-atstart=no",
        f"--toggle-collect={MARKER}",
        f"--callgrind-out-file={out}",
        sys.executable,
        os.path.abspath(__file__),
        "--child",
        contender,
        mode,
        str(n),
    ]
    # A fixed hash seed makes the dictionary probes, and so the counts, repeatable.
    env = dict(
        os.environ,
        HOME=home,
        PYTHONHASHSEED="0",
        PYTHONPATH=os.pathsep.join(filter(None, [workdir, os.environ.get("PYTHONPATH")])),
    )
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, env=env)
    p = parse_callgrind(out)
    if p["total"] == 0 or not any(fn == MARKER for (_, fn) in p["fn"]):
        raise RuntimeError(
            f"callgrind counted nothing inside {MARKER} on Python {platform.python_version()}: the marker is not hit"
        )
    return p


def per_call(p1: dict[str, Any], p2: dict[str, Any], n1: int, n2: int) -> dict[str, Any]:
    """The difference of two profiles divided by the difference of their calls."""
    d = {"total": (p2["total"] - p1["total"]) / (n2 - n1)}
    for k in ("ob", "fn", "calls", "incl"):
        d[k] = {key: (p2[k][key] - p1[k].get(key, 0)) / (n2 - n1) for key in p2[k]}
    return d


def is_module(ob: str | None) -> bool:
    return ob is not None and "_machine_utils" in os.path.basename(ob)


def profile(runs: dict[int, dict[str, Any]], n1: int, n2: int) -> dict[str, Any]:
    """Per-call figures from the runs with n1 and n2 calls."""
    p = per_call(runs[n1], runs[n2], n1, n2)
    own = sum(v for ob, v in p["ob"].items() if is_module(ob))
    creates: collections.Counter[str] = collections.Counter()
    for (ob, _, cfn), v in p["calls"].items():
        if is_module(ob) and CREATES.match(cfn or "") and v >= 0.5:
            creates[cfn] += v
    allocs = sum(
        v for (_, fn, cfn), v in p["calls"].items() if cfn in ALLOCATORS or (cfn in RAW and fn not in ALLOCATORS)
    )
    return {"instr": p["total"], "own": own, "creates": creates, "allocs": allocs, "profile": p}


def fmt_creates(creates: dict[str, float]) -> str:
    return ", ".join(f"{cfn} x{v:.0f}" for cfn, v in sorted(creates.items())) or "none"


def explain(prof: dict[str, Any], top: int = 10) -> None:
    """What the module's own code costs, and what the services it calls cost."""
    p = prof["profile"]
    own = sorted(((v, fn) for (ob, fn), v in p["fn"].items() if is_module(ob) and v >= 0.5), reverse=True)
    print("    self cost of the module's functions (instr/call):")
    for v, fn in own[:top]:
        print(f"      {v:9.1f}  {shorten(fn)}")
    mine = {fn for (ob, fn) in p["fn"] if is_module(ob)}
    callees: collections.Counter[str] = collections.Counter()
    counts: collections.Counter[str] = collections.Counter()
    for (ob, fn, cfn), v in p["incl"].items():
        if is_module(ob) and cfn not in mine:
            callees[cfn] += v
            counts[cfn] += p["calls"][(ob, fn, cfn)]
    print("    interpreter functions the module's code calls (calls/call, inclusive instr/call):")
    for cfn, v in callees.most_common(top):
        print(f"      {counts[cfn]:5.1f} {v:9.1f}  {shorten(cfn)}")


def shorten(fn: str) -> str:
    fn = fn.replace("(anonymous namespace)::", "")
    return fn if len(fn) < 100 else fn[:97] + "..."


# --- main ---------------------------------------------------------------------


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quick", action="store_true", help="fewer timing rounds, for a smoke run")
    ap.add_argument("--no-timing", action="store_true", help="instruction counts only (no wall-clock or import timing)")
    ap.add_argument("--json", metavar="FILE", help="also write this version's summary row and target results to FILE")
    ap.add_argument("--child", nargs=3, metavar=("CONTENDER", "MODE", "N"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        child(args.child[0], args.child[1], int(args.child[2]))
        return 0

    home = tempfile.mkdtemp(prefix="tamsel-bench-home-")
    os.environ["HOME"] = home
    try:
        return run(args.quick, home, not args.no_timing, args.json)
    finally:
        shutil.rmtree(home, ignore_errors=True)


def run(quick: bool, home: str, timing: bool = True, json_path: str | None = None) -> int:
    native, pure, contenders = load()
    scale = 5 if quick else 1
    print(f"python {sys.version.split()[0]} ({sys.executable}), {os.cpu_count()} cpus, HOME={home}")
    print(f"module: {native.__file__}")

    # Both derive the same identifier, regular and fallback alike.
    same = []
    for fail in (False, True):
        ids = []
        for module in (native, pure):
            remove_cache()
            module.platform = FailingPlatform() if fail else platform
            ids.append(module.get_machine_id())
        native.platform = pure.platform = platform
        same.append(ids[0] == ids[1])
    print(f"same identifier as the pure-Python equivalent: regular {same[0]}, fallback {same[1]}")

    remove_cache()
    native.get_machine_id()
    wall = {}  # mode -> (median, low, high) of the module's per-round ratio to pure Python
    if timing:
        wall["cached"] = report("cached call, per call", time_batches(contenders, 200 // scale, 200))["module"]
        wall["regular"] = report(
            "regular derivation (no cache file), per call", time_singles(contenders, 1000 // scale, remove_cache)
        )["module"]
        both = {k: contenders[k] for k in ("module", "pure-python")}
        native.platform = pure.platform = FailingPlatform()
        try:
            wall["fallback"] = report(
                "fallback derivation (platform.system() raises), per call",
                time_singles(both, 1000 // scale, remove_cache),
            )["module"]
        finally:
            native.platform = pure.platform = platform
        wall["import"] = report(
            "import in a fresh process (-X importtime, cumulative, its own imports included)",
            import_times(40 // scale),
            unit=1e6,
            unit_name="ms",
        )["module"]

    # Wide enough that the cyclic collector's runs (every few hundred calls)
    # average out.
    n1, n2 = (100, 600) if quick else (200, 1700)
    print(f"\ncallgrind: per call, (I({n2}) - I({n1})) / {n2 - n1}, collected inside {MARKER} only")
    workdir = tempfile.mkdtemp(prefix="tamsel-bench-cg-")
    try:
        build_marker(workdir)
        jobs = [
            (c, m, n) for m in ("cached", "regular", "fallback") for c in ("module", "pure-python") for n in (n1, n2)
        ]
        with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
            runs = dict(zip(jobs, pool.map(lambda job: callgrind(job[0], job[1], job[2], workdir), jobs)))
        prof = {(c, m): profile({n: runs[c, m, n] for n in (n1, n2)}, n1, n2) for c, m, _ in jobs}
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    for (c, m), r in prof.items():
        share = f"module's own {r['own']:6.0f} ({100 * r['own'] / r['instr']:.2f}%)" if c == "module" else ""
        print(f"  {m:8s} {c:12s} {r['instr']:8.0f} instr  {r['allocs']:5.1f} allocations  {share}")
    print("  objects the module's own code creates per call (direct calls of constructors):")
    for m in ("cached", "regular", "fallback"):
        print(f"    {m:8s} {fmt_creates(prof['module', m]['creates'])}")

    print("\ntargets")
    results = []

    def target(label: str, ok: bool) -> None:
        results.append(ok)
        print(f"  {'PASS' if ok else 'MISS'}  {label}")

    mc, pc = prof["module", "cached"], prof["pure-python", "cached"]
    for m in ("cached", "regular"):
        r = prof["module", m]
        target(
            f"(a) module's own share of a {m} call: {100 * r['own'] / r['instr']:.2f}% (<= 1%)",
            r["own"] <= 0.01 * r["instr"],
        )
    saving = 1 - mc["instr"] / pc["instr"]
    if MIN_SAVING >= 0:
        target(
            f"(b) cached call: {100 * saving:.2f}% fewer instructions than pure Python "
            f"(>= {100 * MIN_SAVING:g}% on {PY})",
            saving >= MIN_SAVING,
        )
    else:
        target(
            f"(b) cached call: {-100 * saving:+.2f}% instructions against pure Python "
            f"(<= {-100 * MIN_SAVING:+g}% on {PY})",
            saving >= MIN_SAVING,
        )
    if "cached" in wall:
        ratio, lo, hi = wall["cached"]
        target(
            f"(b) cached call: wall-clock ratio to pure Python x{ratio:.3f} [95% CI {lo:.3f} .. {hi:.3f}]"
            f" (no worse: median <= 1, or CI reaching below 1)",
            ratio <= 1.0 or lo < 1.0,
        )
    target(
        f"(c) cached call: objects created by the module's code: {fmt_creates(mc['creates'])}; "
        f"allocations {mc['allocs']:.1f} vs pure Python {pc['allocs']:.1f}",
        not mc["creates"] and mc["allocs"] <= pc["allocs"],
    )
    for m in ("regular", "fallback"):
        made = {k: v for k, v in prof["module", m]["creates"].items() if k not in PER_CALL}
        target(
            f"(c) {m} call: constants created by the module's code: {fmt_creates(made)} "
            f"(per-call values such as {' and '.join(sorted(PER_CALL))} not counted)",
            not made,
        )
    for m in ("cached", "regular", "fallback"):
        print(f"\n  where the module's {m} call goes:")
        explain(prof["module", m])
    print(f"\n{sum(results)} of {len(results)} targets met")

    row = summary(prof, wall)
    print(f"\nsummary row ({' | '.join(ROW_COLUMNS)}):\n{format_row(row)}")
    if json_path:
        row.update(targets_met=sum(results), targets=len(results), all_met=all(results))
        with open(json_path, "w") as f:
            json.dump(row, f, indent=1)
    return 0


# --- the per-version summary ----------------------------------------------------

PY = "CPython " + ".".join(map(str, sys.version_info[:2]))
ROW_COLUMNS = (
    "version",
    "cached instr: module vs pure Python",
    "own code: cached / regular",
    "regular instr: module vs pure Python",
    "fallback instr: module vs pure Python",
    "wall clock vs pure Python: cached / regular / fallback",
)


def summary(prof: dict[tuple[str, str], dict[str, Any]], wall: dict[str, tuple[float, float, float]]) -> dict[str, Any]:
    """This version's figures, as plain numbers."""
    row: dict[str, Any] = {"python": platform.python_version(), "minor": ".".join(map(str, sys.version_info[:2]))}
    for m in ("cached", "regular", "fallback"):
        mod, pure = prof["module", m], prof["pure-python", m]
        row[m] = {
            "module": round(mod["instr"]),
            "pure": round(pure["instr"]),
            "diff_percent": round(100 * (mod["instr"] / pure["instr"] - 1), 2),
            "own": round(mod["own"]),
            "own_percent": round(100 * mod["own"] / mod["instr"], 2),
        }
    row["wall"] = {m: round(r[0], 3) for m, r in wall.items()}
    row["min_saving_percent"] = 100 * MIN_SAVING
    return row


def format_row(row: dict[str, Any]) -> str:
    """One Markdown table row, with the columns of ROW_COLUMNS."""

    def versus(m: str) -> str:
        r = row[m]
        return f"{r['module']:,} vs {r['pure']:,} ({r['diff_percent']:+.2f}%)"

    wall = " / ".join(f"x{row['wall'][m]:.3f}" if m in row["wall"] else "-" for m in ("cached", "regular", "fallback"))
    return (
        f"| {row['python']} | {versus('cached')} | {row['cached']['own_percent']:.2f}% / "
        f"{row['regular']['own_percent']:.2f}% | {versus('regular')} | {versus('fallback')} | {wall} |"
    )


if __name__ == "__main__":
    sys.exit(main())
