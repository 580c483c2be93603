#!/usr/bin/env python3
"""Compiles the extension for Windows and macOS here, so that breakage there is noticed.

    python3 scripts/cross_compile.py [--series 3.9,3.15] [--targets macos-arm64,...]

For each CPython series (3.9, 3.13, 3.14, 3.15) and target it compiles
src/tamsel/utils/_machine_utils.cpp with the flags CMakeLists.txt gives GCC and Clang,
-Werror included, and links it as far as the toolchain can:

  windows-x86_64  Debian's MinGW-w64 g++ (win32 threads: the posix one makes the module
                  need libwinpthread-1.dll). Linked with -static-libgcc into a .pyd against
                  an import library of python3XY.dll made with dlltool from the names the
                  object uses. objdump must show PyInit__machine_utils as the only export,
                  and imports from python3XY.dll and system DLLs only.
  macos-arm64     zig (PyPI's ziglang, in a venv in the cache). First `_Static_assert`s of
  macos-x86_64    every SIZEOF_/ALIGNOF_ of the macOS pyconfig.h, compiled for the target;
                  then the module, linked with -undefined dynamic_lookup as a dylib (zig
                  links no -bundle). llvm-nm must show PyInit__machine_utils as the only
                  export besides the linker's own, and no name left to load time but
                  Python's.

Headers come from CPython's sources, Include/ and PC/pyconfig.h(.in) extracted into the
cache: 3.14 and 3.15 from ../shared/cpython, 3.9 and 3.13 from the upstream tarball in
Debian's source packages (bullseye's python3.9, trixie's python3.13), fetched with
`apt-get source` under a sources list of the cache's own, on the Debian mirror the
machine's apt uses. Windows uses the release's own PC/pyconfig.h (with -DMS_WIN64=, which
3.9's needs under MinGW; later ones define it so themselves); macOS a pyconfig.h made by
scripts/cross/macos_pyconfig.py, kept beside it.

The cache is $TAMSEL_CACHE/cross (/var/cache/tamsel/cross by default, or
$XDG_CACHE_HOME/tamsel/cross where that is not writable). Missing Debian packages are
installed with apt-get when running as root; otherwise their names are printed. The table
at the end has a row for each target and series; the exit status is 0 only when all are ok.
"""

from __future__ import annotations

import argparse
import fcntl
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
from collections.abc import Sequence
from pathlib import Path
from typing import Any, Callable

ROOT = Path(__file__).resolve().parent.parent
SOURCE = ROOT / "src" / "tamsel" / "utils" / "_machine_utils.cpp"
SHARED = ROOT.parent / "shared" / "cpython"
CONFIGS = ROOT / "scripts" / "cross"
SERIES = ["3.9", "3.13", "3.14", "3.15"]
DEBIAN_SOURCES = {"3.9": ("bullseye", "python3.9"), "3.13": ("trixie", "python3.13")}
ZIGLANG = "ziglang>=0.17,<0.18"  # as noxfile.py has it for the Linux wheels
EXPORT = "PyInit__machine_utils"

# As CMakeLists.txt has them for GCC and Clang: C++17 without extensions, the Release
# build type, its warnings and code generation, hidden visibility; plus -Werror.
CXXFLAGS = (
    "-std=c++17 -O3 -DNDEBUG -Wall -Wextra -Wpedantic -Werror -fno-exceptions -fno-rtti"
    " -fvisibility=hidden -fvisibility-inlines-hidden"
).split()

MINGW = "x86_64-w64-mingw32-"
WINDOWS_PROGRAMS = {
    f"{MINGW}g++-win32": "g++-mingw-w64-x86-64-win32",
    f"{MINGW}nm": "binutils-mingw-w64-x86-64",
    f"{MINGW}dlltool": "binutils-mingw-w64-x86-64",
    f"{MINGW}objdump": "binutils-mingw-w64-x86-64",
}
MACOS_PROGRAMS = {"llvm-nm": "llvm"}
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll"}
LINKER_SYMBOLS = {"___dso_handle", "__mh_dylib_header"}  # defined by zig's linker in any dylib

