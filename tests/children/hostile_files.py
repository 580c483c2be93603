"""The cache file and each of the four Linux probe files as a directory, a
dangling link, a link loop, undecodable bytes, NUL bytes, only whitespace and
10 MB of text, and a file where the cache directory belongs: each case, in a
new HOME, must give the expected identifier twice. Reports the cases that went
wrong and their number."""

from __future__ import annotations

import itertools
import os
import tempfile
from typing import Any

from _helpers import cache_file, expected_id
from children.injection import ITEMS, MACHINE, fixture, load, prepare, report
from fake_machine import LINUX_FILES

# Hostile files, and whether each is a failure, a skip or a text kept (stripped).
KINDS = {
    "dir": "fail",
    "dangling": "skip",
    "loop": "skip",
    "undecodable": "fail",
    "nul": "keep",
    "blank": "skip",
    "huge": "keep",
}
DATA = {"undecodable": b" \xff\xfe id\n", "nul": b" a\0b \n", "blank": b" \t\r\n\n ", "huge": b"x" * 10_000_000 + b"\n"}


def plant(path: str, kind: str) -> None:
    if os.path.lexists(path):
        os.remove(path)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if kind in ("dangling", "loop"):
        os.symlink(path + ".gone" if kind == "dangling" else path, path)
        return
    if kind == "dir":
        os.mkdir(path)
    if kind in DATA:
        with open(path, "wb") as f:
            f.write(DATA[kind])


def main() -> None:
    m = load()
    bad: list[Any] = []
    cases: list[tuple[Any, str]] = [("cachedir", "dir"), *itertools.product(["cache", 0, 1, 2, 3], KINDS)]
    for target, kind in cases:
        os.environ["HOME"] = tempfile.mkdtemp()
        fixture()  # new probe files
        prepare("L")
        items, fate = list(ITEMS["Linux"]), KINDS[kind]
        kept = DATA.get(kind, b"").decode().strip() if fate == "keep" else None
        if target == "cachedir":  # ~/.tamsel/cache is a file
            plant(str(cache_file().parent), "nul")
        elif target == "cache":
            plant(str(cache_file()), kind)
        else:
            plant(MACHINE.files[LINUX_FILES[target]], kind)
            items[target:] = ([kept] if kept else []) + ([] if fate == "fail" and target >= 2 else items[target + 1 :])
        want = kept if target == "cache" and kept else expected_id(items)
        got = [m.get_machine_id() for _ in range(2)]
        bad += [] if got == [want, want] else [[target, kind, [g[:80] for g in got]]]
    report(bad, cases=len(cases))


if __name__ == "__main__":
    main()
