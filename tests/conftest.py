"""Test isolation: every test runs with a temporary HOME, never the real one."""

import atexit
import os
import shutil
import tempfile

# Before anything else is imported: a temporary HOME for the whole session,
# inherited by every subprocess a test starts.
_ORIGINAL_HOME = os.environ.get("HOME")
_SESSION_HOME = tempfile.mkdtemp(prefix="tamsel-test-home-")
os.environ["HOME"] = _SESSION_HOME
os.environ["USERPROFILE"] = _SESSION_HOME
atexit.register(shutil.rmtree, _SESSION_HOME, ignore_errors=True)

from pathlib import Path  # noqa: E402

import pytest  # noqa: E402

from _helpers import REAL_HOME, run_py as _run_py  # noqa: E402

REPO_ROOT = Path(__file__).resolve().parent.parent
SOURCE_PACKAGE = REPO_ROOT / "src" / "tamsel"

_REAL_DIRS = {Path(REAL_HOME)}
if _ORIGINAL_HOME:
    _REAL_DIRS.add(Path(_ORIGINAL_HOME).resolve())
_REAL_STATE_DIRS = [d / ".tamsel" for d in _REAL_DIRS]
_EXISTED_BEFORE = {d: d.exists() for d in _REAL_STATE_DIRS}


@pytest.fixture(autouse=True)
def _fresh_home(tmp_path, monkeypatch):
    home = tmp_path / "home"
    home.mkdir()
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setenv("USERPROFILE", str(home))
    return home


def _installed_module_problem():
    def from_source(module):
        path = Path(module.__file__).resolve()
        if SOURCE_PACKAGE in path.parents:
            return (
                f"{module.__name__} was imported from the source tree ({path}), not "
                "from the installed build; run the venv's pytest executable, "
                "not python -m pytest, and do not put the repo on PYTHONPATH"
            )
        return None

    try:
        import tamsel
    except ImportError as exc:
        return f"cannot import tamsel ({exc}); install the project first"
    problem = from_source(tamsel)
    if problem:
        return problem
    try:
        import tamsel.utils._machine_utils as mod
    except ImportError as exc:
        return (
            f"cannot import tamsel.utils._machine_utils ({exc}); install the project "
            "first (bash scripts/dev.sh test does) and run the venv's pytest"
        )
    return from_source(mod)


def pytest_sessionstart(session):
    """Stop before collection if the tests would exercise the source tree."""
    problem = _installed_module_problem()
    if problem:
        pytest.exit(problem, returncode=pytest.ExitCode.USAGE_ERROR)


@pytest.fixture
def run_py():
    """The helper from tests/_helpers.py, for tests that prefer a fixture."""
    return _run_py


def pytest_sessionfinish(session, exitstatus):
    created = [d for d in _REAL_STATE_DIRS if d.exists() and not _EXISTED_BEFORE[d]]
    if created:
        msg = "tests created state in the real home directory: " + ", ".join(map(str, created))
        writer = session.config.get_terminal_writer()
        writer.line()
        writer.line(msg, red=True, bold=True)
        session.exitstatus = pytest.ExitCode.TESTS_FAILED
