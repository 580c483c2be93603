"""Robustness of get_machine_id: out-of-memory sweeps, a failure at every call
site, leaks, races and hostile files. Each check runs in a child process that
imports this file as its harness (so a crash fails the test with its signal)
and prints JSON with a list of what went wrong. The harness redirects `open`
before the extension is imported and puts fakes into the module's namespace and
behind an import hook; every fake call is an injection point (`on`).
TAMSEL_TEST_SCALE (default 1) scales loop counts and sweep density (valgrind)."""

from __future__ import annotations

import builtins
import functools
import gc
import hashlib
import importlib.util
import itertools
import json
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter
from collections.abc import Iterator
from importlib.machinery import ModuleSpec
from pathlib import Path
from types import ModuleType, SimpleNamespace as NS
from typing import Any, Callable, TypeVar

import pytest

from _helpers import NODE, block_cache, cache_file, expected_id, find_leak, run_py

TESTS = os.path.dirname(os.path.abspath(__file__))
PROBES = (
    "/etc/machine-id",
    "/var/lib/dbus/machine-id",
    "/sys/class/dmi/id/product_uuid",
    "/sys/class/dmi/id/board_serial",
)
STORED, REAL_OPEN = "stored-id", builtins.open
ITEMS = {"Linux": ["m-one", "m-two", "u-uuid", "b-serial"], "Darwin": ["U-1", "S-1"], "Windows": ["1234", "B-1", "B-2"]}
SCEN = {"C": "Linux", "L": "Linux", "M": "Darwin", "W": "Windows"}  # C: an identifier is stored
FAULT: dict[str, set[int]] = {}  # site -> the calls of it that fail
SEEN: dict[str, int] = {}  # site -> its calls so far
FIX: dict[str, str] = {}  # probe path -> the fixture file read in its place
EXC: list[type[BaseException]] = [Exception]  # what a failing site raises
SYSTEM = ["Linux"]  # what platform.system() answers
SCALE = float(os.environ.get("TAMSEL_TEST_SCALE", "1"))
STEP = max(1, round(1 / SCALE))  # every STEP-th allocation is swept


def on(site: str, value: Any = None) -> Any:  # one call of `site`: raises EXC[0] at the calls FAULT names
    n = SEEN[site] = SEEN.get(site, 0) + 1
    if n in FAULT.get(site, ()):
        raise EXC[0](site)
    return value


# The fakes are called as the module calls them, which is narrower than what
# the classes they derive from accept.
class Text(str):
    def strip(self) -> Any:  # type: ignore[override]
        return on("strip", str.strip(self))

    def split(self, sep: str) -> Any:  # type: ignore[override]
        return on("split", [Text(s) for s in str.split(self, sep)])

    def __contains__(self, s: str) -> Any:  # type: ignore[override]
        return on("in", str.__contains__(self, s))

    def __bool__(self) -> Any:
        return on("bool", len(self) > 0)

    def __eq__(self, other: object) -> Any:
        return on("eq", str.__eq__(self, other))

    __hash__ = str.__hash__


class Flag(int):  # what exists() returns, so that its truth test can fail
    def __bool__(self) -> Any:
        return on("truth", int(self) != 0)


class Num(int):
    def __str__(self) -> Any:
        return on("str", int.__repr__(self))


class File:
    def __init__(self, f: Any) -> None:
        self.f = f

    def __enter__(self) -> Any:
        return on("enter", self)

    def __exit__(self, *exc: object) -> None:
        self.f.close()
        on("exit")

    def read(self) -> Any:
        return on("read", Text(self.f.read()))

    def write(self, s: str) -> Any:
        return on("write") or self.f.write(s)


class Bios:
    def __init__(self, serial: str) -> None:
        self.serial = serial

    SerialNumber = property(lambda self: on("SerialNumber", Num(7) if "nonstr" in FAULT else Text(self.serial)))


