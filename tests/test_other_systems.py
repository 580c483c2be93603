"""The macOS and Windows hardware probes, driven through fakes of the system
packages, with the platform name and the node address faked in the module."""

from __future__ import annotations

import itertools
import json
import sys
import types
from collections.abc import Iterator
from typing import Any

import pytest

from _helpers import CHILDREN, expected_id, find_leak, run_py
from fake_machine import PROFILER_ARGV, Bios, FakeMachine
from tamsel.utils import _machine_utils as mod


@pytest.fixture(autouse=True)
def machine(machine: FakeMachine, no_cache: None) -> FakeMachine:
    # Nothing is ever stored, so every call probes.
    return machine


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


def calls_of(machine: FakeMachine, site: str) -> list[tuple[tuple[Any, ...], dict[str, Any]]]:
    return [(call.args, call.kwargs) for call in machine.calls if call.site == site]


# --------------------------------------------------------------------- macOS


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
def test_macos_probe(machine: FakeMachine, outcome: object, pieces: list[str]) -> None:
    machine.system_name, machine.profiler = "Darwin", outcome
    assert machine_id_in_handler() == expected_id(pieces) == machine.reference()
    assert mod.get_machine_id() == expected_id(pieces)  # a fresh argument list again
    call = ((PROFILER_ARGV,), {"capture_output": True, "text": True})  # the list as a list, not a tuple
    assert calls_of(machine, "run") == [call, call]
    assert all(value is True for _, kwargs in calls_of(machine, "run") for value in kwargs.values())


def test_macos_without_subprocess(machine: FakeMachine, monkeypatch: pytest.MonkeyPatch) -> None:
    machine.system_name = "Darwin"
    monkeypatch.setitem(sys.modules, "subprocess", None)
    assert machine_id_in_handler() == expected_id([])


# ------------------------------------------------------------------- Windows


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
    "WMI raises": ({"connection": RuntimeError("rpc")}, ["1234"]),
    "WMI interrupted": ({"connection": SystemExit(1)}, ["1234"]),
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
def test_windows_probe(
    machine: FakeMachine, monkeypatch: pytest.MonkeyPatch, fakes: dict[str, Any], pieces: Any
) -> None:
    machine.system_name = "Windows"
    missing = fakes.get("missing", ())
    machine.__dict__.update((key, value) for key, value in fakes.items() if key != "missing")
    for name in missing:
        monkeypatch.setitem(sys.modules, name, None)
    assert machine_id_in_handler() == expected_id([] if pieces is FALLBACK else pieces) == machine.reference()
    if {"win32api", "win32security"} & set(missing):
        assert calls_of(machine, "GetVolumeInformation") == []
    else:
        assert calls_of(machine, "GetVolumeInformation") == [(("C:\\",), {})]


def test_windows_packages_not_imported_at_load() -> None:
    out = json.loads(run_py(CHILDREN / "windows_packages_imported_late.py").stdout)
    assert out == [[], ["win32api", "win32security", "wmi"]]


# --------------------------------------------------------------------- leaks


def test_macos_probe_does_not_leak(machine: FakeMachine) -> None:
    machine.system_name, machine.record = "Darwin", False
    outputs = ["Hardware UUID: U\nSerial Number: S\nHardware UUID", None, FileNotFoundError(2, "missing")]
    machine.profiler = itertools.cycle([*outputs, KeyboardInterrupt()])
    assert find_leak(mod.get_machine_id, 3000) is None


def test_windows_probe_does_not_leak(machine: FakeMachine) -> None:
    machine.system_name, machine.record = "Windows", False
    machine.volume, machine.serials = OSError("no C:"), ("S1", ValueError())
    # wmi in turn present, missing, and giving a serial that is no text.
    not_text = types.SimpleNamespace(Win32_BIOS=lambda: [Bios(machine, "S1"), Bios(machine, 5)])
    wmi: Iterator[Any] = itertools.cycle([sys.modules["wmi"], None, types.SimpleNamespace(WMI=lambda: not_text)])

    def step() -> None:
        sys.modules["wmi"] = next(wmi)
        mod.get_machine_id()

    assert find_leak(step, 3000) is None
