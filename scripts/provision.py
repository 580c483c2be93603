#!/usr/bin/env python3
"""Finds or makes the interpreters the project is tested on.

    python3 scripts/provision.py find [--tsan] [VERSION ...]
        how each CPython (3.9 ... 3.15, 3.14t, 3.15t; all by default) is had here, one
        line each, VERSION and a tab, then: its bin directory; `debian-root` (3.14, 3.15:
        the Debian root below provides it); `build` (3.14t, 3.15t: `build` below makes
        it); or `- ` and why it cannot be had. --tsan: the ThreadSanitizer builds.
    python3 scripts/provision.py root
        make the Debian sid root (or find it current) and print its path
    python3 scripts/provision.py in-root COMMAND ...
        run COMMAND in the Debian root, in this repository, with the root's nox on PATH
    python3 scripts/provision.py build VERSION [--tsan]
        build a free-threaded CPython (3.14t, 3.15t) from ../shared/cpython
        (TAMSEL_CPYTHON_SOURCES) unless already built; print its bin directory

An interpreter is looked for as pythonX.Y[t] on PATH (pyenv's shims are passed
over: they run only the selected versions), then as pyenv's installation of
X.Y[t], then (free-threaded ones) among our builds. Everything made here is
kept outside the clone, in /var/cache/tamsel (TAMSEL_CACHE), so that every
clone on the machine shares it; making it needs root (apt-get, debootstrap,
chroot). Each build and the root hold a stamp with the recipe they were made
from, written last; one without it, or made from another recipe, is made anew,
under a lock. The root is made in a directory of its own and renamed into place
when complete.
"""

from __future__ import annotations

import argparse
import fcntl
import json
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

CACHE = Path(os.environ.get("TAMSEL_CACHE", "/var/cache/tamsel"))
ROOT = Path(__file__).resolve().parent.parent
SOURCES = Path(os.environ.get("TAMSEL_CPYTHON_SOURCES", ROOT.parent / "shared" / "cpython"))
PYTHONS = ["3.9", "3.10", "3.11", "3.12", "3.13", "3.14", "3.15", "3.14t", "3.15t"]
STAMP = ".tamsel-build.json"
# What CPython's build needs so that hashlib, uuid (libuuid: a stable node), zlib
# (ensurepip) and the rest of the standard library are complete.
BUILD_DEBS = ["build-essential", "libssl-dev", "zlib1g-dev", "uuid-dev", "libffi-dev", "libbz2-dev", "liblzma-dev"]

# The Debian root: CPython 3.14 and 3.15 as Debian packages, with g++, valgrind and
# a nox (the version noxfile.py's script header asks for) in ROOT_NOX.
DEBIAN_ROOT = Path(os.environ.get("TAMSEL_DEBIAN_ROOT", CACHE / "debian-sid"))
DEBIAN_PYTHONS = ["3.14", "3.15"]
DEBIAN_SUITE = "sid"
_PYTHON_DEBS = [f"python{v}-{p}" for v in DEBIAN_PYTHONS for p in ("dev", "venv")]
DEBIAN_PACKAGES = sorted([*_PYTHON_DEBS, "g++", "valgrind", "ca-certificates", "iproute2"])
ROOT_NOX = "/opt/tamsel-nox"
NOX_REQUIREMENT = re.findall(r'^# dependencies = \["(.*)"\]$', (ROOT / "noxfile.py").read_text(), re.M)[0]
ROOT_STAMP, RECIPE = ".tamsel-root.json", [DEBIAN_SUITE, DEBIAN_PACKAGES, NOX_REQUIREMENT]
IN_THE_ROOT = Path("/", ROOT_STAMP).exists()
UNSHARE = ["unshare", "--mount", "--propagation", "private"]
# The environment that goes into the root; everything else stays out.
PASSED_IN = re.compile(r"CI|TERM|NO_COLOR|FORCE_COLOR|(https?|no)_proxy|TAMSEL_\w+")
ROOT_PATH = f"{ROOT_NOX}/bin:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
NOT_ROOT = "not root; as root the first run {}"
NOT_HERE = "not on PATH, not in pyenv"