class Result:
    def __init__(self, ok: bool) -> None:
        self.out = "  Hardware UUID: U-1\n  Serial Number (system): S-1\n  Model: x\n" * ok

    stdout = property(lambda self: on("stdout", Text(self.out)))


def bioses() -> Iterator[Any]:
    for serial in ("B-1", "", "B-2"):
        yield on("next", Bios(serial))


def win32_bios() -> Any:
    return on("Win32_BIOS", bioses())


class Hash:  # fakes make no function objects during a call (gh-122752, see child_oom)
    def __init__(self, data: bytes) -> None:
        self.h = hashlib.sha256(data)

    def hexdigest(self) -> Any:
        return on("hexdigest", self.h.hexdigest())


def run(argv: object, **kw: object) -> Any:
    ok = argv == ["system_profiler", "SPHardwareDataType"] and kw == {"capture_output": True, "text": True}
    return on("run", Result(ok))


def fake_open(path: str, mode: str = "r") -> Any:
    return on("open") or File(REAL_OPEN(FIX.get(path, path), mode))


FAKES = {
    "subprocess": NS(run=run),
    "win32security": NS(),
    "win32api": NS(GetVolumeInformation=lambda root: on("GetVolumeInformation", ("C", Num(1234 * (root == "C:\\"))))),
    "wmi": NS(WMI=lambda: on("WMI", NS(Win32_BIOS=win32_bios))),
}


def fake_exists(path: str) -> Any:
    return on("exists", Flag(os.path.exists(FIX.get(path, path))))


def fake_makedirs(path: str, exist_ok: bool = False) -> None:
    on("makedirs")
    os.makedirs(path, exist_ok=exist_ok)


NAMESPACE = {
    "os": NS(
        path=NS(
            expanduser=lambda p: on("expanduser", os.path.expanduser(p)),
            join=lambda *p: on("join", os.path.join(*p)),
            exists=fake_exists,
        ),
        makedirs=fake_makedirs,
    ),
    "platform": NS(system=lambda: on("system", Text(SYSTEM[0]))),
    "uuid": NS(getnode=lambda: on("getnode", Num(NODE))),
    "hashlib": NS(sha256=lambda data: on("sha256", Hash(data))),
}


class Finder:  # serves FAKES; each import of one is the injection point named after it
    def find_spec(self, name: str, path: object = None, target: object = None) -> Any:
        # A loader by create_module and exec_module, all that the import system asks of one.
        return on(name, importlib.util.spec_from_loader(name, self)) if name in FAKES else None  # type: ignore[arg-type]

    def create_module(self, spec: ModuleSpec) -> Any:
        return FAKES[spec.name]

    def exec_module(self, module: ModuleType) -> None:
        pass


def cache_path() -> str:
    return str(cache_file())


def cache_text() -> str | None:
    try:
        return cache_file().read_text()
    except OSError:
        return None


def fixture() -> None:  # the four probe files, in a new directory
    d = tempfile.mkdtemp()
    for i, (probe, text) in enumerate(zip(PROBES, ITEMS["Linux"])):
        FIX[probe] = os.path.join(d, f"probe{i}")
        with REAL_OPEN(FIX[probe], "w") as f:
            f.write(f"  {text}\n")


T = TypeVar("T")


def opened(init: Callable[[], T]) -> T:  # init() with `open` redirected: the module keeps the `open` it finds
    builtins.open = fake_open  # type: ignore[assignment]  # a fake that takes what the module passes
    try:
        return init()
    finally:
        builtins.open = REAL_OPEN


def load(module: ModuleType | None = None) -> ModuleType:
    fixture()
    sys.meta_path.insert(0, Finder())
    module = module or opened(lambda: importlib.import_module("tamsel.utils._machine_utils"))
    module.__dict__.update(NAMESPACE)
    return module


