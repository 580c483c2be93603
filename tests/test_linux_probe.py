"""What the identifier is made of on Linux: the machine-id and DMI files."""

from __future__ import annotations

import json
import platform
from pathlib import Path

import pytest

from _helpers import CHILDREN, expected_id, reference_id, run_py
from fake_machine import LINUX_FILES
from tamsel.utils import _machine_utils as mu

PATHS = LINUX_FILES
PLACEHOLDER = "0" * 10
DIR, BAD = "<directory>", b"\xff\xfe\x80"  # BAD: not UTF-8

# (machine-id, dbus machine-id, product_uuid, board_serial contents; None:
# absent), the items expected after the node piece, the sources opened (MDUS).
CASES = {
    "all four in order": (("m1\n", "m2\n", "U-1\n", "S-1\n"), ["m1", "m2", "U-1", "S-1"], "MDUS"),
    "equal machine-ids kept twice": (("same\n", "same\n", None, None), ["same", "same"], "MD"),
    "blank machine-id": (("\n", "dbus\n", None, None), ["dbus"], "MD"),
    "machine-id is a directory": ((DIR, "d", "u", "s"), ["d", "u", "s"], "MDUS"),
    "machine-id undecodable": ((BAD, "d", "u", "s"), ["d", "u", "s"], "MDUS"),
    "dbus undecodable": (("m", BAD, "u", "s"), ["m", "u", "s"], "MDUS"),
    "uuid is a directory ends DMI": (("m", "d", DIR, "s"), ["m", "d"], "MDU"),
    "uuid undecodable ends DMI": (("m", None, BAD, "s"), ["m"], "MU"),
    "serial undecodable keeps uuid": (("m", None, "u", BAD), ["m", "u"], "MUS"),
    "uuid placeholder skipped": ((None, None, " 0000000000\n", "s"), ["s"], "US"),
    "uuid blank skipped": ((None, None, " \t\n", "s"), ["s"], "US"),
    "eleven zeros kept": ((None, None, "00000000000", "0000000000\n"), ["00000000000"], "US"),
    "zero uuid with hyphens kept": (
        (None, None, "00000000-0000-0000-0000-000000000000", None),
        ["00000000-0000-0000-0000-000000000000"],
        "U",
    ),
    "placeholder in machine-ids kept": (("0000000000", "0000000000\n", None, None), [PLACEHOLDER, PLACEHOLDER], "MD"),
    "inner whitespace and case kept": (("  A b\tC \n", "x\ny\n", " Ab \n", None), ["A b\tC", "x\ny", "Ab"], "MDU"),
    "non-ASCII hashed as UTF-8": ((None, None, None, "Séri€\n"), ["Séri€"], "S"),
    "none exists: the fallback digest": ((None, None, None, None), [], ""),
}


@pytest.mark.parametrize(("contents", "items", "opened"), CASES.values(), ids=CASES.keys())
def test_linux_sources(tmp_path: Path, contents: tuple[str | bytes | None, ...], items: list[str], opened: str) -> None:
    files = {}
    for i, (path, content) in enumerate(zip(PATHS, contents)):
        fixture = tmp_path / f"source{i}"
        if content == DIR:
            fixture.mkdir()
        elif content is not None:
            fixture.write_bytes(content if isinstance(content, bytes) else content.encode())
        files[path] = None if content is None else str(fixture)
    # A fresh process, whose module reads the fixtures through the `open` it takes at import.
    out = json.loads(run_py(CHILDREN / "linux_sources.py", args=[json.dumps(files)], env={"PYTHONUTF8": "1"}).stdout)
    assert out["id"] == expected_id(items) == out["reference"]
    assert out["opened"] == [PATHS["MDUS".index(c)] for c in opened]


@pytest.mark.skipif(platform.system() in ("Windows", "Darwin"), reason="Linux sources only")
def test_this_machine() -> None:
    assert mu.get_machine_id() == reference_id()
