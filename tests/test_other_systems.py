"""The macOS and Windows hardware probes, driven through fakes of the system
packages, with the platform name and the node address faked in the module."""

from __future__ import annotations

import itertools
import sys
import types
from collections.abc import Iterator
from typing import Any

import pytest

from _helpers import NODE, expected_id, find_leak, run_py
from tamsel.utils import _machine_utils as mod

PROFILER_ARGV = ["system_profiler", "SPHardwareDataType"]


@pytest.fixture(autouse=True)
def node(no_cache: None, monkeypatch: pytest.MonkeyPatch) -> None:
    # Nothing is ever stored, so every call probes.
    monkeypatch.setattr(mod, "uuid", types.SimpleNamespace(getnode=lambda: NODE))


def on_system(monkeypatch: pytest.MonkeyPatch, name: str) -> None:
    monkeypatch.setattr(mod, "platform", types.SimpleNamespace(system=lambda: name))


def machine_id_in_handler() -> str:
    """get_machine_id() called while the caller handles an exception of its own."""
    try:
        raise LookupError("the caller's own")
    except LookupError:
        before = sys.exc_info()
        result = mod.get_machine_id()
        assert sys.exc_info() == before
    assert sys.exc_info() == (None, None, None)
    return result


def give(value: Any) -> Any:
    """`value`, or raise it when it is an exception."""
    if isinstance(value, BaseException):
        # From 3.12 a raised instance keeps adding to its own traceback; a
        # fake that raises one instance again and again starts it afresh.
        raise value.with_traceback(None)
    return value


# --------------------------------------------------------------------- macOS


def fake_profiler(monkeypatch: pytest.MonkeyPatch, *outcomes: object) -> list[Any]:
    """A subprocess module whose run() gives the outcomes in turn as stdout."""
    calls: list[Any] = []
    in_turn = itertools.cycle(outcomes)

    def run(*args: Any, **kwargs: Any) -> types.SimpleNamespace:
        # Recorded and checked by the test: an assertion here would be absorbed.
        calls.append(([type(a) for a in args], [list(a) for a in args], list(kwargs.items())))
        if args and type(args[0]) is list:
            args[0].clear()  # a list shared between calls would show up next time
        return types.SimpleNamespace(stdout=give(next(in_turn)), stderr="", returncode=1)

    monkeypatch.setitem(sys.modules, "subprocess", types.SimpleNamespace(run=run))
    return calls


class InterruptedOutput:
    def split(self, separator: str) -> Iterator[str]:
        assert separator == "\n"  # otherwise nothing is collected
        yield "Hardware UUID: U-1"
        raise KeyboardInterrupt


MAC_CASES = {
    "uuid": ("      Hardware UUID: 1234-ABCD", ["1234-ABCD"]),
    "output order": ("Model: M\n Serial Number (system): C02\n Hardware UUID: U-1\n", ["C02", "U-1"]),
    "second colon": ("Hardware UUID: AB:CD", ["AB"]),
    "empty value": ("Serial Number (system):", [""]),
    "no colon stops": ("Serial Number: S1\nHardware UUID\nSerial Number: S2", ["S1"]),
    "two serials": ("Serial Number (system): S1\nSerial Number (board): S2", ["S1", "S2"]),
    "case differs": ("hardware uuid: x\nserial number: y", []),
    "empty output": ("", []),
    "both labels": ("Hardware UUID / Serial Number: X: Y", ["X"]),
    "missing program": (FileNotFoundError(2, "No such file", "system_profiler"), []),
    "interrupted": (KeyboardInterrupt(), []),
    "interrupted mid-output": (InterruptedOutput(), ["U-1"]),
    "stdout None": (None, []),
    "stdout bytes": (b"Hardware UUID: X", []),
}


@pytest.mark.parametrize(("outcome", "pieces"), MAC_CASES.values(), ids=MAC_CASES.keys())
def test_macos_probe(monkeypatch: pytest.MonkeyPatch, outcome: object, pieces: list[str]) -> None:
    on_system(monkeypatch, "Darwin")
    calls = fake_profiler(monkeypatch, outcome)
    assert machine_id_in_handler() == expected_id(pieces)
    assert mod.get_machine_id() == expected_id(pieces)  # a fresh argument list again
    call = ([list], [PROFILER_ARGV], [("capture_output", True), ("text", True)])
    assert calls == [call, call]
    assert all(value is True for _, _, kwargs in calls for _, value in kwargs)


def test_macos_without_subprocess(monkeypatch: pytest.MonkeyPatch) -> None:
    on_system(monkeypatch, "Darwin")
    monkeypatch.setitem(sys.modules, "subprocess", None)
    assert machine_id_in_handler() == expected_id([])


# ------------------------------------------------------------------- Windows


class Bios:
    def __init__(self, serial: object) -> None:
        self.serial = serial

    SerialNumber = property(lambda self: give(self.serial))


