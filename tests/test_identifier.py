"""Deriving the identifier: dispatch, fallback, name lookup, exception state."""

from __future__ import annotations

import builtins
import hashlib
import os
import subprocess
import sys
import traceback
from collections.abc import Iterator
from pathlib import Path
from types import SimpleNamespace as NS
from typing import Any, Callable, NoReturn

import pytest

from _helpers import NODE, cache_file, expected_id, find_leak
from tamsel.utils import _machine_utils as mu

NAME = "tamsel.utils._machine_utils"
SOURCE = "tamsel/utils/_machine_utils.cpp"
PROBES = ("windows", "darwin", "linux")


def raising(cls: type[BaseException], *args: object) -> Callable[[], NoReturn]:
    def fail() -> NoReturn:
        raise cls(*args)  # a fresh instance each time

    return fail


class Fakes:
    """Stand-ins for what the module uses, recording the calls in `calls`. The
    Linux machine files look absent, so there the node piece is the only item."""

    def __init__(self, monkeypatch: pytest.MonkeyPatch) -> None:
        self.calls: list[str] = []
        self.profiler = ""
        self.bios: list[Any] = []
        self.getnode: Callable[[], object] = lambda: NODE
        self.system: Callable[[], object] = lambda: "Linux"
        record = self._record
        path = NS(expanduser=os.path.expanduser, join=os.path.join, exists=self._exists)
        monkeypatch.setattr(mu, "os", NS(path=path, makedirs=os.makedirs))
        monkeypatch.setattr(mu, "uuid", NS(getnode=lambda: record("getnode", self.getnode)))
        monkeypatch.setattr(mu, "platform", NS(system=lambda: record("system", self.system)))
        monkeypatch.setattr(subprocess, "run", lambda *a, **k: record("darwin", lambda: NS(stdout=self.profiler)))
        volume = NS(GetVolumeInformation=lambda root: record("windows", lambda: ("label", 4242)))
        monkeypatch.setitem(sys.modules, "win32api", volume)
        monkeypatch.setitem(sys.modules, "win32security", NS())
        monkeypatch.setitem(sys.modules, "wmi", NS(WMI=lambda: NS(Win32_BIOS=lambda: self.bios)))

    def _record(self, what: str, result: Callable[[], Any]) -> Any:
        self.calls.append(what)
        return result()

    def _exists(self, path: str) -> bool:
        if path.startswith(("/etc/", "/var/", "/sys/")):
            return self._record("linux", lambda: False) if path == "/etc/machine-id" else False
        return os.path.exists(path)


@pytest.fixture
def fakes(monkeypatch: pytest.MonkeyPatch) -> Fakes:
    return Fakes(monkeypatch)


@pytest.mark.parametrize(
    ("system", "node", "items", "probe"),
    [
        ("Windows", NODE, ["4242"], "windows"),
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
def test_regular_identifier(fakes: Fakes, system: str, node: object, items: list[str], probe: str) -> None:
    fakes.system, fakes.getnode = (lambda: system), (lambda: node)
    fakes.profiler = "\n".join(f"Serial Number: {item}" for item in items)
    result = mu.get_machine_id()
    assert result == expected_id(items, node) == cache_file().read_text()
    assert [c for c in fakes.calls if c in PROBES] == [probe]
    assert fakes.calls.count("system") == (1 if probe == "windows" else 2)
    assert fakes.calls.count("getnode") == 1


def sha256_fails_once(fakes: Fakes, monkeypatch: pytest.MonkeyPatch) -> None:
    failures = [ValueError("first hash")]

    def sha256(data: bytes) -> hashlib._Hash:
        if failures:
            raise failures.pop()
        return hashlib.sha256(data)

    monkeypatch.setattr(mu, "hashlib", NS(sha256=sha256))


FALLBACKS: dict[str, Callable[[Fakes, pytest.MonkeyPatch], None]] = {
    "system raises": lambda f, mp: setattr(f, "system", raising(RuntimeError, "probe")),
    "KeyboardInterrupt": lambda f, mp: setattr(f, "system", raising(KeyboardInterrupt)),
    "SystemExit": lambda f, mp: setattr(f, "system", raising(SystemExit, 3)),
    "platform missing": lambda f, mp: mp.delattr(mu, "platform"),
    "lone surrogate": lambda f, mp: f.__dict__.update(system=lambda: "Darwin", profiler="Serial Number: a\ud800b"),
    "non-text item": lambda f, mp: f.__dict__.update(system=lambda: "Windows", bios=[NS(SerialNumber=5)]),
    "sha256 fails once": sha256_fails_once,
}


@pytest.mark.parametrize("case", FALLBACKS)
def test_fallback_identifier(fakes: Fakes, monkeypatch: pytest.MonkeyPatch, case: str) -> None:
    FALLBACKS[case](fakes, monkeypatch)
    try:
        result = mu.get_machine_id()
    except BaseException as exc:  # interruptions must be absorbed too
        pytest.fail(f"get_machine_id raised {exc!r}")
    assert result == expected_id() == cache_file().read_text()
    assert fakes.calls.count("getnode") == 2  # the node piece, then the fallback
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
    fakes: Fakes,
    monkeypatch: pytest.MonkeyPatch,
    missing: str | None,
    raised: tuple[type[Exception], str],
    discarded: tuple[type[Exception], str],
) -> None:
    def getnode() -> int:
        number = fakes.calls.count("getnode")
        if missing == "platform" and number == 1:
            return NODE
        raise OSError(f"getnode {number}")

    fakes.getnode = getnode
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
def test_names_found_among_builtins(fakes: Fakes, monkeypatch: pytest.MonkeyPatch, name: str) -> None:
    monkeypatch.setattr(builtins, name, getattr(mu, name), raising=False)
    monkeypatch.delattr(mu, name)
    assert mu.get_machine_id() == expected_id()
    assert fakes.calls == ["getnode", "system", "system", "linux"]


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


PATHS: dict[str, Callable[[Fakes], None]] = {
    "regular": lambda fakes: None,
    "fallback": lambda fakes: setattr(fakes, "system", raising(RuntimeError, "probe")),
    "raise": lambda fakes: setattr(fakes, "getnode", raising(OSError, "node")),
}


def call_module() -> None:
    try:
        mu.get_machine_id()
    except OSError:
        pass


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("where", ["plain", "except", "generator"])
def test_handled_exception_state_is_restored(fakes: Fakes, no_cache: None, path: str, where: str) -> None:
    PATHS[path](fakes)

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
    assert fakes.calls.count("getnode") == (1 if path == "regular" else 2)


@pytest.mark.parametrize("path", ["regular", "fallback"])
def test_no_leak_per_call(monkeypatch: pytest.MonkeyPatch, no_cache: None, path: str) -> None:
    if path == "fallback":
        monkeypatch.setattr(mu, "platform", NS(system=raising(RuntimeError, "probe")))

    assert find_leak(mu.get_machine_id, 3000) is None