# The C type of each size in a pyconfig.h.
SIZE_TYPES = dict(
    line.split(" ", 1)
    for line in """\
SIZEOF_DOUBLE double
SIZEOF_FLOAT float
SIZEOF_FPOS_T fpos_t
SIZEOF_INT int
SIZEOF_LONG long
SIZEOF_LONG_DOUBLE long double
SIZEOF_LONG_LONG long long
SIZEOF_OFF_T off_t
SIZEOF_PID_T pid_t
SIZEOF_PTHREAD_KEY_T pthread_key_t
SIZEOF_PTHREAD_T pthread_t
SIZEOF_SHORT short
SIZEOF_SIZE_T size_t
SIZEOF_TIME_T time_t
SIZEOF_UINTPTR_T uintptr_t
SIZEOF_VOID_P void *
SIZEOF_WCHAR_T wchar_t
SIZEOF__BOOL _Bool
ALIGNOF_LONG long
ALIGNOF_MAX_ALIGN_T max_align_t
ALIGNOF_SIZE_T size_t""".splitlines()
)


Tools = dict[str, list[str]]  # the command of each tool a target uses


class Failed(Exception):
    """A step that failed; its message goes into the table."""


def log(msg: str) -> None:
    print(f"[cross] {msg}", file=sys.stderr, flush=True)


def run(cmd: Sequence[object], step: str = "", **kwargs: Any) -> str:
    """Runs `cmd`; on failure prints its output and raises Failed naming `step`."""
    done = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, **kwargs)
    if done.returncode != 0:
        log(f"$ {' '.join(map(str, cmd))}\n{done.stdout}{done.stderr}")
        raise Failed(f"{step or Path(str(cmd[0])).name} failed (exit status {done.returncode})")
    out: str = done.stdout
    return out


def cache_dir() -> Path:
    base = os.environ.get("TAMSEL_CACHE", "/var/cache/tamsel")
    try:
        Path(base, "cross").mkdir(parents=True, exist_ok=True)
        if not os.access(Path(base, "cross"), os.W_OK):
            raise PermissionError(base)
    except OSError:
        xdg = os.environ.get("XDG_CACHE_HOME") or str(Path.home() / ".cache")
        base = str(Path(xdg, "tamsel"))
    path = Path(base, "cross")
    path.mkdir(parents=True, exist_ok=True)
    return path


def ensure_programs(programs: dict[str, str]) -> None:
    """Installs the Debian packages of missing `programs` (program -> package) when root."""
    missing = sorted({pkg for prog, pkg in programs.items() if not shutil.which(prog)})
    if not missing:
        return
    if os.geteuid() != 0 or not shutil.which("apt-get"):
        raise Failed(f"missing Debian packages: {' '.join(missing)}")
    log(f"installing {' '.join(missing)} with apt-get")
    env = {**os.environ, "DEBIAN_FRONTEND": "noninteractive"}
    run(["apt-get", "update", "-qq"], env=env)
    run(["apt-get", "install", "-y", "-qq", *missing], env=env)


def zig_command(cache: Path) -> list[str]:
    """The command that runs zig, from a venv in the cache made when missing."""
    venv = cache / "zig-venv"
    python = venv / "bin" / "python"
    stamp = venv / "tamsel-requirement"
    if not (stamp.is_file() and stamp.read_text() == ZIGLANG and python.exists()):
        log(f"installing {ZIGLANG} into {venv}")
        shutil.rmtree(venv, ignore_errors=True)
        run([sys.executable, "-m", "venv", venv])
        run([python, "-m", "pip", "install", "-q", ZIGLANG])
        stamp.write_text(ZIGLANG)
    return [str(python), "-m", "ziglang"]