def fake_windows(
    monkeypatch: pytest.MonkeyPatch,
    volume: object = ("System", 1234, 255, 0x2FF, "NTFS"),
    serials: tuple[object, ...] = ("SN1",),
    bios: object = None,
    connect: object = None,
    missing: tuple[str, ...] = (),
) -> list[tuple[tuple[Any, ...], dict[str, Any]]]:
    """win32api, win32security and wmi fakes; an exception given for a value is
    raised in its place. Returns the calls of GetVolumeInformation."""
    calls: list[tuple[tuple[Any, ...], dict[str, Any]]] = []

    def get_volume_information(*args: Any, **kwargs: Any) -> Any:
        calls.append((args, kwargs))
        return give(volume)

    connection = types.SimpleNamespace(
        Win32_BIOS=lambda: give(bios) if bios is not None else [Bios(s) for s in serials]
    )
    fakes: dict[str, object] = {
        "win32api": types.SimpleNamespace(GetVolumeInformation=get_volume_information),
        "win32security": types.ModuleType("win32security"),
        "wmi": types.SimpleNamespace(WMI=lambda: give(connect or connection)),
    }
    for name, fake in fakes.items():
        monkeypatch.setitem(sys.modules, name, None if name in missing else fake)
    return calls


FALLBACK = object()  # the pieces cannot be joined: the node piece alone counts

WINDOWS_CASES = {
    "volume then bios": ({}, ["1234", "SN1"]),
    "negative serial": ({"volume": ("", -5), "serials": ()}, ["-5"]),
    "text serial": ({"volume": ["", "AB-12"]}, ["AB-12", "SN1"]),
    "no drive C": ({"volume": OSError(21, "not ready"), "serials": ("B", "A")}, ["B", "A"]),
    "short volume": ({"volume": ("System",)}, ["SN1"]),
    "volume interrupted": ({"volume": KeyboardInterrupt()}, ["SN1"]),
    "no win32api": ({"missing": ("win32api",)}, []),
    "no win32security": ({"missing": ("win32security",)}, []),
    "no wmi": ({"missing": ("wmi",)}, ["1234"]),
    "WMI raises": ({"connect": RuntimeError("rpc")}, ["1234"]),
    "WMI interrupted": ({"connect": SystemExit(1)}, ["1234"]),
    "Win32_BIOS raises": ({"bios": OSError("denied")}, ["1234"]),
    "not iterable": ({"bios": 42}, ["1234"]),
    "falsy serials": ({"serials": (None, "", False, "SN1", 0)}, ["1234", "SN1"]),
    "blanks kept": ({"serials": ("  SN1 ",)}, ["1234", "  SN1 "]),
    "serial order": ({"serials": ("B", "A")}, ["1234", "B", "A"]),
    "third raises": ({"serials": ("S1", "S2", ValueError(), "S4")}, ["1234", "S1", "S2"]),
    "third interrupted": ({"serials": ("S1", "S2", KeyboardInterrupt())}, ["1234", "S1", "S2"]),
    "serial not text": ({"serials": ("S1", 5)}, FALLBACK),
}


@pytest.mark.parametrize(("fakes", "pieces"), WINDOWS_CASES.values(), ids=WINDOWS_CASES.keys())
def test_windows_probe(monkeypatch: pytest.MonkeyPatch, fakes: dict[str, Any], pieces: Any) -> None:
    on_system(monkeypatch, "Windows")
    calls = fake_windows(monkeypatch, **fakes)
    assert machine_id_in_handler() == expected_id([] if pieces is FALLBACK else pieces)
    if {"win32api", "win32security"} & set(fakes.get("missing", ())):
        assert calls == []
    else:
        assert calls == [(("C:\\",), {})]


def test_windows_packages_not_imported_at_load() -> None:
    proc = run_py(
        """
import sys, types
attempts = []
class Recorder:
    def find_spec(self, name, path=None, target=None):
        if name in ("win32api", "win32security", "wmi"):
            attempts.append(name)
for name in ("win32api", "win32security", "wmi"):
    sys.modules.pop(name, None)
sys.meta_path.insert(0, Recorder())
import tamsel.utils._machine_utils as mod
assert attempts == [], attempts
mod.platform = types.SimpleNamespace(system=lambda: "Windows")
mod.get_machine_id()
print(attempts)
"""
    )
    assert proc.stdout.split() == ["['win32api']"]


# --------------------------------------------------------------------- leaks


def test_macos_probe_does_not_leak(monkeypatch: pytest.MonkeyPatch) -> None:
    on_system(monkeypatch, "Darwin")
    calls = fake_profiler(
        monkeypatch,
        "Hardware UUID: U\nSerial Number: S\nHardware UUID",
        None,
        FileNotFoundError(2, "missing"),
        KeyboardInterrupt(),
    )

    def step() -> None:
        mod.get_machine_id()
        calls.clear()

    assert find_leak(step, 3000) is None


def test_windows_probe_does_not_leak(monkeypatch: pytest.MonkeyPatch) -> None:
    on_system(monkeypatch, "Windows")
    calls = fake_windows(monkeypatch, volume=OSError("no C:"), serials=("S1", ValueError()))
    # wmi in turn present, missing, and giving a serial that is no text.
    wmi: Iterator[Any] = itertools.cycle(
        [
            sys.modules["wmi"],
            None,
            types.SimpleNamespace(WMI=lambda: types.SimpleNamespace(Win32_BIOS=lambda: [Bios("S1"), Bios(5)])),
        ]
    )

    def step() -> None:
        sys.modules["wmi"] = next(wmi)
        mod.get_machine_id()
        calls.clear()

    assert find_leak(step, 3000) is None