def prepare(scen: str, faults: str = "", reimport: bool = True) -> None:
    SYSTEM[0] = SCEN[scen]
    SEEN.clear()
    FAULT.clear()
    for site, n in (f.split(":") for f in faults.split("+") if f):
        FAULT.setdefault(site, set()).add(int(n))
    for name in FAKES if reimport else ():
        sys.modules.pop(name, None)
    if scen == "C":
        os.makedirs(os.path.dirname(cache_path()), exist_ok=True)
        with REAL_OPEN(cache_path(), "w") as f:
            f.write(STORED)
    elif os.path.isfile(cache_path()):
        os.remove(cache_path())


def expect(scen: str, outcome: str) -> tuple[object, str | None, bool]:
    """outcome: the items kept (a = first), R for the exception propagating, S for
    the stored id; then the cache file: = holds the result, - missing, 0 empty."""
    out: object = (
        (EXC[0].__name__,) * 2
        if "R" in outcome
        else STORED
        if "S" in outcome
        else expected_id(ITEMS[SCEN[scen]][ord(c) - 97] for c in outcome if c.islower())
    )
    return out, {"=": out if isinstance(out, str) else None, "-": None, "0": ""}[outcome[-1]], True


def call_state(
    m: ModuleType,
) -> tuple[object, str | None, bool]:  # one call, made inside an `except` block of the caller's own
    try:
        raise LookupError("the caller's")
    except LookupError:
        before = sys.exc_info()
        out: object
        try:
            out = m.get_machine_id()
        except BaseException as e:
            out = (type(e).__name__, type(e.__context__).__name__)
        return out, cache_text(), sys.exc_info() == before


def report(bad: list[Any], **stats: Any) -> None:
    print(json.dumps(dict(bad=bad, **stats)))


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


CALLS = [0]  # the calls child_calls made


def one_call(m: ModuleType, row: list[str], seen: set[tuple[object, str | None, bool]]) -> None:
    prepare(row[0], row[1])
    seen.add(call_state(m))
    CALLS[0] += 1


def child_calls(n_paths: int, n_sites: int) -> None:  # every row with both exception classes, checking for leaks
    m = load()
    bad: list[Any] = []
    held = (m.get_machine_id, m, m.__dict__, m.get_machine_id.__code__, fake_open)
    for _ in range(n_paths):  # the interpreter's own caches settle first (3.10 needs more than half a row)
        prepare("C")
        call_state(m)
    for row, EXC[0] in [(p, Exception) for p in PATHS] + list(itertools.product(SITES, (Exception, KeyboardInterrupt))):
        n, want = n_paths if row in PATHS else n_sites, expect(row[0], row[2])
        seen: set[tuple[object, str | None, bool]] = set()
        leak = find_leak(functools.partial(one_call, m, row, seen), n - n // 2, warmup=n // 2, held=held)
        if seen != {want} or leak:
            bad.append([*row, EXC[0].__name__, repr(seen - {want}), leak])
    sites = {f.split(":")[0] for r in SITES for f in r[1].split("+")}
    report(bad, calls=CALLS[0], cases=len(PATHS) + 2 * len(SITES), sites=len(sites))


def under_limit(op: Callable[[], Any], k: int, stop: int = 0) -> tuple[Any, BaseException | None, bool]:
    """op() with the allocations from the k-th on (up to `stop`) failing:
    (result, exception, whether the limit was reached)."""
    import _testcapi

    box: list[Any] = [None, None, None]
    _testcapi.set_nomemory(k, stop)
    try:
        try:
            box[0] = op()
        except BaseException as e:
            box[1] = e
        box[2] = [None] * 8  # fails once the limit has been reached
    except BaseException:
        pass
    finally:
        _testcapi.remove_mem_hooks()
    gc.collect()  # exceptions in cycles would use up the interpreter's 16 spare MemoryErrors
    return box[0], box[1], box[2] is None


def init(spec: ModuleSpec) -> ModuleType:  # what `import` does once it has found the spec
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)  # type: ignore[union-attr]  # find_spec found it, with its loader
    return module