def debian_mirror() -> str:
    """The URI of the Debian archive that the machine's apt is set up with."""
    for attempt in range(2):
        targets = run(["apt-get", "indextargets", "--format", "$(REPO_URI) $(LABEL)"])
        for line in targets.splitlines():
            uri, _, label = line.partition(" ")
            if label == "Debian":
                return uri
        if attempt == 0 and os.geteuid() == 0:
            run(["apt-get", "update", "-qq"])  # the labels come from the fetched Release files
    raise Failed("the machine's apt has no Debian archive (or needs apt-get update)")


def debian_source(series: str, cache: Path) -> Path:
    """The upstream tarball of CPython `series` in Debian's source package."""
    suite, package = DEBIAN_SOURCES[series]
    apt = cache / "apt"

    def tarball() -> Path | None:
        return max((apt / "src").glob(f"{package}_*.orig.tar.[gx]z"), default=None)

    found = tarball()
    if found:
        return found
    if not shutil.which("apt-get"):
        raise Failed(f"apt-get is needed to fetch the sources of {package}")
    for d in ("lists/partial", "cache/archives/partial", "sources.list.d", "src"):
        (apt / d).mkdir(parents=True, exist_ok=True)
    mirror = debian_mirror()
    (apt / "sources.list").write_text("".join(f"deb-src {mirror} {s} main\n" for s, _ in DEBIAN_SOURCES.values()))
    options = [
        f"-oDir::Etc::SourceList={apt / 'sources.list'}",
        f"-oDir::Etc::SourceParts={apt / 'sources.list.d'}",
        f"-oDir::State::Lists={apt / 'lists'}",
        f"-oDir::Cache={apt / 'cache'}",
    ]
    if os.geteuid() == 0:
        options.append("-oAPT::Sandbox::User=root")  # its _apt user cannot write to the cache
    log(f"fetching the sources of {package} ({suite}) with apt-get source")
    if not any((apt / "lists").glob("*Sources*")):
        run(["apt-get", *options, "update", "-qq"])
    run(["apt-get", *options, "source", "--download-only", "-qq", package], cwd=apt / "src")
    shutil.rmtree(apt / "lists", ignore_errors=True)  # 40 MB of indexes, not needed again
    found = tarball()
    if not found:
        raise Failed(f"apt-get source {package} brought no upstream tarball")
    return found


def headers(series: str, cache: Path) -> Path:
    """A directory with Include/ and windows/pyconfig.h of `series`, extracted once."""
    if series in DEBIAN_SOURCES:
        tarball = debian_source(series, cache)
    else:
        found = sorted(SHARED.glob(f"cpython-{series}.*.tar.xz"))
        if not found:
            raise Failed(f"no CPython {series} sources in {SHARED}")
        tarball = found[-1]
    dest = cache / "headers" / tarball.name.split(".tar")[0]
    if (dest / "Include" / "Python.h").is_file() and (dest / "windows" / "pyconfig.h").is_file():
        return dest
    dest.parent.mkdir(parents=True, exist_ok=True)
    log(f"extracting the headers of {tarball.name}")
    work = Path(tempfile.mkdtemp(dir=dest.parent, prefix=".part-"))
    pyconfigs = {}
    with tarfile.open(tarball) as tar:
        for member in tar:
            parts = Path(member.name).parts
            if not member.isfile() or len(parts) < 3 or ".." in parts:
                continue
            if parts[1] == "Include":
                target = work.joinpath(*parts[1:])
            elif parts[1:] in (("PC", "pyconfig.h"), ("PC", "pyconfig.h.in")):
                target = work / parts[2]
                pyconfigs[parts[2]] = target
            else:
                continue
            data = tar.extractfile(member)
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(data.read() if data else b"")
    # 3.13's is a template with no placeholder left but the free-threaded switch, off.
    pyconfig = pyconfigs.get("pyconfig.h") or pyconfigs.get("pyconfig.h.in")
    if pyconfig is None:
        raise Failed(f"no PC/pyconfig.h in {tarball.name}")
    (work / "windows").mkdir()
    shutil.copy(pyconfig, work / "windows" / "pyconfig.h")
    shutil.rmtree(dest, ignore_errors=True)
    work.rename(dest)
    return dest


