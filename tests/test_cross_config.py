"""The cross-compile check's own decisions: which macros the macOS pyconfig.h keeps
or changes, and whether the size checks catch a wrong size."""

from __future__ import annotations

import importlib.util
import shutil
import subprocess
import sysconfig
from pathlib import Path
from types import ModuleType

import pytest

SCRIPTS = Path(__file__).resolve().parent.parent / "scripts"


def _load(path: Path) -> ModuleType:
    if not path.is_file():
        pytest.skip("needs the project's sources")
    spec = importlib.util.spec_from_file_location(f"tamsel_{path.stem}", path)
    assert spec is not None
    assert spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def generator() -> ModuleType:
    return _load(SCRIPTS / "cross" / "macos_pyconfig.py")


@pytest.fixture(scope="module")
def cross() -> ModuleType:
    return _load(SCRIPTS / "cross_compile.py")


@pytest.fixture
def include(tmp_path: Path) -> Path:
    """An Include/ whose public header reads HAVE_SYS_STAT_H and HAVE_NEW_THING, whose
    internal header reads HAVE_EPOLL, and whose pymacconfig.h resets SIZEOF_LONG."""
    inc = tmp_path / "Include"
    (inc / "internal").mkdir(parents=True)
    (inc / "Python.h").write_text("#ifdef HAVE_SYS_STAT_H\n#endif\n#if SIZEOF_LONG && HAVE_NEW_THING\n#endif\n")
    (inc / "internal" / "pycore.h").write_text("#ifdef HAVE_EPOLL\n#endif\n")
    (inc / "pymacconfig.h").write_text("#ifdef __APPLE__\n#undef SIZEOF_LONG\n#define SIZEOF_LONG 8\n#endif\n")
    return inc


GUARDED = "#ifndef Py_PYCONFIG_H\n#define Py_PYCONFIG_H\n{}\n#endif\n"


@pytest.mark.parametrize(
    ("linux", "kept", "dropped", "error"),
    [
        # read by a public header, the same on macOS: kept as it is
        ("#define HAVE_SYS_STAT_H 1", ["#define HAVE_SYS_STAT_H 1"], [], None),
        # read by the internal headers only: dropped
        ("#define HAVE_EPOLL 1", [], ["HAVE_EPOLL"], None),
        # a size macOS has otherwise: changed, whether or not a header names it
        ("#define SIZEOF_FPOS_T 16", ["#define SIZEOF_FPOS_T 8"], ["SIZEOF_FPOS_T 16"], None),
        # set anew by pymacconfig.h: kept from Linux
        ("#define SIZEOF_LONG 8", ["#define SIZEOF_LONG 8"], [], None),
        # a feature-test macro macOS lacks: dropped; one it has: kept, under its own guard
        ("#define _POSIX_C_SOURCE 200809L", [], ["#define _POSIX_C_SOURCE"], None),
        (
            "#ifndef _GNU_SOURCE\n# define _GNU_SOURCE 1\n#endif",
            ["#ifndef _GNU_SOURCE\n#define _GNU_SOURCE 1\n#endif"],
            [],
            None,
        ),
        # read by a public header, never reviewed: refused
        ("#define HAVE_NEW_THING 1", [], [], "HAVE_NEW_THING"),
        # a reviewed macro defined under a condition the generator cannot carry over: refused
        ("#ifdef __linux__\n#define HAVE_SYS_STAT_H 1\n#endif", [], [], "HAVE_SYS_STAT_H"),
    ],
)
def test_macos_pyconfig(
    generator: ModuleType, include: Path, linux: str, kept: list[str], dropped: list[str], error: str | None
) -> None:
    if error:
        with pytest.raises(ValueError, match=error):
            generator.generate(GUARDED.format(linux), include, "a test")
        return
    out = generator.generate(GUARDED.format(linux), include, "a test")
    assert out.startswith("/*")
    assert "a test" in out
    assert out.count("#ifndef Py_PYCONFIG_H") == 1
    body = "\n".join(line for line in out.splitlines() if not line.startswith(("/*", " *")))
    for text in kept:
        assert text in body
    for text in dropped:
        assert text not in body


@pytest.mark.parametrize(
    ("edit", "compiles"),
    [
        (None, True),
        (("#define SIZEOF_LONG 8", "#define SIZEOF_LONG 4"), False),
        (("#define ALIGNOF_SIZE_T 8", "#define ALIGNOF_SIZE_T 2"), False),
        (("#define SIZEOF_FPOS_T 16", "#define SIZEOF_FPOS_T 8"), False),
    ],
)
def test_size_checks(cross: ModuleType, tmp_path: Path, edit: tuple[str, str] | None, compiles: bool) -> None:
    """The checks, compiled for this machine with its own pyconfig.h, pass, and fail
    once a size in it is wrong."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    include = sysconfig.get_paths()["include"]
    pyconfig = Path(include, "pyconfig.h")
    text = pyconfig.read_text() if pyconfig.is_file() else ""
    if compiler is None or "#define SIZEOF_FPOS_T 16" not in text or "#define ALIGNOF_SIZE_T 8" not in text:
        pytest.skip("needs a C compiler and the pyconfig.h of a glibc x86_64 CPython 3.10 or newer")
    if edit:
        text = text.replace(*edit)
    (tmp_path / "pyconfig.h").write_text(text)
    (tmp_path / "sizes.c").write_text(cross.size_checks(text))
    done = subprocess.run(
        [compiler, "-std=c11", "-fsyntax-only", f"-I{tmp_path}", f"-I{include}", str(tmp_path / "sizes.c")],
        capture_output=True,
        text=True,
    )
    assert (done.returncode == 0) == compiles, done.stderr
    if edit:
        assert edit[0].split()[1] in done.stderr


def test_size_without_a_known_type_is_refused(cross: ModuleType) -> None:
    with pytest.raises(cross.Failed, match="SIZEOF_HKEY"):
        cross.size_checks("#define SIZEOF_INT 4\n#define SIZEOF_HKEY 8\n")
