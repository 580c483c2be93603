"""Deriving the identifier: dispatch, fallback, name lookup, exception state."""

from __future__ import annotations

import builtins
import sys
import traceback
from collections.abc import Iterator
from pathlib import Path
from types import SimpleNamespace as NS
from typing import Any, Callable, NoReturn

import pytest

from _helpers import NODE, cache_file, expected_id, find_leak
from fake_machine import LINUX_FILES, FakeMachine
from tamsel.utils import _machine_utils as mu

NAME = "tamsel.utils._machine_utils"
SOURCE = "tamsel/utils/_machine_utils.cpp"
FIRST_PROBE_CALLS = {"GetVolumeInformation": "windows", "run": "darwin"}


def story(machine: FakeMachine) -> list[str]:
    """The calls of uuid.getnode and platform.system, and the first call of
    each system's probe (as windows, darwin or linux), in order."""
    out = []
    for call in machine.calls:
        if call.site in ("getnode", "system"):
            out.append(call.site)
        elif call.site in FIRST_PROBE_CALLS:
            out.append(FIRST_PROBE_CALLS[call.site])
        elif call.site == "exists" and call.args == (LINUX_FILES[0],):
            out.append("linux")
    return out


@pytest.mark.parametrize(
    ("system", "node", "items", "probe"),
    [
        ("Windows", NODE, ["1234", "SN1"], "windows"),
        ("Darwin", NODE, ["D7"], "darwin"),
        ("Linux", NODE, [], "linux"),
        ("windows", NODE, [], "linux"),
        ("Darwin ", NODE, [], "linux"),
        ("FreeBSD", NODE, [], "linux"),
        ("", NODE, [], "linux"),
        ("Darwin", "x", ["ab", "c"], "darwin"),
        ("Darwin", "x", ["a", "bc"], "darwin"),
        ("Darwin", 7, ["é€", "𝄞 ü"], "darwin"),
        ("Darwin", 2**48 - 1, ["C", "B", "A"], "darwin"),
    ],
)
def test_regular_identifier(machine: FakeMachine, system: str, node: object, items: list[str], probe: str) -> None:
    machine.system_name, machine.node = system, node
    machine.profiler = "\n".join(f"Serial Number: {item}" for item in items)
    result = mu.get_machine_id()
    assert result == expected_id(items, node) == cache_file().read_text() == machine.reference()
    assert story(machine) == ["getnode", "system", *(["system"] if probe != "windows" else []), probe]


FALLBACKS: dict[str, Callable[[FakeMachine, pytest.MonkeyPatch], None]] = {
    "system raises": lambda m, mp: setattr(m, "system_name", RuntimeError("probe")),
    "KeyboardInterrupt": lambda m, mp: setattr(m, "system_name", KeyboardInterrupt()),
    "SystemExit": lambda m, mp: setattr(m, "system_name", SystemExit(3)),
    "platform missing": lambda m, mp: mp.delattr(mu, "platform"),
    "lone surrogate": lambda m, mp: m.__dict__.update(system_name="Darwin", profiler="Serial Number: a\ud800b"),
    "non-text item": lambda m, mp: m.__dict__.update(system_name="Windows", serials=(5,)),
    "sha256 fails once": lambda m, mp: m.faults.update(sha256={1}),
}


@pytest.mark.parametrize("case", FALLBACKS)
def test_fallback_identifier(machine: FakeMachine, monkeypatch: pytest.MonkeyPatch, case: str) -> None:
    FALLBACKS[case](machine, monkeypatch)
    try:
        result = mu.get_machine_id()
    except BaseException as exc:  # interruptions must be absorbed too
        pytest.fail(f"get_machine_id raised {exc!r}")
    assert result == expected_id() == cache_file().read_text() == machine.reference()
    assert machine.sites("getnode") == ["getnode"] * 2  # the node piece, then the fallback
    assert sys.exc_info() == (None, None, None)


def module_entries(exc: BaseException) -> list[tuple[str, str]]:
    tb = traceback.extract_tb(exc.__traceback__)
    return [(e.name, e.filename) for e in tb if e.name.startswith(NAME)]