def compile_flags(config: Path, include: Path) -> list[str]:
    return [*CXXFLAGS, f"-I{config}", f"-I{include}", f"-I{SOURCE.parent}"]


def build_windows(series: str, hdr: Path, work: Path, _: Tools) -> str:
    cxx = f"{MINGW}g++-win32"
    obj, pyd = work / "m.o", work / f"_machine_utils.cp{series.replace('.', '')}-win_amd64.pyd"
    run([cxx, *compile_flags(hdr / "windows", hdr / "Include"), "-DMS_WIN64=", "-c", SOURCE, "-o", obj], "compile")
    # The import library: names called directly need a thunk; those only reached through
    # their __imp_ pointer (all data, and functions declared dllimport) are DATA.
    names = [line.split()[-1] for line in run([f"{MINGW}nm", "-u", obj]).splitlines() if line.strip()]
    direct = {n for n in names if n.startswith(("Py", "_Py"))}
    through_pointer = {n[len("__imp_") :] for n in names if n.startswith(("__imp_Py", "__imp__Py"))}
    dll = f"python{series.replace('.', '')}.dll"
    exports = [n if n in direct else f"{n} DATA" for n in sorted(direct | through_pointer)]
    (work / "python.def").write_text("\n".join([f"LIBRARY {dll}", "EXPORTS", *exports]) + "\n")
    run([f"{MINGW}dlltool", "-d", work / "python.def", "-D", dll, "-l", work / "libpython.a"])
    run([cxx, "-shared", "-static-libgcc", "-Wl,--no-undefined", "-o", pyd, obj, work / "libpython.a"], "link")
    dump = run([f"{MINGW}objdump", "-p", pyd])
    table = re.search(r"\[Ordinal/Name Pointer\] Table\n((?:[ \t]*\[.*\n?)*)", dump)
    exported = re.findall(r"\]\s+(\S+)", table.group(1)) if table else []
    imported = re.findall(r"DLL Name: (\S+)", dump)
    if exported != [EXPORT]:
        raise Failed(f"exports {exported or 'nothing'}, not {EXPORT} alone")
    foreign = [d for d in imported if d.lower() not in SYSTEM_DLLS | {dll} and not d.lower().startswith("api-ms-win-")]
    if foreign:
        raise Failed(f"needs {' '.join(foreign)}")
    return f"exports {EXPORT} only; imports {' '.join(imported)}"


def size_checks(pyconfig: str) -> str:
    """C11 source that fails to compile where a SIZEOF_/ALIGNOF_ of `pyconfig` (as
    pymacconfig.h leaves it) is not the size or alignment of its type."""
    names = sorted(set(re.findall(r"^\s*#\s*define\s+((?:SIZEOF|ALIGNOF)_\w+)", pyconfig, re.M)))
    unknown = [n for n in names if n not in SIZE_TYPES]
    if unknown:
        raise Failed(f"no type known for {', '.join(unknown)}")
    system = ["stddef.h", "stdint.h", "stdio.h", "time.h", "wchar.h", "sys/types.h", "pthread.h"]
    lines = ['#include "pyconfig.h"', '#include "pymacconfig.h"', *(f"#include <{h}>" for h in system)]
    for name in names:
        op = "sizeof" if name.startswith("SIZEOF_") else "_Alignof"
        lines.append(f'_Static_assert({op}({SIZE_TYPES[name]}) == {name}, "{name}");')
    return "\n".join(lines) + "\n"