# From 3.11 two interpreter bugs sit in the failing window, so the sweep keeps
# clear of them: the evaluation loop retries forever when it cannot allocate
# the int it pushes while unwinding into a handler (gh-132508), which the import
# system's own Python code does, so the probes' imports find their modules
# already imported there (import failures are covered by child_calls); and in
# 3.12.1 and 3.13.0 a function object that cannot be allocated releases its
# code object once too often (gh-122752), so the fakes create no functions.
REIMPORT_UNDER_OOM = sys.version_info < (3, 11)


def child_oom(scen: str, faults: str, least: int) -> None:
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


def child_import(start: int) -> None:  # each failed import is retried in the same process
    # Only the extension's own loading is swept: what it imports is imported already.
    import platform  # noqa: F401

    import tamsel.utils  # noqa: F401

    if not REIMPORT_UNDER_OOM:  # gh-132508: see child_oom
        import hashlib  # noqa: F401
        import uuid  # noqa: F401
    block_cache()
    spec = importlib.util.find_spec("tamsel.utils._machine_utils")
    assert spec is not None
    errors: Counter[str] = Counter()
    bad: list[Any] = []
    import_it = functools.partial(opened, functools.partial(init, spec))  # no function made in the window
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


# From 3.11 PyType_FromSpec returns NULL with no exception set when it cannot
# allocate the copy of the type's name (a PyMem_Malloc whose failure it does not
# report); the import then fails with a SystemError saying so.
NO_EXCEPTION = "returned NULL without setting an exception"

# CPython 3.13.0 itself crashes at two later points of PyType_FromSpec, counted
# from that one (`anchor`: the first point that fails with a SystemError or a
# crash). While the type's members and getters go into its dict,
# PyDict_SetDefaultRef (dict_setdefault_ref_lock_held, Objects/dictobject.c)
# ignores that insert_combined_dict could not allocate the resized keys: it
# returns 0 and counts the entry in ma_used although dk_nentries did not grow,
# so the next resize (build_indices_unicode) reads the entry past the last one
# and dereferences a NULL or stale key.
INTERPRETER_CRASHES = {(3, 13, 0): {18, 29}}.get(sys.version_info[:3], set())


def import_once(import_it: Callable[[], ModuleType], k: int) -> list[Any]:
    """In a fork: the k-th allocation alone fails; a failed import is retried."""
    import _testcapi

    _testcapi.set_nomemory(k, k + 1)
    m: ModuleType | None = None
    e: BaseException | None = None
    try:
        m = import_it()
    except BaseException as exc:
        e = exc
    try:  # past the import's last allocation, the k-th one is still to come
        for _ in range(k + 2):
            bytearray(1)
        past = False
    except MemoryError:
        past = True
    _testcapi.remove_mem_hooks()
    accepted = isinstance(e, MemoryError) or (isinstance(e, SystemError) and str(e).endswith(NO_EXCEPTION))
    if m is None and accepted:
        m = import_it()
    prepare("L")
    good = m is not None and load(m).get_machine_id() == expected_id(ITEMS["Linux"])
    return [type(e).__name__ if e else "none", str(e)[-300:], past, good]


def child_import_single() -> None:  # every point of the first import, each in a fork of this process
    import hashlib  # noqa: F401 (imported already, as in child_import)
    import platform  # noqa: F401
    import uuid  # noqa: F401

    import tamsel.utils  # noqa: F401

    block_cache()
    spec = importlib.util.find_spec("tamsel.utils._machine_utils")
    assert spec is not None
    errors: Counter[str] = Counter()
    bad: list[Any] = []
    k, anchor = 0, None
    import_it = functools.partial(opened, functools.partial(init, spec))
    while k < 20000:
        out, into = os.pipe()
        pid = os.fork()
        if pid == 0:
            try:
                os.write(into, json.dumps(import_once(import_it, k)).encode())
            except BaseException as e:
                os.write(into, json.dumps(["harness", repr(e), False, False]).encode())
            finally:
                os._exit(0)
        os.close(into)
        with os.fdopen(out) as f:
            text = f.read()
        status = os.waitpid(pid, 0)[1]
        signalled = os.WIFSIGNALED(status) and signal.Signals(os.WTERMSIG(status)).name
        name, message, past, good = json.loads(text) if text else [str(signalled or status), "", False, False]
        if past:
            break
        anchor = k if anchor is None and (signalled or name == "SystemError") else anchor
        if signalled and anchor is not None and k - anchor in INTERPRETER_CRASHES:
            name = "skipped"
        errors[str(name)] += 1
        bad += [] if good or name == "skipped" else [[k, name, message]]
        k += STEP
    report(bad, swept=k, errors=errors)


