"""Runs the module's code objects (the function's, and those of the module's
traceback entries) with exec(), with exec() in an empty namespace and as a new
function. Prints, as JSON, [code name, "returned" or the exception type] for
each run."""

from __future__ import annotations

import json
import traceback
import types
from typing import Callable

from _helpers import block_cache


def main() -> None:
    block_cache()
    import tamsel.utils._machine_utils as mu

    f = mu.get_machine_id

    def entries() -> list[types.CodeType]:
        vars(mu)["uuid"] = types.SimpleNamespace(getnode=lambda: 1 / 0)
        try:
            f()
        except ZeroDivisionError as e:
            return [
                frame.f_code
                for frame, _ in traceback.walk_tb(e.__traceback__)
                if frame.f_code.co_filename.startswith("tamsel/")
            ]
        return []

    outcomes = []
    for code in [f.__code__, *entries()]:
        runs: list[Callable[[], object]] = [
            lambda: exec(code),  # noqa: B023 (run at once)
            lambda: exec(code, {}),  # noqa: B023
            lambda: types.FunctionType(code, {})(),  # noqa: B023
        ]
        for run in runs:
            try:
                run()
                outcomes.append([code.co_name, "returned"])
            except BaseException as e:
                outcomes.append([code.co_name, type(e).__name__])
    print(json.dumps(outcomes))


if __name__ == "__main__":
    main()
