"""Deletes the cache file and puts a stored text in its place, again and again,
until the file argv[1] exists (a minute at most)."""

from __future__ import annotations

import os
import sys
import time

from _helpers import cache_file
from children.injection import STORED


def main() -> None:
    stop, path, end = sys.argv[1], str(cache_file()), time.time() + 60
    os.makedirs(os.path.dirname(path), exist_ok=True)
    while not os.path.exists(stop) and time.time() < end:
        if os.path.exists(path):
            os.remove(path)
        with open(path + ".new", "w") as f:
            f.write(f" {STORED}\n")
        os.rename(path + ".new", path)


if __name__ == "__main__":
    main()
