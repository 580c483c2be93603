#!/usr/bin/env python3
"""Writes the pyconfig.h of one CPython series for macOS, made from its Linux one.

    python3 scripts/cross/macos_pyconfig.py LINUX_PYCONFIG INCLUDE_DIR ORIGIN > scripts/cross/pyconfig-macos-3.X.h

LINUX_PYCONFIG is the pyconfig.h of a CPython of that series built for Linux x86_64,
INCLUDE_DIR the Include/ directory of its sources (scripts/cross_compile.py extracts it
into its cache), ORIGIN a few words on where the Linux pyconfig.h came from, for the
header of the output. The output serves the cross-compile check only
(scripts/cross_compile.py), for arm64 and x86_64 macOS alike.

It keeps what an extension's compilation reads: every SIZEOF_/ALIGNOF_ macro, the
feature-test macros (read by the system headers) and each other macro that a public
header names (Include/ less internal/ and py_curses.h). Each of these must be listed
below, as the same on macOS, as different there, or as one that Include/pymacconfig.h
sets for each architecture; an unlisted one stops the generator, so that a macro that
a new series starts to read is looked at before it is used. cross_compile.py checks
every size again with `_Static_assert`s compiled for each macOS target.
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

_X86_64_OR_ARM64 = "#if defined(__x86_64__)\n#define {name} {x86_64}\n#else\n#define {name} {arm64}\n#endif"

# Macros that macOS has otherwise: why, and the definition there (None: undefined).
_CRYPT = ("no <crypt.h> on macOS; crypt() is declared in <unistd.h>", None)
_LEVEL = ("configure defines no POSIX or X/Open level on macOS", None)
DIFFERENT: dict[str, tuple[str, str | None]] = {
    "SIZEOF_FPOS_T": ("fpos_t is an off_t, not a struct as in glibc", "#define SIZEOF_FPOS_T 8"),
    "SIZEOF_PTHREAD_KEY_T": (
        "pthread_key_t is an unsigned long, not an unsigned int",
        "#define SIZEOF_PTHREAD_KEY_T 8",
    ),
    "SIZEOF_LONG_DOUBLE": (
        "long double is a double on arm64 (pymacconfig.h of 3.9 leaves it)",
        _X86_64_OR_ARM64.format(name="SIZEOF_LONG_DOUBLE", x86_64=16, arm64=8),
    ),
    "ALIGNOF_MAX_ALIGN_T": (
        "max_align_t is a long double, so 8 on arm64",
        _X86_64_OR_ARM64.format(name="ALIGNOF_MAX_ALIGN_T", x86_64=16, arm64=8),
    ),
    "HAVE_CRYPT_H": _CRYPT,
    "HAVE_CRYPT_R": _CRYPT,
    "_POSIX_C_SOURCE": _LEVEL,
    "_XOPEN_SOURCE": _LEVEL,
    "_XOPEN_SOURCE_EXTENDED": _LEVEL,
    "WITH_DTRACE": ("a choice of the Linux build; pydtrace.h would include a generated header", None),
}

# Macros read when compiling an extension that macOS defines as Linux does: feature-test
# macros; headers and functions; sizes and formats; choices of the build.
SAME = set(
    """
    _ALL_SOURCE _DARWIN_C_SOURCE _FILE_OFFSET_BITS _GNU_SOURCE _HPUX_ALT_XOPEN_SOCKET_API
    _LARGEFILE_SOURCE _NETBSD_SOURCE _OPENBSD_SOURCE _POSIX_PTHREAD_SEMANTICS _REENTRANT
    _TANDEM_SOURCE __BSD_VISIBLE __EXTENSIONS__ __STDC_WANT_IEC_60559_ATTRIBS_EXT__
    __STDC_WANT_IEC_60559_BFP_EXT__ __STDC_WANT_IEC_60559_DFP_EXT__ __STDC_WANT_IEC_60559_EXT__
    __STDC_WANT_IEC_60559_FUNCS_EXT__ __STDC_WANT_IEC_60559_TYPES_EXT__ __STDC_WANT_LIB_EXT2__
    __STDC_WANT_MATH_SPEC_FUNCS__

    HAVE_CLOCK_GETTIME HAVE_COPYSIGN HAVE_DECL_ISFINITE HAVE_DECL_ISINF HAVE_DECL_ISNAN
    HAVE_ERRNO_H HAVE_FINITE HAVE_FORK HAVE_HYPOT HAVE_LANGINFO_H HAVE_PTHREAD_H HAVE_READLINK
    HAVE_REALPATH HAVE_ROUND HAVE_SSIZE_T HAVE_SYS_SELECT_H HAVE_SYS_STAT_H HAVE_SYS_TIME_H
    HAVE_SYS_TYPES_H HAVE_WCHAR_H TIME_WITH_SYS_TIME

    ALIGNOF_LONG ALIGNOF_SIZE_T PY_FORMAT_SIZE_T SIZEOF_DOUBLE SIZEOF_FLOAT SIZEOF_INT
    SIZEOF_LONG_LONG SIZEOF_OFF_T SIZEOF_PID_T SIZEOF_SHORT SIZEOF_WCHAR_T

    Py_ENABLE_SHARED WITH_DOC_STRINGS WITH_MIMALLOC WITH_PYMALLOC _Py_STACK_GROWS_DOWN
    """.split()
)

_DIRECTIVE = re.compile(r"^\s*#\s*(\w+)\s*(.*?)\s*$")
_IDENTIFIER = re.compile(r"\b[A-Za-z_]\w*\b")
_GUARD = "Py_PYCONFIG_H"


def definitions(pyconfig: str) -> tuple[dict[str, str], set[str]]:
    """The macros that a pyconfig.h made by configure defines, with their values, and
    those that it defines only under some condition (other than the file's include
    guard or an `#ifndef` of the macro itself)."""
    plain: dict[str, str] = {}
    conditional: set[str] = set()
    frames: list[str | None] = []  # the name of each open #ifndef, None for other conditions
    for line in pyconfig.splitlines():
        match = _DIRECTIVE.match(line)
        if not match:
            continue
        directive, rest = match.groups()
        if directive.startswith("if"):
            frames.append(rest if directive == "ifndef" else None)
        elif directive in ("else", "elif"):
            frames[-1] = None
        elif directive == "endif":
            frames.pop()
        elif directive == "define":
            name, _, value = rest.partition(" ")
            if all(frame in (_GUARD, name) for frame in frames):
                plain.setdefault(name, value.strip())
            else:
                conditional.add(name)
    return plain, conditional


def is_feature_test(name: str) -> bool:
    return re.match(r"_+[A-Z]", name) is not None and not name.startswith(("_Py", "_PY"))


def read_by_headers(include: Path) -> set[str]:
    """Every identifier that the public headers under `include` name."""
    names: set[str] = set()
    for header in include.rglob("*.h"):
        if "internal" not in header.relative_to(include).parts and header.name != "py_curses.h":
            names.update(_IDENTIFIER.findall(header.read_text(errors="replace")))
    return names


def per_architecture(include: Path) -> set[str]:
    """The macros that Include/pymacconfig.h sets anew for the architecture compiled for."""
    return set(re.findall(r"^\s*#\s*undef\s+(\w+)", (include / "pymacconfig.h").read_text(), re.M))


def generate(linux: str, include: Path, origin: str) -> str:
    defines, conditional = definitions(linux)
    read = read_by_headers(include)
    by_arch = per_architecture(include)

    def needed(name: str) -> bool:
        return name in read or is_feature_test(name) or name.startswith(("SIZEOF_", "ALIGNOF_"))

    kept = [n for n in defines if needed(n) and n != _GUARD]
    unreviewed = [n for n in kept if n not in SAME and n not in DIFFERENT and n not in by_arch]
    unreviewed += sorted(n for n in conditional - defines.keys() if needed(n) and n not in by_arch)
    if unreviewed:
        raise ValueError(f"macros not reviewed for macOS: {', '.join(unreviewed)}")
    out = [
        "/* pyconfig.h for macOS (arm64 and x86_64), for scripts/cross_compile.py only.",
        f" * Made by scripts/cross/macos_pyconfig.py from {origin}:",
        " * the macros that compiling an extension reads, with the values of macOS;",
        " * Include/pymacconfig.h then sets those that differ between architectures.",
        " */",
        f"#ifndef {_GUARD}",
        f"#define {_GUARD}",
    ]
    for name in kept:
        if name in DIFFERENT:
            why, definition = DIFFERENT[name]
            out.append(f"/* {name}: {why} */")
            if definition is not None:
                out.append(definition)
        elif is_feature_test(name):
            out.append(f"#ifndef {name}\n#define {name} {defines[name]}\n#endif")
        else:
            out.append(f"#define {name} {defines[name]}".rstrip())
    out.append(f"#endif /* {_GUARD} */")
    return "\n".join(out) + "\n"


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    linux, include, origin = argv
    try:
        sys.stdout.write(generate(Path(linux).read_text(), Path(include), origin))
    except ValueError as e:
        print(f"macos_pyconfig: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