def child_threads(rounds: int, n: int) -> None:  # n threads race the first call, again and again
    m, want = load(), expected_id(ITEMS["Linux"])
    bad: list[Any] = []
    sys.setswitchinterval(1e-6)
    for _ in range(rounds):
        prepare("L")
        barrier = threading.Barrier(n)
        out: list[str] = []
        threads = [
            threading.Thread(target=lambda b=barrier, o=out: (b.wait(), o.append(m.get_machine_id()))) for _ in range(n)
        ]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        bad += [] if (out, cache_text()) == ([want] * n, want) else [[sorted(set(out)), len(out), cache_text()]]
    report(bad, calls=rounds * n)


def child_racer(ready: str, go: str, calls: int) -> None:
    m = load()
    REAL_OPEN(f"{ready}.{os.getpid()}", "w").close()
    while not os.path.exists(go):
        time.sleep(0.001)
    report([], seen=sorted({m.get_machine_id() for _ in range(calls)}))


def child_rewriter(stop: str) -> None:  # deletes the cache file and puts a stored text in its place, again and again
    path, end = cache_path(), time.time() + 60
    os.makedirs(os.path.dirname(path), exist_ok=True)
    while not os.path.exists(stop) and time.time() < end:
        if os.path.exists(path):
            os.remove(path)
        with REAL_OPEN(path + ".new", "w") as f:
            f.write(f" {STORED}\n")
        os.rename(path + ".new", path)


# Hostile files, and whether each is a failure, a skip or a text kept (stripped).
KINDS = {
    "dir": "fail",
    "dangling": "skip",
    "loop": "skip",
    "undecodable": "fail",
    "nul": "keep",
    "blank": "skip",
    "huge": "keep",
}
DATA = {"undecodable": b" \xff\xfe id\n", "nul": b" a\0b \n", "blank": b" \t\r\n\n ", "huge": b"x" * 10_000_000 + b"\n"}


def plant(path: str, kind: str) -> None:
    if os.path.lexists(path):
        os.remove(path)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if kind in ("dangling", "loop"):
        os.symlink(path + ".gone" if kind == "dangling" else path, path)
        return
    if kind == "dir":
        os.mkdir(path)
    if kind in DATA:
        REAL_OPEN(path, "wb").write(DATA[kind])


def child_bad_input() -> None:
    m = load()
    bad: list[Any] = []
    cases: list[tuple[Any, str]] = [("cachedir", "dir"), *itertools.product(["cache", 0, 1, 2, 3], KINDS)]
    for target, kind in cases:
        os.environ["HOME"] = tempfile.mkdtemp()
        fixture()
        prepare("L")
        items, fate = list(ITEMS["Linux"]), KINDS[kind]
        kept = DATA.get(kind, b"").decode().strip() if fate == "keep" else None
        if target == "cachedir":  # ~/.tamsel/cache is a file
            plant(os.path.dirname(cache_path()), "nul")
        elif target == "cache":
            plant(cache_path(), kind)
        else:
            plant(FIX[PROBES[target]], kind)
            items[target:] = ([kept] if kept else []) + ([] if fate == "fail" and target >= 2 else items[target + 1 :])
        want = kept if target == "cache" and kept else expected_id(items)
        got = [m.get_machine_id() for _ in range(2)]
        bad += [] if got == [want, want] else [[target, kind, [g[:80] for g in got]]]
    report(bad, cases=len(cases))


# ---------------------------------------------------------------- the tests

