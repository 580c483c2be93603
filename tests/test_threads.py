"""Many threads calling the function while others rebind what it looks up.

With the GIL off (free-threaded builds) this is where process-wide state
would race; with the GIL it checks that every lookup is made at its use. The
rebinding threads only ever bind equivalent objects, so every result must be
the identifier the pure-Python equivalent derives on this machine.
"""

from __future__ import annotations

import json

from _helpers import run_py

STRESS = """
import builtins, io, json, os, posixpath, sys, threading, time, types
sys.path.insert(0, sys.argv[1])
import pure_python_machine_id as reference
import tamsel.utils._machine_utils as mu

want = reference.get_machine_id()  # derives and stores it
cache = os.path.expanduser("~/.tamsel/cache/.machine_id")
stop, results, errors = threading.Event(), [], []
exists, join, real_open, ns = posixpath.exists, posixpath.join, builtins.open, mu.__dict__
path_copy = types.ModuleType("posixpath")
path_copy.__dict__.update(posixpath.__dict__)
os_copy = types.SimpleNamespace(path=posixpath, makedirs=os.makedirs)

def caller():
    try:
        for _ in range(int(sys.argv[2])):
            results.append(mu.get_machine_id())
    except BaseException as e:
        errors.append(repr(e))

def rebinder(i):
    n = 0
    while not stop.is_set():
        n += 1
        if i == 0:
            posixpath.exists = (lambda p: exists(p)) if n % 2 else exists
            posixpath.join = (lambda *a: join(*a)) if n % 3 else join
        elif i == 1:
            os.path = path_copy if n % 2 else posixpath
        elif i == 2:
            ns["os"] = os_copy if n % 2 else os
        elif i == 3:
            builtins.open = io.open if n % 2 else real_open
        elif i == 4:
            for d in (ns, posixpath.__dict__, os.__dict__):
                d["_tamsel_extra_%d" % (n % 7)] = n
                d.pop("_tamsel_extra_%d" % ((n + 3) % 7), None)
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
print(json.dumps([len(results), sorted(set(results)) == [want], errors[:3], getattr(sys, "_is_gil_enabled", lambda: True)()]))
"""


def test_threads_rebinding_what_the_function_looks_up() -> None:
    from pathlib import Path

    proc = run_py(STRESS, args=[str(Path(__file__).parent), "200"], timeout=600)
    count, all_equal, errors, gil = json.loads(proc.stdout)
    assert errors == []
    assert (count, all_equal) == (16 * 200, True)
    import sysconfig

    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        assert gil is False  # importing the module left the GIL off
