"""Robustness of get_machine_id: out-of-memory sweeps, a failure at every call
site, leaks, races and hostile files. Each check is a program in
tests/children run in a child process (so a crash fails the test with its
signal), which prints JSON with a list of what went wrong. The programs share
the harness tests/children/injection.py: `open` is redirected before the
extension is imported, fakes go into the module's namespace and behind an
import hook, and every fake call is an injection point. TAMSEL_TEST_SCALE
(default 1) scales loop counts and sweep density (valgrind)."""

from __future__ import annotations

import json
import os
import signal
import tempfile
import time
from pathlib import Path
from typing import Any

import pytest

from _helpers import CHILDREN, SCALE, cache_file, expected_id, run_py, spawn
from children.injection import ITEMS, STORED

SLOW = pytest.mark.slow  # the sweeps, the races and the leak loop; hostile files are quick
LINUX_ID = expected_id(ITEMS["Linux"])


def child(name: str, *args: object, timeout: float = 600) -> Any:
    """What tests/children/<name>.py reports; it must report nothing bad."""
    tmp = tempfile.mkdtemp(dir=os.environ["HOME"])  # inside the test's temporary HOME
    env = {"PYTHONUTF8": "1", "TMPDIR": tmp, "PYTHONFAULTHANDLER": "1"}
    proc = run_py(CHILDREN / f"{name}.py", args=[str(a) for a in args], check=False, timeout=timeout, env=env)
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
            "call_sites", (int(2000 * SCALE), max(4, int(100 * SCALE))), marks=SLOW, id="call_sites_and_leaks"
        ),
        pytest.param("hostile_files", (), id="hostile_files"),
        pytest.param("thread_race", (5, 16), marks=SLOW, id="threads"),
        pytest.param("oom_call", ("C", "", 40), marks=SLOW, id="oom_cached"),
        pytest.param("oom_call", ("L", "", 200), marks=SLOW, id="oom_linux"),
        pytest.param("oom_call", ("M", "", 100), marks=SLOW, id="oom_macos"),
        pytest.param("oom_call", ("W", "", 115), marks=SLOW, id="oom_windows"),
        pytest.param("oom_call", ("L", "system:1", 50), marks=SLOW, id="oom_fallback"),
    ],
)
def test_robustness(name: str, args: tuple[object, ...]) -> None:
    child(name, *args)


@SLOW
def test_out_of_memory_at_one_allocation_during_import_then_retry() -> None:
    assert child("oom_import_one_allocation")["swept"] >= 40


@SLOW
def test_out_of_memory_during_import_then_retry() -> None:
    start: int | None = 0
    swept = 0
    while start is not None:  # a new process after each import that succeeded
        res = child("oom_import", start)
        start, swept = res["next"], swept + res["swept"]
    assert swept >= 40


@SLOW
def test_processes_race_the_first_call(tmp_path: Path) -> None:
    racer = CHILDREN / "first_call_racer.py"
    procs = [spawn(racer, str(tmp_path / "ready"), str(tmp_path / "go"), "3") for _ in range(6)]
    deadline = time.time() + 300
    while len(list(tmp_path.glob("ready.*"))) < 6 and time.time() < deadline:  # all loaded
        time.sleep(0.01)
    (tmp_path / "go").touch()
    outs = [json.loads(p.communicate(timeout=300)[0]) for p in procs]
    assert [p.returncode for p in procs] == [0] * 6, outs
    assert all(o["seen"] == [LINUX_ID] for o in outs), outs
    assert cache_file().read_text() == LINUX_ID


@SLOW
def test_calls_racing_a_rewriter_see_a_stored_or_derived_id(tmp_path: Path) -> None:
    writer = spawn(CHILDREN / "cache_rewriter.py", str(tmp_path / "stop"))
    try:
        res = child("first_call_racer", tmp_path / "ready", cache_file(), int(2000 * SCALE))
    finally:
        (tmp_path / "stop").touch()
        writer.communicate(timeout=300)
    assert res["seen"], res
    assert set(res["seen"]) <= {STORED, LINUX_ID}, res
