"""The fault-injecting harness of the robustness children (test_robustness.py).

MACHINE is the fake machine of fake_machine.py with every value a fake hands
out wrapped so that the module's uses of it are calls too: text (strip, split,
`in`, truth, ==), exists() answers (truth) and numbers (str()). Every fake
call is an injection point: prepare() names the calls that fail. The probe
packages come from MACHINE's import hook, their imports being points as well,
and `open` is MACHINE.open from the module's import on.

The scenarios: C (an identifier is stored), L (Linux), M (macOS), W (Windows).
"""

from __future__ import annotations

import gc
import importlib.util
import json
import os
import sys
import tempfile
from importlib.machinery import ModuleSpec
from types import ModuleType
from typing import Any, Callable

from _helpers import NODE, SCALE, cache_file
from fake_machine import LINUX_FILES, FakeMachine

STORED = "stored-id"
ITEMS = {"Linux": ["m-one", "m-two", "u-uuid", "b-serial"], "Darwin": ["U-1", "S-1"], "Windows": ["1234", "B-1", "B-2"]}
SCEN = {"C": "Linux", "L": "Linux", "M": "Darwin", "W": "Windows"}  # C: an identifier is stored
STEP = max(1, round(1 / SCALE))  # every STEP-th allocation is swept


# The wrapped values are used as the module uses them, which is narrower than
# what the classes they derive from accept.
class Text(str):
    def strip(self) -> Any:  # type: ignore[override]
        return MACHINE.on("strip", str.strip(self))

    def split(self, sep: str) -> Any:  # type: ignore[override]
        return MACHINE.on("split", [Text(s) for s in str.split(self, sep)])

    def __contains__(self, s: str) -> Any:  # type: ignore[override]
        return MACHINE.on("in", str.__contains__(self, s))

    def __bool__(self) -> Any:
        return MACHINE.on("bool", len(self) > 0)

    def __eq__(self, other: object) -> Any:
        return MACHINE.on("eq", str.__eq__(self, other))

    __hash__ = str.__hash__


class Flag(int):  # what exists() returns, so that its truth test can fail
    def __bool__(self) -> Any:
        return MACHINE.on("truth", int(self) != 0)


class Num(int):
    def __str__(self) -> Any:
        return MACHINE.on("str", int.__repr__(self))


class Injecting(FakeMachine):
    def text(self, value: Any) -> Any:
        return Text(value) if type(value) is str else value

    def flag(self, value: bool) -> Any:
        return Flag(value)


MACHINE = Injecting()
MACHINE.record = False  # nothing is kept from one call to the next
MACHINE.node, MACHINE.volume = Num(NODE), ("C", Num(1234))
MACHINE.profiler = "  Hardware UUID: U-1\n  Serial Number (system): S-1\n  Model: x\n"
SERIALS = ("B-1", "", "B-2")
NOT_TEXT = (Num(7),) * 3  # the serials of the fault "nonstr"


def cache_text() -> str | None:
    try:
        return cache_file().read_text()
    except OSError:
        return None


def fixture() -> None:  # the four probe files, in a new directory
    d = tempfile.mkdtemp()
    for i, (probe, text) in enumerate(zip(LINUX_FILES, ITEMS["Linux"])):
        MACHINE.files[probe] = os.path.join(d, f"probe{i}")
        with open(MACHINE.files[probe], "w") as f:
            f.write(f"  {text}\n")


def load(module: ModuleType | None = None) -> ModuleType:
    """The module (imported now unless given) with MACHINE's fakes."""
    fixture()
    MACHINE.serve()
    module = module or MACHINE.import_module()
    module.__dict__.update(MACHINE.namespace)
    MACHINE.module = module
    return module


def prepare(scen: str, faults: str = "", reimport: bool = True) -> None:
    """Sets up scenario `scen` for the next call. Faults "site:n" fail the n-th
    call of the site ("+" joins several; "nonstr:1" makes the BIOS serials
    numbers); with `reimport` the probe packages are imported afresh."""
    MACHINE.system_name = Text(SCEN[scen])
    MACHINE.seen.clear()
    MACHINE.faults.clear()
    for fault in faults.split("+") if faults else ():
        site, n = fault.split(":")
        MACHINE.faults.setdefault(site, set()).add(int(n))
    MACHINE.serials = NOT_TEXT if "nonstr" in MACHINE.faults else SERIALS
    for name in MACHINE.packages if reimport else ():
        sys.modules.pop(name, None)
    path = cache_file()
    if scen == "C":
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(STORED)
    elif path.is_file():
        path.unlink()


def call_state(m: ModuleType) -> tuple[object, str | None, bool]:
    """One call, made inside an `except` block of the caller's own: its
    result (or exception and context types), the cache file's text, and
    whether the caller's handled exception is untouched."""
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
    """The child's last line: what went wrong (bad) and its figures."""
    print(json.dumps(dict(bad=bad, **stats)))


# From 3.11 two interpreter bugs sit in the failing window, so the sweeps keep
# clear of them: the evaluation loop retries forever when it cannot allocate
# the int it pushes while unwinding into a handler (gh-132508), which the import
# system's own Python code does, so the probes' imports find their modules
# already imported there (import failures are covered by call_sites); and in
# 3.12.1 and 3.13.0 a function object that cannot be allocated releases its
# code object once too often (gh-122752), so the fakes create no functions.
REIMPORT_UNDER_OOM = sys.version_info < (3, 11)


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
