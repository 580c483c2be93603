"""The parts of the development tooling that decide on their own: where
scripts/provision.py finds each interpreter (or why it cannot), what pip
settings the Debian root gets, the benchmark table's verdict, and whether
the tests' leak finder tells a leak from a cache that fills late."""

from __future__ import annotations

import importlib.util
import json
import os
import subprocess
import sys
from pathlib import Path
from types import ModuleType

import pytest

REPO_ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture
def provision(monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> ModuleType:
    """scripts/provision.py, with its sources, cache, PATH and pyenv in tmp_path."""
    if not (REPO_ROOT / "scripts" / "provision.py").is_file():
        pytest.skip("needs the project's sources")
    if not sys.platform.startswith("linux"):
        pytest.skip("interpreters are provided on Linux only")
    spec = importlib.util.spec_from_file_location("tamsel_provision", REPO_ROOT / "scripts" / "provision.py")
    assert spec is not None
    assert spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    (tmp_path / "sources").mkdir()
    monkeypatch.setattr(module, "SOURCES", tmp_path / "sources")
    monkeypatch.setattr(module, "CACHE", tmp_path / "cache")
    monkeypatch.setattr(module, "IN_THE_ROOT", False)
    monkeypatch.setattr(module, "pyenv_prefixes", lambda version: [str(tmp_path / "pyenv" / version)])
    monkeypatch.setenv("PATH", f"{tmp_path / 'shims'}:{tmp_path / 'bin'}")
    return module


@pytest.mark.parametrize(
    ("version", "fakes", "sources", "euid", "expected"),
    [
        ("3.12", {"bin/python3.12": "CPython 3.12"}, False, 1000, "bin"),
        # pyenv's shims exist for every version and are passed over for pyenv's own answer.
        ("3.12", {"shims/python3.12": "CPython 3.12", "pyenv/3.12/bin/python3.12": "CPython 3.12"}, False, 0, "pyenv"),
        ("3.12", {"shims/python3.12": "CPython 3.12"}, False, 0, "- not on PATH"),
        ("3.14", {"bin/python3.14": "PyPy 3.14"}, False, 0, "debian-root"),
        ("3.14", {}, False, 1000, "- not root; as root the first run makes a Debian root"),
        ("3.13", {}, True, 0, "- not on PATH"),  # no Debian root for it
        # A python3.14t with the GIL is not the free-threaded build.
        ("3.14t", {"bin/python3.14t": "CPython 3.14"}, True, 0, "build"),
        ("3.14t", {}, True, 1000, "- not root; as root the first run builds them"),
        ("3.14t", {}, False, 0, "- not on PATH, not in pyenv, no CPython 3.14 sources"),
        ("3.14t", {"cache/cpython-3.14.7t/bin/python3.14t": "CPython 3.14t"}, True, 1000, "cache"),
    ],
)
def test_where_each_interpreter_comes_from(
    provision: ModuleType,
    monkeypatch: pytest.MonkeyPatch,
    tmp_path: Path,
    version: str,
    fakes: dict[str, str],
    sources: bool,
    euid: int,
    expected: str,
) -> None:
    monkeypatch.setattr(os, "geteuid", lambda: euid)
    for path, answer in fakes.items():  # interpreters that answer provision.py's probe so
        (tmp_path / path).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / path).write_text(f"#!/bin/sh\necho {answer}\n")
        (tmp_path / path).chmod(0o755)
    if sources:
        (tmp_path / "sources" / "cpython-3.14.6.tar.xz").touch()
        (tmp_path / "sources" / "cpython-3.14.7.tar.xz").touch()
    if expected == "cache":  # our build, stamped with the current recipe
        (tmp_path / "cache" / "cpython-3.14.7t" / provision.STAMP).write_text(provision.recipe("3.14t", False)[3])
        expected = str(tmp_path / "cache" / "cpython-3.14.7t" / "bin")
    elif expected == "bin":
        expected = str(tmp_path / "bin")
    elif expected == "pyenv":
        expected = str(tmp_path / "pyenv" / version / "bin")
    assert provision.where(version).startswith(expected)
    # Only our own builds have ThreadSanitizer.
    assert provision.where(version, tsan=True).startswith(
        "build" if (version, sources, euid) == ("3.14t", True, 0) else "-"
    )