def log(msg: str) -> None:
    print(f"[provision] {msg}", file=sys.stderr, flush=True)


def apt_install(*packages: str) -> None:
    missing = [p for p in packages if subprocess.run(["dpkg", "-s", p], capture_output=True).returncode]
    if not missing:
        return
    if os.geteuid() != 0 or not shutil.which("apt-get"):
        sys.exit(f"[provision] missing Debian packages {' '.join(missing)}: install them")
    log(f"installing {' '.join(missing)} with apt-get")
    env = {**os.environ, "DEBIAN_FRONTEND": "noninteractive"}
    subprocess.run(["apt-get", "update", "-qq"], env=env, check=True)
    subprocess.run(["apt-get", "install", "-y", "-qq", *missing], env=env, check=True, stdout=subprocess.DEVNULL)


# --- finding ----------------------------------------------------------------


def is_cpython(exe: str, version: str) -> bool:
    """Whether exe runs and is CPython `version` (X.Y, or X.Yt: free-threaded)."""
    probe = (
        "import platform, sys, sysconfig; print(platform.python_implementation(),"
        " '%d.%d' % sys.version_info[:2] + ('t' if sysconfig.get_config_var('Py_GIL_DISABLED') else ''))"
    )
    try:
        out = subprocess.run([exe, "-c", probe], capture_output=True, text=True, check=False)
    except OSError:
        return False
    return out.stdout.split() == ["CPython", version]


def pyenv_prefixes(version: str) -> list[str]:
    """pyenv's installations of `version` (`pyenv prefix`)."""
    root = os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")
    pyenv = [shutil.which("pyenv") or os.path.join(root, "bin", "pyenv"), "prefix", version]
    try:
        out = subprocess.run(pyenv, capture_output=True, text=True, check=False)
    except OSError:
        return []
    return out.stdout.strip().split(os.pathsep) if out.returncode == 0 else []


def where(version: str, tsan: bool = False) -> str:
    """One line of `find`'s output, without the version."""
    free_threaded = version.endswith("t")
    candidates = []
    if not tsan:
        on_path = shutil.which(f"python{version}")
        candidates += [on_path] if on_path and "shims" not in Path(on_path).parts else []
        candidates += [os.path.join(p, "bin", f"python{version}") for p in pyenv_prefixes(version)]
    built = built_bin(version, tsan)
    candidates += [str(built / f"python{version}")] if built else []
    for exe in candidates:
        if is_cpython(exe, version):
            return os.path.dirname(exe)
    if tsan and not free_threaded:
        return "- no ThreadSanitizer build of it: only of 3.14t and 3.15t"
    if free_threaded and not source_tarball(version):
        return f"- {NOT_HERE}, no CPython {version[:-1]} sources in {SOURCES} to build it from"
    if not sys.platform.startswith("linux") or IN_THE_ROOT:
        return f"- {NOT_HERE}"
    if free_threaded and os.geteuid() != 0:
        return "- " + NOT_ROOT.format("builds them: apt-get, 10 to 20 minutes each, in /var/cache/tamsel")
    if free_threaded:
        return "build"
    if version not in DEBIAN_PYTHONS:
        return f"- {NOT_HERE}"
    if os.geteuid() != 0:
        return "- " + NOT_ROOT.format("makes a Debian root for them: debootstrap, chroot, 1 GB in /var/cache")
    return "debian-root"


# --- building free-threaded CPython -------------------------------------------


def source_tarball(version: str) -> Path | None:
    series = version.rstrip("t")
    found = sorted(SOURCES.glob(f"cpython-{series}.*.tar.xz"))
    return found[-1] if found else None


def recipe(version: str, tsan: bool) -> tuple[Path, Path, list[str], str]:
    """The sources, the prefix, configure's arguments and the stamp of a build."""
    tarball = source_tarball(version)
    if tarball is None:
        sys.exit(f"[provision] no CPython {version.rstrip('t')} sources in {SOURCES}")
    release = tarball.name.removeprefix("cpython-").removesuffix(".tar.xz")
    prefix = CACHE / (f"cpython-{release}t" + ("-tsan" if tsan else ""))
    configure = ["--disable-gil", "--enable-shared", f"--prefix={prefix}", f"LDFLAGS=-Wl,-rpath,{prefix}/lib"]
    if tsan:
        configure.insert(2, "--with-thread-sanitizer")
    return tarball, prefix, configure, json.dumps([tarball.name, configure])