@pytest.mark.parametrize(
    ("missing", "raised", "discarded"),
    [
        (None, (OSError, "getnode 2"), (OSError, "getnode 1")),
        ("uuid", (NameError, "name 'uuid' is not defined"), (NameError, "name 'uuid' is not defined")),
        ("platform", (OSError, "getnode 2"), (NameError, "name 'platform' is not defined")),
    ],
)
def test_failing_fallback_raises(
    machine: FakeMachine,
    monkeypatch: pytest.MonkeyPatch,
    missing: str | None,
    raised: tuple[type[Exception], str],
    discarded: tuple[type[Exception], str],
) -> None:
    machine.error = OSError  # "getnode <n>" at the n-th call
    machine.faults["getnode"] = {2} if missing == "platform" else {1, 2}
    if missing:
        monkeypatch.delattr(mu, missing)
    with pytest.raises(raised[0]) as info:
        mu.get_machine_id()
    exc, context = info.value, info.value.__context__
    assert (str(exc), type(context), str(context)) == (raised[1], *discarded)
    assert context is not None
    # Innermost last: the discarded failure came from inside the dispatch.
    assert module_entries(exc) == [(NAME + ".get_machine_id", SOURCE)]
    assert module_entries(context) == [(NAME + ".get_machine_id", SOURCE), (NAME + "._get_stable_system_info", SOURCE)]
    assert not (Path.home() / ".tamsel").exists()


@pytest.mark.parametrize("name", ["hashlib", "platform", "uuid", "os"])
def test_names_found_among_builtins(machine: FakeMachine, monkeypatch: pytest.MonkeyPatch, name: str) -> None:
    monkeypatch.setattr(builtins, name, getattr(mu, name), raising=False)
    monkeypatch.delattr(mu, name)
    assert mu.get_machine_id() == expected_id()
    assert story(machine) == ["getnode", "system", "system", "linux"]


def test_open_is_fixed_at_import(monkeypatch: pytest.MonkeyPatch) -> None:
    opened: list[tuple[object, ...]] = []

    def fake_open(*args: object, **kwargs: object) -> NoReturn:
        opened.append(args)
        raise OSError("not this open")

    monkeypatch.setattr(builtins, "open", fake_open)
    monkeypatch.setattr(mu, "open", fake_open, raising=False)
    first = mu.get_machine_id()
    stored = cache_file().read_text()  # pathlib opens through io.open
    cache_file().write_text("  abc\n")
    assert (stored, mu.get_machine_id(), opened) == (first, "abc", [])


PATHS: dict[str, Callable[[FakeMachine], None]] = {
    "regular": lambda machine: None,
    "fallback": lambda machine: machine.faults.update(system={1}),
    "raise": lambda machine: machine.__dict__.update(error=OSError, faults={"getnode": {1, 2}}),
}


def call_module() -> None:
    try:
        mu.get_machine_id()
    except OSError:
        pass


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("where", ["plain", "except", "generator"])
def test_handled_exception_state_is_restored(machine: FakeMachine, no_cache: None, path: str, where: str) -> None:
    PATHS[path](machine)

    def generator() -> Iterator[Any]:
        before = sys.exc_info()
        call_module()
        yield before, sys.exc_info()
        yield sys.exc_info()

    gen = generator()
    try:
        raise ValueError("outer")
    except ValueError:
        outer = sys.exc_info()
        if where == "except":
            call_module()
            assert sys.exc_info() == outer
        elif where == "generator":
            assert next(gen) == (outer, outer)
    if where == "plain":
        call_module()
    # Outside the handler, and in the generator resumed there, nothing is handled.
    assert (next(gen) if where == "generator" else sys.exc_info()) == (None, None, None)
    assert machine.sites("getnode") == ["getnode"] * (1 if path == "regular" else 2)


def raising() -> NoReturn:
    raise RuntimeError("probe")  # a new one each time


@pytest.mark.parametrize("path", ["regular", "fallback"])
def test_no_leak_per_call(monkeypatch: pytest.MonkeyPatch, no_cache: None, path: str) -> None:
    if path == "fallback":
        monkeypatch.setattr(mu, "platform", NS(system=raising))

    assert find_leak(mu.get_machine_id, 3000) is None
