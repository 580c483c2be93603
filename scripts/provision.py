#!/usr/bin/env python3
"""Finds or makes the interpreters the project is tested on.

    python3 scripts/provision.py find VERSION     print the bin directory of CPython VERSION
                                                  (3.9 ... 3.15, 3.14t, 3.15t), "" when it is on
                                                  PATH; exit 1 when it is not here
    python3 scripts/provision.py build VERSION [--tsan]
                                                  build a free-threaded CPython (3.14t, 3.15t)
                                                  from ../shared/cpython unless already built;
                                                  print its bin directory

Builds are kept outside the clone, in /var/cache/tamsel (TAMSEL_CACHE), so that a
fresh clone on the same machine reuses them. Each build directory holds a stamp
with the recipe it was made from; a build from another recipe is made anew. A
build is made in a directory of its own and renamed into place when complete,
so that an interrupted run leaves nothing half made.
"""

from __future__ import annotations

import argparse
import fcntl
import json
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
from pathlib import Path

CACHE = Path(os.environ.get("TAMSEL_CACHE", "/var/cache/tamsel"))
ROOT = Path(__file__).resolve().parent.parent
SOURCES = ROOT.parent / "shared" / "cpython"
STAMP = ".tamsel-build.json"
# What CPython's build needs so that hashlib, uuid (libuuid: a stable node), zlib
# (ensurepip) and the rest of the standard library are complete.
BUILD_DEBS = ["build-essential", "libssl-dev", "zlib1g-dev", "uuid-dev", "libffi-dev", "libbz2-dev", "liblzma-dev"]


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


def source_tarball(version: str) -> Path:
    series = version.rstrip("t")
    found = sorted(SOURCES.glob(f"cpython-{series}.*.tar.xz"))
    if not found:
        sys.exit(f"[provision] no CPython {series} sources in {SOURCES}")
    return found[-1]


def build(version: str, tsan: bool = False) -> Path:
    """The bin directory of a free-threaded CPython `version`, built when missing."""
    tarball = source_tarball(version)
    release = tarball.name.removeprefix("cpython-").removesuffix(".tar.xz")
    name = f"cpython-{release}t" + ("-tsan" if tsan else "")
    prefix = CACHE / name
    configure = ["--disable-gil", "--enable-shared", f"--prefix={prefix}", f"LDFLAGS=-Wl,-rpath,{prefix}/lib"]
    if tsan:
        configure.insert(2, "--with-thread-sanitizer")
    recipe = json.dumps([tarball.name, configure])
    CACHE.mkdir(parents=True, exist_ok=True)
    with open(CACHE / f"{name}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        stamp = prefix / STAMP
        if stamp.is_file() and stamp.read_text() == recipe:
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
        (prefix / STAMP).write_text(recipe)
        log(f"{name} is in {prefix}")
    return prefix / "bin"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    b = sub.add_parser("build")
    b.add_argument("version", choices=["3.14t", "3.15t"])
    b.add_argument("--tsan", action="store_true")
    args = parser.parse_args()
    if args.command == "build":
        print(build(args.version, args.tsan))


if __name__ == "__main__":
    main()
