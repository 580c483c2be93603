"""Test isolation: every test runs with a temporary HOME, never the real one."""

from __future__ import annotations

import atexit
import importlib.machinery
import importlib.metadata
import os
import shutil
import subprocess
import sys
import tempfile
from typing import Callable

# Before anything else is imported: a temporary HOME for the whole session,
# inherited by every subprocess a test starts.
_ORIGINAL_HOME = os.environ.get("HOME")
_SESSION_HOME = tempfile.mkdtemp(prefix="tamsel-test-home-")
os.environ["HOME"] = _SESSION_HOME
os.environ["USERPROFILE"] = _SESSION_HOME
atexit.register(shutil.rmtree, _SESSION_HOME, ignore_errors=True)

from pathlib import Path  # noqa: E402

import pytest  # noqa: E402

from _helpers import REAL_HOME, block_cache, run_py as _run_py  # noqa: E402
from fake_machine import FakeMachine  # noqa: E402

REPO_ROOT = Path(__file__).resolve().parent.parent
SOURCE_PACKAGE = REPO_ROOT / "src" / "tamsel"

_REAL_DIRS = {Path(REAL_HOME)}
if _ORIGINAL_HOME:
    _REAL_DIRS.add(Path(_ORIGINAL_HOME).resolve())
_REAL_STATE_DIRS = [d / ".tamsel" for d in _REAL_DIRS]
_EXISTED_BEFORE = {d: d.exists() for d in _REAL_STATE_DIRS}


@pytest.fixture(autouse=True)
def _fresh_home(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    home = tmp_path / "home"
    home.mkdir()
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setenv("USERPROFILE", str(home))
    return home


@pytest.fixture
def no_cache(_fresh_home: Path) -> None:
    """Nothing can be stored (see _helpers.block_cache): every call derives."""
    block_cache(_fresh_home)


@pytest.fixture
def machine(monkeypatch: pytest.MonkeyPatch) -> FakeMachine:
    """Fakes of what the module calls, bound in its namespace (os, uuid,
    platform, hashlib) and as the probe packages in sys.modules, for the test."""
    from tamsel.utils import _machine_utils as mu

    fakes = FakeMachine()
    fakes.module = mu
    for name, fake in fakes.namespace.items():
        monkeypatch.setattr(mu, name, fake)
    for name, fake in fakes.packages.items():
        monkeypatch.setitem(sys.modules, name, fake)
    return fakes


def _installed_module_problem() -> str | None:
    """What is wrong with the tamsel the tests would import, or None.

    The tests run against an installed distribution, built or editable. They
    refuse a `tamsel` that no distribution in this environment provides, a
    compiled module that cannot be imported, and a compiled module other than
    the one the installed distribution holds (something earlier on sys.path
    shadows it).
    """
    env = f"this environment ({sys.prefix})"
    how = (
        "install the project into it (bash scripts/dev.sh test does, or "
        "pip install . / pip install -e .) and run its pytest"
    )
    try:
        import tamsel
    except ImportError as exc:
        return f"cannot import tamsel ({exc}): it is not installed in {env}; {how}"
    where = Path(tamsel.__file__).resolve().parent
    try:
        dist = importlib.metadata.distribution("tamsel")
    except importlib.metadata.PackageNotFoundError:
        return f"tamsel is imported from {where}, but no tamsel distribution is installed in {env}; {how}"
    try:
        import tamsel.utils._machine_utils as mod
    except ImportError as exc:
        if where == SOURCE_PACKAGE:
            return (
                f"tamsel.utils._machine_utils cannot be imported ({exc}): the source "
                f"tree's {where}, which holds no compiled module, comes first on sys.path "
                f"(PYTHONPATH or the current directory) and hides the installed tamsel "
                f"{dist.version}"
            )
        return f"tamsel.utils._machine_utils cannot be imported from {where} ({exc}); reinstall the project into {env}"
    built = {
        Path(str(dist.locate_file(f))).resolve()
        for f in dist.files or ()
        if f.parts[:2] == ("tamsel", "utils")
        and f.name.startswith("_machine_utils.")
        and f.name.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    }
    loaded = Path(mod.__file__).resolve()
    if built and loaded not in built:
        return (
            f"tamsel.utils._machine_utils is imported from {loaded}, not from the "
            f"installed tamsel {dist.version} ({', '.join(map(str, sorted(built)))}): "
            "something earlier on sys.path (PYTHONPATH or the current directory) "
            "hides the installed package"
        )
    return None


def pytest_sessionstart(session: pytest.Session) -> None:
    """Stop before collection if the tests would exercise the source tree."""
    problem = _installed_module_problem()
    if problem:
        pytest.exit(problem, returncode=pytest.ExitCode.USAGE_ERROR)


@pytest.fixture
def run_py() -> Callable[..., subprocess.CompletedProcess[str]]:
    """The helper from tests/_helpers.py, for tests that prefer a fixture."""
    return _run_py


def pytest_sessionfinish(session: pytest.Session, exitstatus: int | pytest.ExitCode) -> None:
    created = [d for d in _REAL_STATE_DIRS if d.exists() and not _EXISTED_BEFORE[d]]
    if created:
        msg = "tests created state in the real home directory: " + ", ".join(map(str, created))
        writer = session.config.get_terminal_writer()
        writer.line()
        writer.line(msg, red=True, bold=True)
        session.exitstatus = pytest.ExitCode.TESTS_FAILED
