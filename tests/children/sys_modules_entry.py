"""Executes the module from its spec with its sys.modules entry "occupied" by
another object or "free" (argv[1]). Prints, as JSON, whether the entry is then
that object and whether it is the new module."""

from __future__ import annotations

import importlib.util
import json
import sys

NAME = "tamsel.utils._machine_utils"


def main() -> None:
    spec, sentinel = importlib.util.find_spec(NAME), object()
    assert spec is not None
    assert spec.loader is not None
    if sys.argv[1] == "occupied":
        sys.modules[NAME] = sentinel  # type: ignore[assignment]  # any object may stand there
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    print(json.dumps([sys.modules.get(NAME) is sentinel, sys.modules.get(NAME) is module]))


if __name__ == "__main__":
    main()
