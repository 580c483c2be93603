"""The identifier cache file ~/.tamsel/cache/.machine_id."""

from __future__ import annotations

import codecs
import json
import locale
import os
from pathlib import Path
from typing import Callable

import pytest

from _helpers import CHILDREN, block_cache, cache_file, expected_id, find_leak, run_py
from fake_machine import FakeMachine
from tamsel.utils import _machine_utils as mu

DERIVED = expected_id()
ENCODING = locale.getpreferredencoding(False)
UTF8_ONLY = pytest.mark.skipif(codecs.lookup(ENCODING).name != "utf-8", reason="UTF-8 locale")


@pytest.fixture
def machine(machine: FakeMachine) -> FakeMachine:
    """platform.system() fails: every derivation ends in the fallback, the digest of NODE."""
    machine.system_name = RuntimeError("probe")
    return machine


def probes(machine: FakeMachine) -> int:
    return len(machine.sites("getnode", "system"))


@pytest.fixture
def home(_fresh_home: Path) -> Path:
    return _fresh_home


def put(home: Path, data: bytes) -> None:
    cache_file(home).parent.mkdir(parents=True, exist_ok=True)
    cache_file(home).write_bytes(data)


STATES: dict[str, Callable[[Path], object]] = {
    "stored": lambda h: put(h, b"  abc\n"),
    "absent": lambda h: cache_file(h).unlink(missing_ok=True),
    "directory in place": lambda h: cache_file(h).mkdir(parents=True, exist_ok=True),
    "state dir is a file": block_cache,
    "undecodable": lambda h: put(h, b"\xff\xfe\x80"),
}


@pytest.mark.parametrize(
    ("content", "result"),
    [
        pytest.param(None, DERIVED, id="absent"),
        pytest.param("", DERIVED, id="empty"),
        pytest.param(" \n\t \r\n", DERIVED, id="whitespace"),
        pytest.param(b"\xff\xfe\x80", DERIVED, marks=UTF8_ONLY, id="undecodable"),
        pytest.param("  abc\n", "abc", id="padded"),
        pytest.param("two\nlines\n", "two\nlines", id="two lines"),
        pytest.param("\t edited by hand: ünï €\r\n", "edited by hand: ünï €", marks=UTF8_ONLY, id="edited by hand"),
        pytest.param(DERIVED[:7], DERIVED[:7], id="a prefix of the derived id"),
    ],
)
def test_stored_text(
    home: Path, machine: FakeMachine, monkeypatch: pytest.MonkeyPatch, content: str | bytes | None, result: str
) -> None:
    data = content.encode(ENCODING) if isinstance(content, str) else content
    if data is not None:
        put(home, data)
    assert mu.get_machine_id() == result
    derived = result == DERIVED
    assert cache_file(home).read_bytes() == (DERIVED.encode() if derived else data)
    assert (probes(machine) > 0) == derived
    monkeypatch.setattr(mu, "uuid", None)  # from now on any probe (or fallback) raises
    monkeypatch.setattr(mu, "platform", None)
    assert [mu.get_machine_id() for _ in range(2)] == [result] * 2


@pytest.mark.parametrize("state", ["directory in place", "state dir is a file"])
def test_unwritable_cache_derives_on_every_call(home: Path, machine: FakeMachine, state: str) -> None:
    STATES[state](home)
    counts: list[int] = []
    for _ in range(3):
        assert mu.get_machine_id() == DERIVED
        counts.append(probes(machine))
    assert 0 < counts[0] < counts[1] < counts[2]
    assert not cache_file(home).is_file()


def test_reader_and_writer_follow_home(tmp_path: Path, machine: FakeMachine, monkeypatch: pytest.MonkeyPatch) -> None:
    a, b = tmp_path / "a", tmp_path / "b"
    put(a, b"id-of-a")
    b.mkdir()
    probed: list[bool] = []
    for home, expected in [(a, "id-of-a"), (b, DERIVED), (a, "id-of-a"), (b, DERIVED)]:
        monkeypatch.setenv("HOME", str(home))
        before = probes(machine)
        assert mu.get_machine_id() == expected
        probed.append(probes(machine) > before)
    assert probed == [False, True, False, False]
    assert cache_file(a).read_bytes() == b"id-of-a"
    assert cache_file(b).read_bytes() == DERIVED.encode()


@pytest.mark.slow
@pytest.mark.parametrize("state", STATES)
def test_no_leak(home: Path, machine: FakeMachine, state: str) -> None:
    machine.record = False

    def step() -> None:
        STATES[state](home)
        mu.get_machine_id()

    assert find_leak(step, 2000) is None


def test_context_manager_protocol() -> None:
    out = json.loads(run_py(CHILDREN / "cache_file_io.py", args=["three-calls"]).stdout)
    cache_dir = os.path.expanduser("~/.tamsel/cache")
    path = os.path.join(cache_dir, ".machine_id")
    store = [
        ["makedirs", [cache_dir], {"exist_ok": True}],
        ["open", [path, "w"], {}],
        ["enter", [], {}],
        ["write", [DERIVED], {}],
        ["exit", [None] * 3, {}],
    ]
    read = [["open", [path, "r"], {}], ["enter", [], {}], ["read", [], {}]]
    assert out == [
        [DERIVED, store],
        [DERIVED, [*read, ["exit", [None] * 3, {}]]],
        [DERIVED, [*read, ["exit", ["ReadBoom", "ReadBoom", "traceback"], {}], *store]],
    ]


def test_second_process_reads_the_stored_id_and_nothing_else(home: Path, machine: FakeMachine) -> None:
    assert mu.get_machine_id() == DERIVED
    out = json.loads(run_py(CHILDREN / "cache_file_io.py", args=["stored"]).stdout)
    read = [["open", [str(cache_file(home)), "r"], {}], ["enter", [], {}], ["read", [], {}]]
    assert out == [[DERIVED, [*read, ["exit", [None] * 3, {}]]]]
