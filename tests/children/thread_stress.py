"""16 threads call the module while six others rebind, only ever to equivalent
objects, what it looks up: os.path functions, os.path itself, the module's os,
builtins.open, extra keys of those dicts, and the cache file.

    thread_stress.py CALLS             prints [calls, all equal to the
                                       reference, first errors, GIL enabled]
"""

import builtins
import io
import json
import os
import posixpath
import sys
import threading
import time
import types

import pure_python_machine_id as reference
import tamsel.utils._machine_utils as mu

want = reference.get_machine_id()  # derives and stores it
cache = os.path.expanduser("~/.tamsel/cache/.machine_id")
stop = threading.Event()
results: list[str] = []
errors: list[str] = []
exists, join, real_open, ns = posixpath.exists, posixpath.join, builtins.open, mu.__dict__
path_copy = types.ModuleType("posixpath")
path_copy.__dict__.update(posixpath.__dict__)
os_copy = types.SimpleNamespace(path=posixpath, makedirs=os.makedirs)


def caller() -> None:
    try:
        for _ in range(int(sys.argv[1])):
            results.append(mu.get_machine_id())
    except BaseException as e:
        errors.append(repr(e))


def rebinder(i: int) -> None:
    n = 0
    while not stop.is_set():
        n += 1
        if i == 0:
            setattr(posixpath, "exists", (lambda p: exists(p)) if n % 2 else exists)  # noqa: B010
            setattr(posixpath, "join", (lambda *a: join(*a)) if n % 3 else join)  # noqa: B010
        elif i == 1:
            setattr(os, "path", path_copy if n % 2 else posixpath)  # noqa: B010
        elif i == 2:
            ns["os"] = os_copy if n % 2 else os
        elif i == 3:
            setattr(builtins, "open", io.open if n % 2 else real_open)  # noqa: B010
        elif i == 4:
            for d in (ns, posixpath.__dict__, os.__dict__):
                d[f"_tamsel_extra_{n % 7}"] = n
                d.pop(f"_tamsel_extra_{(n + 3) % 7}", None)
        else:
            try:
                os.unlink(cache)
            except OSError:
                pass
            with real_open(cache + ".new", "w") as f:
                f.write(want)
            os.replace(cache + ".new", cache)
        time.sleep(0)


helpers = [threading.Thread(target=rebinder, args=(i,)) for i in range(6)]
callers = [threading.Thread(target=caller) for _ in range(16)]
for t in helpers + callers:
    t.start()
for t in callers:
    t.join()
stop.set()
for t in helpers:
    t.join()
gil = getattr(sys, "_is_gil_enabled", lambda: True)()
print(json.dumps([len(results), sorted(set(results)) == [want], errors[:3], gil]))