def build_macos(arch: str, series: str, hdr: Path, work: Path, tools: Tools) -> str:
    zig, target = tools["zig"], ["-target", f"{arch}-macos"]
    config = work / "macos"
    config.mkdir()
    shutil.copy(CONFIGS / f"pyconfig-macos-{series}.h", config / "pyconfig.h")
    (work / "sizes.c").write_text(size_checks((config / "pyconfig.h").read_text()))
    run(
        [
            *zig,
            "cc",
            *target,
            "-std=c11",
            "-Werror",
            f"-I{config}",
            f"-I{hdr / 'Include'}",
            "-c",
            work / "sizes.c",
            "-o",
            work / "sizes.o",
        ],
        "size checks",
    )
    obj, dylib = work / "m.o", work / "_machine_utils.so"
    run([*zig, "c++", *target, *compile_flags(config, hdr / "Include"), "-c", SOURCE, "-o", obj], "compile")
    run([*zig, "cc", *target, "-shared", "-Wl,-undefined,dynamic_lookup", "-o", dylib, obj], "link")
    exported, looked_up = [], []
    for line in run([*tools["llvm-nm"], "-m", "-g", dylib]).splitlines():
        name = line.split()[-1] if "(from " not in line else None
        if "(undefined)" in line and name is not None:
            looked_up.append(name)
        elif "(undefined)" not in line and line.strip() and line.split()[-1] not in LINKER_SYMBOLS:
            exported.append(line.split()[-1].removeprefix("_"))
    if exported != [EXPORT]:
        raise Failed(f"exports {exported or 'nothing'}, not {EXPORT} alone")
    foreign = [n for n in looked_up if not n.startswith(("_Py", "__Py"))]
    if foreign:
        raise Failed(f"leaves {' '.join(foreign[:5])} to load time")
    return f"sizes ok; exports {EXPORT} only; {len(looked_up)} Python names bound at load time"


def llvm_nm() -> str:
    found = shutil.which("llvm-nm") or max(map(str, Path("/usr/bin").glob("llvm-nm-*")), default=None)
    if not found:
        raise Failed("llvm-nm is missing")
    return found


TARGETS: dict[str, Callable[[str, Path, Path, Tools], str]] = {
    "windows-x86_64": build_windows,
    "macos-arm64": lambda *a: build_macos("aarch64", *a),
    "macos-x86_64": lambda *a: build_macos("x86_64", *a),
}


def setup(target: str, cache: Path) -> Tools:
    """The tools a target needs, installed when missing."""
    if target.startswith("windows"):
        ensure_programs(WINDOWS_PROGRAMS)
        return {}
    ensure_programs(MACOS_PROGRAMS)
    os.environ.setdefault("ZIG_GLOBAL_CACHE_DIR", str(cache / "zig-cache"))
    os.environ.setdefault("ZIG_LOCAL_CACHE_DIR", str(cache / "zig-cache"))
    return {"zig": zig_command(cache), "llvm-nm": [llvm_nm()]}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", default=",".join(SERIES), help="comma-separated, e.g. 3.9,3.15")
    parser.add_argument("--targets", default=",".join(TARGETS), help="comma-separated, of " + ", ".join(TARGETS))
    args = parser.parse_args(argv)
    series_list, targets = args.series.split(","), args.targets.split(",")
    for t in targets:
        if t not in TARGETS:
            parser.error(f"unknown target {t}")
    cache = cache_dir()
    lock = open(cache / "lock", "w")  # held until the process ends
    fcntl.flock(lock, fcntl.LOCK_EX)  # one run at a time fills the cache
    rows = []
    hdrs: dict[str, Path | Failed] = {}
    for series in series_list:
        try:
            hdrs[series] = headers(series, cache)
        except Failed as e:
            hdrs[series] = e
    for target in targets:
        try:
            tools: Tools | Failed = setup(target, cache)
        except Failed as e:
            tools = e
        for series in series_list:
            hdr = hdrs[series]
            try:
                if isinstance(tools, Failed):
                    raise tools
                if isinstance(hdr, Failed):
                    raise hdr
                with tempfile.TemporaryDirectory(prefix="tamsel-cross-") as work:
                    detail = TARGETS[target](series, hdr, Path(work), tools)
                rows.append((target, series, "ok", detail))
            except Failed as e:
                rows.append((target, series, "FAILED", str(e)))
    width = max(len(t) for t in targets)
    print(f"{'target':{width}}  series  result  checks")
    for target, series, result, detail in rows:
        print(f"{target:{width}}  {series:6}  {result:6}  {detail}")
    failed = sum(r[2] != "ok" for r in rows)
    print(f"cross: {len(rows) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
