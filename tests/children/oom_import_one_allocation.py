"""Out of memory at one allocation of the import: for each k, in a fork of
this process, the k-th allocation alone fails and a failed import is retried,
until the import no longer reaches the k-th allocation. The retried import
must succeed and give the right identifier. Reports what went wrong, the
points swept and the outcomes seen."""

from __future__ import annotations

import functools
import importlib.util
import json
import os
import signal
import sys
from collections import Counter
from types import ModuleType
from typing import Any, Callable

from _helpers import block_cache, expected_id
from children.injection import ITEMS, MACHINE, STEP, init, load, prepare, report

# From 3.11 PyType_FromSpec returns NULL with no exception set when it cannot
# allocate the copy of the type's name (a PyMem_Malloc whose failure it does not
# report); the import then fails with a SystemError saying so.
NO_EXCEPTION = "returned NULL without setting an exception"

# CPython 3.13.0 itself crashes at two later points of PyType_FromSpec, counted
# from that one (`anchor`: the first point that fails with a SystemError or a
# crash). While the type's members and getters go into its dict,
# PyDict_SetDefaultRef (dict_setdefault_ref_lock_held, Objects/dictobject.c)
# ignores that insert_combined_dict could not allocate the resized keys: it
# returns 0 and counts the entry in ma_used although dk_nentries did not grow,
# so the next resize (build_indices_unicode) reads the entry past the last one
# and dereferences a NULL or stale key. The two points lie 11 allocations
# apart, 17 to 18 allocations after the anchor: by one more or less depending
# on the allocator (PYTHONMALLOC=malloc) and on what the module allocates
# before the type. Only crashes in that window are put down to the interpreter.
INTERPRETER_CRASHES = {(3, 13, 0): {16, 17, 18, 27, 28, 29}}.get(sys.version_info[:3], set())


def import_once(import_it: Callable[[], ModuleType], k: int) -> list[Any]:
    """In a fork: the k-th allocation alone fails; a failed import is retried."""
    import _testcapi

    _testcapi.set_nomemory(k, k + 1)
    m: ModuleType | None = None
    e: BaseException | None = None
    try:
        m = import_it()
    except BaseException as exc:
        e = exc
    try:  # past the import's last allocation, the k-th one is still to come
        for _ in range(k + 2):
            bytearray(1)
        past = False
    except MemoryError:
        past = True
    _testcapi.remove_mem_hooks()
    accepted = isinstance(e, MemoryError) or (isinstance(e, SystemError) and str(e).endswith(NO_EXCEPTION))
    if m is None and accepted:
        m = import_it()
    prepare("L")
    good = m is not None and load(m).get_machine_id() == expected_id(ITEMS["Linux"])
    return [type(e).__name__ if e else "none", str(e)[-300:], past, good]


def main() -> None:
    import hashlib  # noqa: F401 (imported already, as in oom_import.py)
    import platform  # noqa: F401
    import uuid  # noqa: F401

    import tamsel.utils  # noqa: F401

    block_cache()
    spec = importlib.util.find_spec("tamsel.utils._machine_utils")
    assert spec is not None
    errors: Counter[str] = Counter()
    bad: list[Any] = []
    k, anchor = 0, None
    import_it = functools.partial(MACHINE.opened, functools.partial(init, spec))
    while k < 20000:
        out, into = os.pipe()
        pid = os.fork()
        if pid == 0:
            try:
                os.write(into, json.dumps(import_once(import_it, k)).encode())
            except BaseException as e:
                os.write(into, json.dumps(["harness", repr(e), False, False]).encode())
            finally:
                os._exit(0)
        os.close(into)
        with os.fdopen(out) as f:
            text = f.read()
        status = os.waitpid(pid, 0)[1]
        signalled = os.WIFSIGNALED(status) and signal.Signals(os.WTERMSIG(status)).name
        name, message, past, good = json.loads(text) if text else [str(signalled or status), "", False, False]
        if past:
            break
        anchor = k if anchor is None and (signalled or name == "SystemError") else anchor
        if signalled and anchor is not None and k - anchor in INTERPRETER_CRASHES:
            name = "skipped"
        errors[str(name)] += 1
        bad += [] if good or name == "skipped" else [[k, name, message]]
        k += STEP
    report(bad, swept=k, errors=errors)


if __name__ == "__main__":
    main()
