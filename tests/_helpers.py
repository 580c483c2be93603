"""Shared helpers for the test suite (tests/ is on sys.path via pyproject)."""

from __future__ import annotations

import gc
import hashlib
import importlib.util
import os
import subprocess
import sys
import tempfile
from collections.abc import Callable, Iterable, Mapping, Sequence
from pathlib import Path

TESTS = Path(__file__).resolve().parent
NODE = 123  # what the fakes of uuid.getnode() give

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


def expected_id(pieces: Iterable[str] = (), node: object = NODE) -> str:
    """The identifier made of the node number and the probes' pieces, in order."""
    return hashlib.sha256((str(node) + "".join(pieces)).encode("utf-8")).hexdigest()


def reference_id(bindings: Mapping[str, object] | None = None, absent: Iterable[str] = ()) -> str:
    """What tests/pure_python_machine_id.py derives with `bindings` in its
    namespace (the names it calls, e.g. a fake `uuid`) and the names `absent`
    taken out of it, its cache left out.

    A fresh copy of the reference each time; the probe packages come from
    sys.modules, for it as for the module."""
    spec = importlib.util.spec_from_file_location("pure_python_machine_id_copy", TESTS / "pure_python_machine_id.py")
    assert spec is not None
    assert spec.loader is not None
    reference = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(reference)
    vars(reference).update(bindings or {})
    for name in absent:
        del vars(reference)[name]
    vars(reference).update(_get_cached_machine_id=lambda: "", _save_machine_id=lambda machine_id: None)
    result: str = reference.get_machine_id()
    return result


def find_leak(
    step: Callable[[], object], calls: int, *, warmup: int | None = None, held: Sequence[object] = ()
) -> str | None:
    """What grows over `calls` calls of step(), made after `warmup` more (a
    tenth as many by default), or None.

    Growth: sys.getallocatedblocks() beyond a tenth of a block per call plus
    20 (a leak per call grows by at least one block per call), or a changed
    reference count of an object in `held`. Blocks that grow past the bound
    are measured once more and count only if they grow again: a leak grows
    every time, the interpreter's own caches (3.10 and 3.11 fill them late)
    do not."""
    warmup = calls // 10 if warmup is None else warmup
    bound = calls // 10 + 20
    for _ in range(2):
        for _ in range(warmup):
            step()
        gc.collect()
        blocks, refs = sys.getallocatedblocks(), [sys.getrefcount(o) for o in held]
        for _ in range(calls):
            step()
        gc.collect()
        grown, now = sys.getallocatedblocks() - blocks, [sys.getrefcount(o) for o in held]
        if now != refs:
            return f"reference counts of {held!r} went from {refs} to {now} in {calls} calls"
        if grown <= bound:
            return None
    return f"{grown} blocks more after {calls} calls, twice (bound {bound})"