def test_root_pip_config(provision: ModuleType, tmp_path: Path) -> None:
    host = tmp_path / "host"
    (host / "wheels").mkdir(parents=True)
    (host / "ca.pem").write_text("CERT")
    listing = "\n".join(
        [  # in pip's order
            ":env:.timeout='180'",  # the environment wins
            f"global.cert='{host / 'ca.pem'}'",
            f"global.find-links='{host / 'wheels'}'",  # a directory: left out
            f"global.extra-index-url='file://{host / 'wheels'} https://mirror.example/simple'",
            f"global.constraint='{host / 'missing.txt'}'",  # nothing there: left out
            "global.timeout='10'",
            "install.no-compile='1'",
            "not a setting",
        ]
    )
    sysroot = tmp_path / "root"
    conf = provision.pip_conf(sysroot, listing)
    assert conf == (
        f"[global]\ncert = {host / 'ca.pem'}\nextra-index-url = https://mirror.example/simple\n"
        "timeout = 180\n[install]\nno-compile = 1\n"
    )
    assert (sysroot / str(host / "ca.pem").lstrip("/")).read_text() == "CERT"


@pytest.mark.parametrize(("met", "readable", "status"), [(True, True, 0), (False, True, 1), (True, False, 1)])
def test_bench_table_verdict(tmp_path: Path, met: bool, readable: bool, status: int) -> None:
    bench = REPO_ROOT / "bench" / "run.py"
    if not bench.is_file():
        pytest.skip("needs the project's sources")
    figures = {"module": 100, "pure": 110, "diff_percent": -9.09, "own": 1, "own_percent": 1.0}
    row = {
        "python": "3.10.13",
        "free_threaded": False,
        "gil": True,
        "time": {"cached": {"module": [2.5e-5, 1e-6], "pure": [2.6e-5, 1e-6]}, "threads": {}},
        "instructions": dict.fromkeys(("cached", "regular", "fallback"), figures),
        "targets": 7,
        "targets_met": 7 - (not met),
        "all_met": met,
    }
    threads = {c: {"1": [0.01, 0.001], "16": [0.02, 0.002]} for c in ("module", "pure")}
    rows = [tmp_path / "a.json", tmp_path / "b.json", tmp_path / "c.json"]
    rows[0].write_text(
        json.dumps(dict(row, python="3.14.7", free_threaded=True, time={"cached": {}, "threads": threads}))
    )
    rows[1].write_text(json.dumps(dict(row, python="3.9.18", all_met=True)))
    rows[2].write_text(json.dumps(row) if readable else "{")
    proc = subprocess.run(
        [sys.executable, str(bench), "--table", *map(str, rows)], capture_output=True, text=True, env=dict(os.environ)
    )
    assert proc.returncode == status, proc.stdout + proc.stderr
    table = [line for line in proc.stdout.splitlines() if line.startswith("| 3.")]
    # Sorted by version, free-threaded after; an unreadable row is left out.
    assert [line.split()[1] for line in table] == ["3.9.18", *["3.10.13"] * readable, "3.14.7t"]


@pytest.mark.parametrize(
    ("settles_after", "leaks"),
    [
        pytest.param(None, True, id="leak-of-a-block-per-call"),
        pytest.param(400, False, id="cache-that-fills-over-400-calls"),
        pytest.param(0, False, id="nothing-grows"),
    ],
)
def test_find_leak_tells_a_leak_from_a_cache_filling_late(settles_after: int | None, leaks: bool) -> None:
    from _helpers import find_leak

    if sys.getallocatedblocks() == 0:
        pytest.skip("the allocator counts no blocks (PYTHONMALLOC=malloc, as under the sanitizers and valgrind)")
    kept: list[object] = []

    def step() -> None:
        if settles_after is None or len(kept) < settles_after:
            kept.append(object())

    assert (find_leak(step, 50, warmup=50) is not None) is leaks