SLOW = pytest.mark.slow  # the sweeps, the races and the leak loop; hostile files are quick


def child(name: str, *args: object, timeout: float = 600) -> Any:
    code = (
        f"import faulthandler, sys; faulthandler.enable(); sys.path.insert(0, {TESTS!r}); "
        f"import test_robustness as h; h.{name}(*{args!r})"
    )
    tmp = tempfile.mkdtemp(dir=os.environ["HOME"])  # inside the test's temporary HOME
    proc = run_py(code, check=False, timeout=timeout, env={"PYTHONUTF8": "1", "TMPDIR": tmp})
    rc = proc.returncode
    assert rc == 0, f"{name}{args} died: {signal.Signals(-rc).name if rc < 0 else rc}\n{proc.stderr[-4000:]}"
    res = json.loads(proc.stdout.splitlines()[-1])
    print(name, args, {k: v for k, v in res.items() if k != "bad"})
    assert res["bad"] == [], res
    return res


@pytest.mark.parametrize(
    ("name", "args"),
    [
        pytest.param(
            "child_calls", (int(2000 * SCALE), max(4, int(100 * SCALE))), marks=SLOW, id="call_sites_and_leaks"
        ),
        pytest.param("child_bad_input", (), id="hostile_files"),
        pytest.param("child_threads", (5, 16), marks=SLOW, id="threads"),
        pytest.param("child_oom", ("C", "", 40), marks=SLOW, id="oom_cached"),
        pytest.param("child_oom", ("L", "", 200), marks=SLOW, id="oom_linux"),
        pytest.param("child_oom", ("M", "", 100), marks=SLOW, id="oom_macos"),
        pytest.param("child_oom", ("W", "", 115), marks=SLOW, id="oom_windows"),
        pytest.param("child_oom", ("L", "system:1", 50), marks=SLOW, id="oom_fallback"),
    ],
)
def test_robustness(name: str, args: tuple[object, ...]) -> None:
    child(name, *args)


@SLOW
def test_out_of_memory_at_one_allocation_during_import_then_retry() -> None:
    assert child("child_import_single")["swept"] >= 40


@SLOW
def test_out_of_memory_during_import_then_retry() -> None:
    start: int | None = 0
    swept = 0
    while start is not None:  # a new process after each import that succeeded
        res = child("child_import", start)
        start, swept = res["next"], swept + res["swept"]
    assert swept >= 40


def spawn(name: str, *args: object) -> subprocess.Popen[str]:
    code = f"import sys; sys.path.insert(0, {TESTS!r}); import test_robustness as h; h.{name}(*{args!r})"
    return subprocess.Popen([sys.executable, "-c", code], cwd=os.environ["HOME"], stdout=subprocess.PIPE, text=True)


@SLOW
def test_processes_race_the_first_call(tmp_path: Path) -> None:
    procs = [spawn("child_racer", str(tmp_path / "ready"), str(tmp_path / "go"), 3) for _ in range(6)]
    deadline = time.time() + 300
    while len(list(tmp_path.glob("ready.*"))) < 6 and time.time() < deadline:  # all loaded
        time.sleep(0.01)
    (tmp_path / "go").touch()
    outs = [json.loads(p.communicate(timeout=300)[0]) for p in procs]
    want = expected_id(ITEMS["Linux"])
    assert [p.returncode for p in procs] == [0] * 6, outs
    assert all(o["seen"] == [want] for o in outs), outs
    assert cache_text() == want


@SLOW
def test_calls_racing_a_rewriter_see_a_stored_or_derived_id(tmp_path: Path) -> None:
    writer = spawn("child_rewriter", str(tmp_path / "stop"))
    try:
        res = child("child_racer", str(tmp_path / "ready"), cache_path(), int(2000 * SCALE))
    finally:
        (tmp_path / "stop").touch()
        writer.communicate(timeout=300)
    assert res["seen"], res
    assert set(res["seen"]) <= {STORED, expected_id(ITEMS["Linux"])}, res
