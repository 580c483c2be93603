"""The package around the module: its type stub, the refusal of unsupported
interpreters, and the check that the tests run against an installed build."""

from __future__ import annotations

import importlib.metadata
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from _helpers import run_py

REPO_ROOT = Path(__file__).resolve().parent.parent
TESTS = Path(__file__).resolve().parent

REFUSAL = "tamsel supports only CPython 3.9 to 3.15, not CPython 3.8"


def test_stub_matches_the_module() -> None:
    pytest.importorskip("mypy", reason="mypy comes with the dev dependency group (pip install --group dev)")
    proc = run_py(
        "import sys; from mypy.stubtest import main; sys.exit(main())",
        args=["tamsel.utils._machine_utils"],
        check=False,
        timeout=300,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


# What a user of the package writes. Each ignore must be needed (--strict warns
# about unused ones), which proves that the types are known, not Any.
USER_SCRIPT = """
import tamsel
from tamsel.utils._machine_utils import get_machine_id

version: str = tamsel.__version__
machine_id: str = get_machine_id()
wrong_version: int = tamsel.__version__  # type: ignore[assignment]
wrong_id: bytes = get_machine_id()  # type: ignore[assignment]
"""


def test_typed_for_users(tmp_path: Path) -> None:
    pytest.importorskip("mypy", reason="mypy comes with the dev dependency group (pip install --group dev)")
    if _editable():
        pytest.skip("mypy does not follow the import hook of an editable install")
    script = tmp_path / "user.py"
    script.write_text(USER_SCRIPT)
    proc = run_py(
        "import sys, mypy.api; out, err, rc = mypy.api.run(sys.argv[1:]); print(out, err); sys.exit(rc)",
        args=["--strict", "--cache-dir", str(tmp_path / "cache"), str(script)],
        check=False,
        timeout=300,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


def _python38() -> str | None:
    """An interpreter of CPython 3.8 (pyenv's, or python3.8 on PATH), or None."""
    candidates: list[str | None] = []
    if shutil.which("pyenv"):
        prefix = subprocess.run(["pyenv", "prefix", "3.8"], capture_output=True, text=True)
        if prefix.returncode == 0 and prefix.stdout.strip():
            candidates.append(os.path.join(prefix.stdout.strip().splitlines()[0], "bin", "python3.8"))
    candidates.append(shutil.which("python3.8"))
    for cand in filter(None, candidates):
        # pyenv's shims exist for versions they will not run: try each one.
        probe = subprocess.run(
            [cand, "-c", "import sys; print(sys.version_info[:2] == (3, 8))"], capture_output=True, text=True
        )
        if probe.stdout.strip() == "True":
            return cand
    return None


@pytest.mark.skipif(
    sys.version_info[:2] != (3, 9),
    reason="run once, under CPython 3.9: it builds with CPython 3.8, whichever interpreter runs the tests",
)
@pytest.mark.skipif(not (REPO_ROOT / "CMakeLists.txt").is_file(), reason="needs the project's sources")
@pytest.mark.parametrize(
    ("pip_args", "sentence"),
    [
        # pip itself refuses, from the metadata, before anything is compiled.
        ([], "requires a different Python: 3.8"),
        # Past that check, CMake's configure step stops with one sentence.
        (["--ignore-requires-python"], REFUSAL),
    ],
)
def test_unsupported_interpreter_is_refused(tmp_path: Path, pip_args: list[str], sentence: str) -> None:
    python38 = _python38()
    if python38 is None:
        pytest.skip("CPython 3.8 not found (pyenv prefix 3.8, python3.8)")
    venv = tmp_path / "venv"
    subprocess.run([python38, "-m", "venv", str(venv)], check=True)
    proc = subprocess.run(
        [str(venv / "bin" / "python"), "-m", "pip", "install", "--no-deps", *pip_args, str(REPO_ROOT)],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=600,
        env={**os.environ, "PIP_DISABLE_PIP_VERSION_CHECK": "1"},
    )
    output = " ".join((proc.stdout + proc.stderr).split())
    assert proc.returncode != 0, output
    assert sentence in output, output
    # Nothing was compiled, nothing installed.
    assert "Building CXX object" not in output
    assert "_machine_utils.cpp:" not in output
    assert not list(venv.glob("lib/python*/site-packages/tamsel"))


def _editable() -> bool:
    info = importlib.metadata.distribution("tamsel").read_text("direct_url.json")
    return bool(info and json.loads(info).get("dir_info", {}).get("editable"))


@pytest.mark.parametrize(
    ("pythonpath", "problem"),
    [
        (None, None),
        # The source tree first on sys.path hides a built install (its tamsel has
        # no compiled module); an editable install's own finder comes first.
        ("src", "hides the installed tamsel"),
    ],
)
def test_conftest_refuses_only_what_is_wrong(pythonpath: str | None, problem: str | None) -> None:
    if not (REPO_ROOT / "src" / "tamsel").is_dir():
        pytest.skip("needs the project's sources")
    if _editable():
        problem = None
    env = {
        "PYTHONPATH": os.pathsep.join(filter(None, [str(REPO_ROOT / pythonpath) if pythonpath else None, str(TESTS)]))
    }
    out = run_py("import conftest, json; print(json.dumps(conftest._installed_module_problem()))", env=env).stdout
    found = json.loads(out)
    if problem is None:
        assert found is None
    else:
        assert problem in found, found
        assert str(REPO_ROOT / "src" / "tamsel") in found, found
