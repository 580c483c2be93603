"""Imports the module and prints, as JSON, sys.version and the warnings the
import gave (category, message)."""

from __future__ import annotations

import json
import sys
import warnings


def main() -> None:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        import tamsel.utils._machine_utils  # noqa: F401
    print(json.dumps([sys.version, [[w.category.__name__, str(w.message)] for w in caught]]))


if __name__ == "__main__":
    main()
