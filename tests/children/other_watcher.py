"""posixpath.exists replaced while another dict watcher runs Python code that
calls the module: prints how often the next call used the new function."""

import _testcapi
import posixpath
import sys

import tamsel.utils._machine_utils as mu

mu.get_machine_id()
watcher = _testcapi.add_dict_watcher(1)  # raises in every event
_testcapi.watch_dict(watcher, posixpath.__dict__)
sys.unraisablehook = lambda unraisable: mu.get_machine_id() and None
calls: list[str] = []
exists = posixpath.exists


def counted(path: str) -> bool:
    calls.append(path)
    return exists(path)


setattr(posixpath, "exists", counted)  # noqa: B010 (a store into the watched dict)
_testcapi.unwatch_dict(watcher, posixpath.__dict__)
mu.get_machine_id()
print(len(calls))
