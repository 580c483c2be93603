"""Loads the extension file argv[1] as tamsel.utils._machine_utils (its parent
packages empty stand-ins), with the warnings filter sys.warnoptions[0] (-W or
PYTHONWARNINGS), without calling it. Prints, as JSON, the warnings (category,
message) and whether get_machine_id is there, or the RuntimeWarning raised and
the names of its traceback entries."""

from __future__ import annotations

import importlib.machinery
import importlib.util
import json
import sys
import traceback
import types
import warnings


def main() -> None:
    for package in ("tamsel", "tamsel.utils"):
        sys.modules[package] = types.ModuleType(package)
        sys.modules[package].__path__ = []
    name, path = "tamsel.utils._machine_utils", sys.argv[1]
    loader = importlib.machinery.ExtensionFileLoader(name, path)
    spec = importlib.util.spec_from_file_location(name, path, loader=loader)
    assert spec is not None
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter(sys.warnoptions[0])  # an action, as given
            module = importlib.util.module_from_spec(spec)
            loader.exec_module(module)  # get_machine_id is not called: the build may be another interpreter's
        print(json.dumps([[[w.category.__name__, str(w.message)] for w in caught], callable(module.get_machine_id)]))
    except RuntimeWarning as exc:
        print(json.dumps([str(exc), [e.name for e in traceback.extract_tb(exc.__traceback__)]]))


if __name__ == "__main__":
    main()
