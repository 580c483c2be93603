"""Imports the module four times while the version check warns (run with
PYTHONWARNINGS=error): with warnings as errors, ignored with platform blocked,
as errors again, then ignored. Prints, as JSON, what each attempt gave: the
identifier's length, or the exception (type, message, the module's traceback
entries)."""

from __future__ import annotations

import json
import sys
import traceback
import warnings


def attempt() -> object:
    try:
        import tamsel.utils._machine_utils as mod

        return len(mod.get_machine_id())
    except (RuntimeWarning, ImportError) as exc:
        return [
            type(exc).__name__,
            str(exc),
            [e.name for e in traceback.extract_tb(exc.__traceback__) if "tamsel" in e.name],
        ]


def main() -> None:
    results = [attempt()]  # warnings are errors (PYTHONWARNINGS)
    warnings.simplefilter("ignore")
    sys.modules["platform"] = None  # type: ignore[assignment]  # what makes an import fail
    results.append(attempt())  # past the version check this time
    del sys.modules["platform"]
    warnings.simplefilter("error")
    results.append(attempt())
    warnings.simplefilter("ignore")
    print(json.dumps([*results, attempt()]))


if __name__ == "__main__":
    main()
