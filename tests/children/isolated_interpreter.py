"""Imports the module in an interpreter with its own GIL, then in this one,
then in a subinterpreter that shares the GIL. Prints, as JSON, the isolated
interpreter's error, the identifier's length and the subinterpreter's result."""

from __future__ import annotations

import _testcapi
import importlib
import json
from typing import Any


def main() -> None:
    interpreters: Any
    try:
        interpreters = importlib.import_module("_interpreters")
    except ImportError:
        interpreters = importlib.import_module("_xxsubinterpreters")
    interp = interpreters.create()  # its own GIL
    try:
        failure = interpreters.run_string(interp, "import tamsel.utils._machine_utils")
        isolated = failure.formatted if failure else None
    except interpreters.RunFailedError as e:
        isolated = str(e)
    import tamsel.utils._machine_utils as mu  # the refused attempt claimed nothing

    shared = _testcapi.run_in_subinterp("import tamsel.utils._machine_utils")
    print(json.dumps([isolated, len(mu.get_machine_id()), shared]))


if __name__ == "__main__":
    main()
