"""The parts of the development tooling that decide on their own: how the deep
checks read sanitizer and valgrind logs, what pip settings the Debian root
gets, and the benchmark table's verdict."""

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


@pytest.fixture(scope="module")
def noxfile() -> ModuleType:
    pytest.importorskip("nox", reason="nox comes with the test dependency group")
    if not (REPO_ROOT / "noxfile.py").is_file():
        pytest.skip("needs the project's sources")
    # As the nox in the root imports it: no interpreter is looked for.
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("TAMSEL_IN_ROOT", "1")
        spec = importlib.util.spec_from_file_location("tamsel_noxfile", REPO_ROOT / "noxfile.py")
        assert spec is not None
        assert spec.loader is not None
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
    return module


LSAN_LEAK = "Direct leak of 24 byte(s) in 1 object(s) allocated from:\n    #0 malloc\n"
VG_LOST = "1,024 bytes in 2 blocks are definitely lost in loss record 9 of 9\n   at malloc\n"
MODULE_FRAME = "    #3 get_machine_id _machine_utils.cpp:120\n"
IMPORT_FRAME = "    #2 PyImport_ImportModuleLevelObject\n"


@pytest.mark.parametrize(
    ("record", "leaks", "own_bytes", "errors"),
    [
        (LSAN_LEAK + "    #1 PyList_New\n", 1, 0, 0),  # the interpreter's
        (LSAN_LEAK + MODULE_FRAME, 1, 24, 0),  # the module's
        (LSAN_LEAK + IMPORT_FRAME + MODULE_FRAME, 1, 0, 0),  # an import's, asked for by the module
        (LSAN_LEAK + MODULE_FRAME + IMPORT_FRAME, 1, 24, 0),  # the module's, below an import
        (VG_LOST + MODULE_FRAME, 1, 1024, 0),
        ("Invalid read of size 8\n   at PyDict_GetItem\n", 0, 0, 0),  # memcheck, not the module
        ("Invalid read of size 8\n" + MODULE_FRAME, 0, 0, 1),
        ("ERROR: AddressSanitizer: heap-use-after-free on address 0x1\n", 0, 0, 1),  # wherever
        ("Objects/listobject.c:12:3: runtime error: signed integer overflow\n", 0, 0, 1),
    ],
)
def test_deep_check_logs(
    noxfile: ModuleType, tmp_path: Path, record: str, leaks: int, own_bytes: int, errors: int
) -> None:
    # Two processes' logs, the record among unrelated ones, with valgrind's prefixes.
    logs = tmp_path / "logs"
    logs.mkdir()
    (logs / "vg.1").write_text("==1== HEAP SUMMARY:\n==1==     in use at exit: 0 bytes\n")
    prefixed = "".join(f"==2== {line}\n" for line in record.splitlines())
    (logs / "vg.2").write_text(f"==2== Memcheck\n==2==\n{prefixed}==2==\n==2== ERROR SUMMARY\n")
    n, problems = noxfile._scan(str(logs))
    assert (n["logs"], n["leaks"], n["own_bytes"], n["errors"]) == (2, leaks, own_bytes, errors)
    assert len(problems) == (own_bytes > 0) + errors


def test_root_pip_config(noxfile: ModuleType, tmp_path: Path) -> None:
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
    conf = noxfile._pip_conf(sysroot, listing)
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
