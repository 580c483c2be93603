"""Imports the module with one of the modules it imports (argv[1]) blocked,
then once more unblocked, and a subinterpreter tries each time. Prints, as
JSON: the import error's module name and the module's traceback entries
(function, line, file), the identifier's length, whether each module is
bound, and what the subinterpreters' runs returned."""

from __future__ import annotations

import _testcapi
import json
import sys
import traceback
from types import CodeType

ORDER = ["hashlib", "platform", "uuid", "os"]  # the order the module imports them in


def from_module(code: CodeType) -> bool:
    return "tamsel" in code.co_name or code.co_filename.startswith("tamsel/")


def main() -> None:
    blocked = sys.argv[1]
    for name in ORDER[: ORDER.index(blocked)]:
        __import__(name)
    sys.modules[blocked] = None  # type: ignore[assignment]  # what makes an import fail
    error: list[object] = ["no ImportError", []]
    try:
        import tamsel.utils._machine_utils  # noqa: F401
    except ImportError as exc:
        # walk_tb, not extract_tb: reading source lines would import the blocked module
        entries = traceback.walk_tb(exc.__traceback__)
        error = [
            exc.name,
            [[f.f_code.co_name, line, f.f_code.co_filename] for f, line in entries if from_module(f.f_code)],
        ]
    subinterpreter = [_testcapi.run_in_subinterp("import tamsel.utils._machine_utils")]
    del sys.modules[blocked]
    import tamsel.utils._machine_utils as mod

    subinterpreter.append(_testcapi.run_in_subinterp("import tamsel.utils._machine_utils"))
    bound = [getattr(mod, n) is sys.modules[n] for n in ORDER]
    print(json.dumps([*error, len(mod.get_machine_id()), bound, subinterpreter]))


if __name__ == "__main__":
    main()
