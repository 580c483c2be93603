"""Shared helpers for the test suite and the programs in tests/children (tests/
is on sys.path via pyproject, and on the children's PYTHONPATH via run_py)."""

from __future__ import annotations

import gc
import hashlib
import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from collections.abc import Callable, Iterable, Mapping, Sequence
from pathlib import Path

TESTS = Path(__file__).resolve().parent
CHILDREN = TESTS / "children"  # the programs the tests run in child processes
NODE = 123  # what the fakes of uuid.getnode() give
# Scales the loop counts and the density of the allocation sweeps (valgrind runs a tenth).
SCALE = float(os.environ.get("TAMSEL_TEST_SCALE", "1"))

# The account's real home directory, which no test may touch.
if sys.platform == "win32":  # the profile directory; conftest replaces USERPROFILE, not these
    REAL_HOME = os.path.realpath(os.environ.get("HOMEDRIVE", "") + os.environ.get("HOMEPATH", ""))
else:
    import pwd

    REAL_HOME = os.path.realpath(pwd.getpwuid(os.getuid()).pw_dir)


def child_env(env: Mapping[str, str | None] | None = None, script: bool = False) -> dict[str, str]:
    """The environment of a child process: this one's (with the test's
    temporary HOME), `env` applied on top (None removes a variable), and for a
    script of tests/children tests/ first on PYTHONPATH, for the helpers."""
    result = dict(os.environ)
    for key, value in (env or {}).items():
        if value is None:
            result.pop(key, None)
        else:
            result[key] = value
    if script:
        result["PYTHONPATH"] = os.pathsep.join(filter(None, [str(TESTS), result.get("PYTHONPATH")]))
    home = result.get("HOME")
    if not home or os.path.realpath(home) == REAL_HOME:
        raise AssertionError(f"refusing to run a child process with HOME={home!r}: tests must use a temporary HOME")
    return result


def child_argv(code: str | Path, args: Sequence[str] = (), executable: str | None = None) -> list[str]:
    source = ["-c", code] if isinstance(code, str) else [str(code)]
    return [executable or sys.executable, *source, *args]


def run_py(
    code: str | Path,
    *,
    env: Mapping[str, str | None] | None = None,
    args: Sequence[str] = (),
    check: bool = True,
    timeout: float = 60,
    executable: str | None = None,
) -> subprocess.CompletedProcess[str]:
    """Runs ``sys.executable -c code *args``, or with a Path the script
    ``sys.executable code *args`` (the programs in tests/children, see
    CHILDREN), or so with ``executable``, in a fresh process.

    The child starts in an empty temporary directory and inherits the current
    environment (including the test's temporary HOME); entries of ``env``
    override it, and an entry whose value is None removes that variable.
    With ``check``, a non-zero exit fails the test with the child's output.
    """
    child = child_env(env, script=isinstance(code, Path))
    with tempfile.TemporaryDirectory(prefix="tamsel-cwd-") as cwd:
        proc = subprocess.run(
            child_argv(code, args, executable),
            cwd=cwd,
            env=child,
            capture_output=True,
            text=True,
            timeout=timeout,
        )
    if check:
        assert proc.returncode == 0, (
            f"child exited with {proc.returncode}\n--- stdout ---\n{proc.stdout}\n--- stderr ---\n{proc.stderr}"
        )
    return proc


def spawn(script: Path, *args: str, env: Mapping[str, str | None] | None = None) -> subprocess.Popen[str]:
    """Starts a script as run_py does, but returns at once: its stdout and
    stderr are pipes, and it runs in the test's temporary HOME."""
    child = child_env(env, script=True)
    return subprocess.Popen(
        child_argv(script, args),
        cwd=child["HOME"],
        env=child,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def embedding_launcher(compiler: str, build: Path, source: Path | None = None) -> str | None:
    """A program embedding this interpreter, linked against its shared
    libpython, with the running environment's site-packages on its path, or
    None: by default this interpreter's main(), else the C program `source`."""
    config = shutil.which(
        f"python{sysconfig.get_python_version()}{getattr(sys, 'abiflags', '')}-config",
        path=os.pathsep.join([sysconfig.get_config_var("BINDIR"), os.environ["PATH"]]),
    )
    if config is None:
        return None
    flags = [
        subprocess.run([config, *options], capture_output=True, text=True).stdout.split()
        for options in (["--cflags"], ["--embed", "--ldflags"])
    ]
    name = "python" if source is None else source.stem
    if source is None:
        source = build / "embed.c"
        source.write_text("#include <Python.h>\nint main(int argc, char **argv) { return Py_BytesMain(argc, argv); }\n")
    launcher = build / f"{name}-shared"
    rpath = f"-Wl,-rpath,{sysconfig.get_config_var('LIBDIR')}"
    if subprocess.run([compiler, *flags[0], source, "-o", launcher, *flags[1], rpath]).returncode != 0:
        return None
    paths = os.pathsep.join({sysconfig.get_paths()[key] for key in ("purelib", "platlib")})
    wrapper = build / name  # the launcher, with site-packages on PYTHONPATH, before what is there
    wrapper.write_text(f'#!/bin/sh\nPYTHONPATH={paths}${{PYTHONPATH:+:$PYTHONPATH}} exec {launcher} "$@"\n')
    wrapper.chmod(0o755)
    return str(wrapper)


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


ROUNDS = 8  # find_leak's measurements of a growth before it counts


def settle() -> None:
    """Collects garbage twice: on free-threaded builds memory that one
    collection frees is given back only at a later one, so a single
    collection leaves earlier garbage to be counted as freed later, which can
    hide a leak's growth."""
    gc.collect()
    gc.collect()


def find_leak(
    step: Callable[[], object], calls: int, *, warmup: int | None = None, held: Sequence[object] = ()
) -> str | None:
    """What grows over `calls` calls of step(), made after `warmup` more (a
    tenth as many by default), or None.

    Growth: sys.getallocatedblocks() beyond a tenth of a block per call plus
    20 (a leak per call grows by at least one block per call), or a changed
    reference count of an object in `held`. Blocks that grow past the bound
    are measured again and count only if they grow every time, eight times: a
    leak grows every time, the interpreter's own caches do not, but 3.10 and
    3.11 fill them late and in bursts (after an exception raised while another
    is handled, a few hundred calls of growing by about a block per call, the
    same with the pure-Python equivalent)."""
    warmup = calls // 10 if warmup is None else warmup
    bound = calls // 10 + 20
    for _ in range(ROUNDS):
        for _ in range(warmup):
            step()
        settle()
        blocks, refs = sys.getallocatedblocks(), [sys.getrefcount(o) for o in held]
        for _ in range(calls):
            step()
        settle()
        grown, now = sys.getallocatedblocks() - blocks, [sys.getrefcount(o) for o in held]
        if now != refs:
            return f"reference counts of {held!r} went from {refs} to {now} in {calls} calls"
        if grown <= bound:
            return None
    return f"{grown} blocks more after {calls} calls, {ROUNDS} times (bound {bound})"
