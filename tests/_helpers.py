"""Shared helpers for the test suite (tests/ is on sys.path via pyproject)."""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
from collections.abc import Mapping, Sequence
from pathlib import Path

# The account's real home directory, which no test may touch.
if sys.platform == "win32":  # the profile directory; conftest replaces USERPROFILE, not these
    REAL_HOME = os.path.realpath(os.environ.get("HOMEDRIVE", "") + os.environ.get("HOMEPATH", ""))
else:
    import pwd

    REAL_HOME = os.path.realpath(pwd.getpwuid(os.getuid()).pw_dir)


def run_py(
    code: str,
    *,
    env: Mapping[str, str | None] | None = None,
    args: Sequence[str] = (),
    check: bool = True,
    timeout: float = 60,
    executable: str | None = None,
) -> subprocess.CompletedProcess[str]:
    """Run ``sys.executable -c code *args`` (or ``executable``) in a fresh process.

    The child starts in an empty temporary directory and inherits the current
    environment (including the test's temporary HOME); entries of ``env``
    override it, and an entry whose value is None removes that variable.
    """
    child_env = dict(os.environ)
    for key, value in (env or {}).items():
        if value is None:
            child_env.pop(key, None)
        else:
            child_env[key] = value
    home = child_env.get("HOME")
    if not home or os.path.realpath(home) == REAL_HOME:
        raise AssertionError(f"refusing to run a child process with HOME={home!r}: tests must use a temporary HOME")
    with tempfile.TemporaryDirectory(prefix="tamsel-cwd-") as cwd:
        proc = subprocess.run(
            [executable or sys.executable, "-c", code, *args],
            cwd=cwd,
            env=child_env,
            capture_output=True,
            text=True,
            timeout=timeout,
        )
    if check:
        assert proc.returncode == 0, (
            f"child exited with {proc.returncode}\n--- stdout ---\n{proc.stdout}\n--- stderr ---\n{proc.stderr}"
        )
    return proc


def cache_file(home: str | os.PathLike[str] | None = None) -> Path:
    """The module's cache file, ~/.tamsel/cache/.machine_id, under `home` (by default the current HOME)."""
    return Path(home if home is not None else os.path.expanduser("~"), ".tamsel", "cache", ".machine_id")


def block_cache(home: str | os.PathLike[str] | None = None) -> None:
    """Puts a file where the state directory ~/.tamsel belongs: nothing can be
    stored, so every call derives the identifier."""
    cache_file(home).parents[1].write_text("")
