"""Takes every dict watcher (CPython 3.12 and later), then runs pytest with
the arguments given."""

from __future__ import annotations

import _testcapi
import sys

import pytest


def main() -> int:
    try:
        while True:
            _testcapi.add_dict_watcher(0)
    except RuntimeError:
        pass
    return pytest.main(sys.argv[1:])


if __name__ == "__main__":
    sys.exit(main())