def built_bin(version: str, tsan: bool = False) -> Path | None:
    """The bin directory of our build of `version`, when it is made and current."""
    if not version.endswith("t") or not source_tarball(version):
        return None
    _, prefix, _, stamp = recipe(version, tsan)
    ok = (prefix / STAMP).is_file() and (prefix / STAMP).read_text() == stamp
    return prefix / "bin" if ok else None


def build(version: str, tsan: bool = False) -> Path:
    """The bin directory of a free-threaded CPython `version`, built when missing."""
    tarball, prefix, configure, stamp = recipe(version, tsan)
    name = prefix.name
    CACHE.mkdir(parents=True, exist_ok=True)
    with open(CACHE / f"{name}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if built_bin(version, tsan):
            return prefix / "bin"
        apt_install(*BUILD_DEBS)
        shutil.rmtree(prefix, ignore_errors=True)
        with tempfile.TemporaryDirectory(prefix=f"{name}.src-", dir=CACHE) as work:
            log(f"building {name} from {tarball.name} (10 to 20 minutes on 2 cores)")
            with tarfile.open(tarball) as tar:
                tar.extractall(work, filter="data") if hasattr(tarfile, "data_filter") else tar.extractall(work)
            src = next(Path(work).iterdir())
            out = open(Path(work) / "build.log", "w")

            def step(*cmd: str) -> None:
                log(" ".join(cmd[:3]) + " ...")
                if subprocess.run(cmd, cwd=src, stdout=out, stderr=subprocess.STDOUT).returncode:
                    out.flush()
                    tail = (Path(work) / "build.log").read_text().splitlines()[-40:]
                    sys.exit("\n".join([*tail, f"[provision] {' '.join(cmd)} failed"]))

            step("./configure", "--with-ensurepip=install", *configure)
            step("make", f"-j{os.cpu_count() or 2}")
            step("make", "install")
        (prefix / STAMP).write_text(stamp)
        log(f"{name} is in {prefix}")
    return prefix / "bin"


# --- the Debian root --------------------------------------------------------


def copy_in(sysroot: Path, src: Path, text: str | None = None) -> bool:
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


def pip_conf(sysroot: Path, listing: str) -> str:
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
            if not local or (path.is_file() and copy_in(sysroot, path)):
                kept.append(value)
        section = "global" if m[1] == ":env:" else m[1]
        if kept:
            conf.setdefault(section, {})[m[2]] = " ".join(kept)
    lines = []
    for s, kv in conf.items():
        lines += [f"[{s}]", *(f"{k} = {v}" for k, v in kv.items())]
    return "".join(f"{line}\n" for line in lines)


def configure_root(sysroot: Path) -> None:
    """This machine's DNS resolver, CA certificates and pip settings, inside the
    root, and its machine-id files: the module finds the same facts there."""
    for name in ("/etc/resolv.conf", "/etc/machine-id", "/var/lib/dbus/machine-id"):
        if os.path.isfile(name):
            copy_in(sysroot, Path(name))
    debian_bundle = Path("/etc/ssl/certs/ca-certificates.crt")
    bundle = Path(os.environ.get("SSL_CERT_FILE") or debian_bundle)
    if bundle.is_file():
        copy_in(sysroot, debian_bundle, bundle.read_text())
    config = [sys.executable, "-m", "pip", "config", "list"]
    pip = subprocess.run(config, capture_output=True, text=True, check=False)
    copy_in(sysroot, Path("/etc/pip.conf"), pip_conf(sysroot, pip.stdout))


def root_command(sysroot: Path, *cmd: str) -> list[str]:
    """cmd, run in the root, in the repository, in a mount namespace of its own."""
    env = {k: v for k, v in os.environ.items() if PASSED_IN.fullmatch(k)}
    env.update(HOME="/root", LANG="C.UTF-8", PATH=ROOT_PATH)
    script = str(ROOT / "scripts" / "in-root.sh")
    return [*UNSHARE, "sh", script, str(sysroot), str(ROOT), *(f"{k}={v}" for k, v in env.items()), *cmd]


def remove_root(path: Path) -> None:
    """Deletes a root, unless something is mounted inside it."""
    with open("/proc/self/mountinfo") as f:
        if any(line.split()[4].startswith(f"{path}/") for line in f):
            sys.exit(f"[provision] {path} has mounts inside: unmount them, delete it")
    shutil.rmtree(path, ignore_errors=True)


def debian_root() -> Path:
    """The root, made anew when it is missing or was made from another recipe."""
    want = json.dumps(RECIPE)
    parent, name = DEBIAN_ROOT.parent, DEBIAN_ROOT.name
    parent.mkdir(parents=True, exist_ok=True)
    with open(parent / f"{name}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)  # one maker at a time
        stamp = DEBIAN_ROOT / ROOT_STAMP
        if stamp.is_file() and stamp.read_text() == want:
            configure_root(DEBIAN_ROOT)
            return DEBIAN_ROOT
        apt_install("debootstrap")
        for half in [*parent.glob(f"{name}.new-*"), *parent.glob(f"{name}.old-*")]:
            remove_root(half)  # left by an interrupted run
        new = Path(tempfile.mkdtemp(prefix=f"{name}.new-", dir=parent))
        new.chmod(0o755)
        log(f"making the Debian root {DEBIAN_ROOT} with debootstrap (5 to 10 minutes, about 1 GB): {want}")
        include = ",".join(DEBIAN_PACKAGES)
        mirror = os.environ.get("TAMSEL_DEBIAN_MIRROR", "")  # empty: debootstrap's own
        bootstrap = ["debootstrap", "--variant=minbase", f"--include={include}", DEBIAN_SUITE, str(new)]
        # In a mount namespace too: debootstrap mounts /proc and /sys in the root.
        subprocess.run([*UNSHARE, *bootstrap, *filter(None, [mirror])], check=True)
        configure_root(new)
        log(f"installing {NOX_REQUIREMENT} into {ROOT_NOX} in the root")
        subprocess.run(root_command(new, f"python{DEBIAN_PYTHONS[0]}", "-m", "venv", ROOT_NOX), check=True)
        subprocess.run(root_command(new, f"{ROOT_NOX}/bin/pip", "install", "-q", NOX_REQUIREMENT), check=True)
        (new / ROOT_STAMP).write_text(want)
        old = parent / f"{name}.old-{os.getpid()}"
        if DEBIAN_ROOT.exists():
            DEBIAN_ROOT.rename(old)
        new.rename(DEBIAN_ROOT)
        if old.exists():
            remove_root(old)
        log(f"the Debian root is ready in {DEBIAN_ROOT}")
    return DEBIAN_ROOT


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    f = sub.add_parser("find")
    f.add_argument("--tsan", action="store_true")
    f.add_argument("versions", nargs="*", metavar="VERSION")
    sub.add_parser("root")
    sub.add_parser("in-root").add_argument("cmd", nargs=argparse.REMAINDER)
    b = sub.add_parser("build")
    b.add_argument("version", choices=["3.14t", "3.15t"])
    b.add_argument("--tsan", action="store_true")
    args = parser.parse_args()
    if args.command == "find":
        args.versions = args.versions or PYTHONS
        if set(args.versions) - set(PYTHONS):
            parser.error(f"find: the versions are {' '.join(PYTHONS)}")
        with ThreadPoolExecutor() as pool:
            found = pool.map(lambda v: where(v, args.tsan), args.versions)
            print("".join(f"{v}\t{w}\n" for v, w in zip(args.versions, found)), end="")
    elif args.command == "root":
        print(debian_root())
    elif args.command == "in-root":
        sysroot = debian_root()
        os.execvp(UNSHARE[0], root_command(sysroot, *args.cmd))
    else:
        print(build(args.version, args.tsan))


if __name__ == "__main__":
    main()
