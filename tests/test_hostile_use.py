"""What a caller may do with the function object: bind it as one of the names it
calls (on any thread's stack, or a switched one), run its code objects,
introspect it, change its type, load the module into isolated interpreters.
Each case that could crash runs in a child process."""

from __future__ import annotations

import inspect
import json
import platform
import pydoc
import re
import signal
import subprocess
import sys
from pathlib import Path

import pytest

from _helpers import run_py
from tamsel.utils import _machine_utils as mu

# The function bound as uuid.getnode or platform.system, directly or through
# functools.partial, with no cache file. Every level's catch-all tries the
# derivation and then the fallback, so the work doubles per level: the limit
# is set a few levels above the current depth.
SELF_CALL = """
import functools, json, os, sys, threading, types
open(os.path.expanduser("~/.tamsel"), "w").close()  # nothing is ever stored
import tamsel.utils._machine_utils as mu
f = mu.get_machine_id
target, wrap, levels = sys.argv[1], sys.argv[2], int(sys.argv[3])
bound = functools.partial(f) if wrap == "partial" else f
if target == "getnode":
    mu.uuid = types.SimpleNamespace(getnode=bound)
else:
    mu.platform = types.SimpleNamespace(system=bound)
def depth():
    frame, n = sys._getframe(), 0
    while frame:
        frame, n = frame.f_back, n + 1
    return n
def attempt():
    sys.setrecursionlimit(depth() + levels if levels < 1000 else levels)
    try:
        result = f()
        outcome = ["returned", len(result)]
    except BaseException as e:
        outcome = ["raised", type(e).__name__]
    print(json.dumps(outcome), flush=True)
if sys.argv[4] == "thread":  # a small stack, far smaller than the limit allows for
    threading.stack_size(512 * 1024)
    thread = threading.Thread(target=attempt)
    thread.start(), thread.join()
else:
    attempt()
"""


@pytest.mark.parametrize(
    ("target", "wrap", "expected"),
    [
        ("getnode", "direct", ["raised", "RecursionError"]),
        ("getnode", "partial", ["raised", "RecursionError"]),
        # The innermost level's fallback succeeds, so every level above returns.
        ("system", "direct", ["returned", 64]),
        ("system", "partial", ["returned", 64]),
    ],
)
def test_self_call_ends_in_recursion_error(target: str, wrap: str, expected: list[object]) -> None:
    proc = run_py(SELF_CALL, args=[target, wrap, "8", "main"], timeout=120)
    assert json.loads(proc.stdout) == expected


@pytest.mark.parametrize(("limit", "where"), [("1000", "main"), ("1000000", "main"), ("1000000", "thread")])
def test_self_call_at_large_limits_does_not_crash(tmp_path: Path, limit: str, where: str) -> None:
    """At such limits the doubling work never ends in reasonable time; what
    matters is that the stack is never exhausted. A crash shows within moments
    (the nesting goes to its full depth first), so a few seconds tell."""
    proc = subprocess.Popen(
        [sys.executable, "-c", SELF_CALL, "getnode", "partial", limit, where],
        cwd=tmp_path,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        out, err = proc.communicate(timeout=4)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        assert proc.returncode == -signal.SIGKILL, err
        return
    assert proc.returncode == 0, err
    assert json.loads(out) == ["raised", "RecursionError"], err


RUN_CODE = """
import json, os, sys, traceback, types
open(os.path.expanduser("~/.tamsel"), "w").close()
import tamsel.utils._machine_utils as mu
f = mu.get_machine_id
def entries():
    mu.uuid = types.SimpleNamespace(getnode=lambda: 1 / 0)
    try:
        f()
    except ZeroDivisionError as e:
        return [frame.f_code for frame, _ in traceback.walk_tb(e.__traceback__)
                if frame.f_code.co_filename.startswith("tamsel/")]
codes = [f.__code__] + entries()
outcomes = []
for code in codes:
    for run in (lambda: exec(code), lambda: exec(code, {}), lambda: types.FunctionType(code, {})()):
        try:
            run()
            outcomes.append([code.co_name, "returned"])
        except BaseException as e:
            outcomes.append([code.co_name, type(e).__name__])
print(json.dumps(outcomes))
"""


def test_running_the_code_objects_raises() -> None:
    proc = run_py(RUN_CODE)
    outcomes = json.loads(proc.stdout)
    names = {name for name, _ in outcomes}
    assert names == {"get_machine_id", "tamsel.utils._machine_utils.get_machine_id"}
    assert {outcome for _, outcome in outcomes} == {"AssertionError"}
    assert len(outcomes) >= 6
    assert proc.stderr == ""  # the interpreter printed nothing either


def test_introspects_as_a_builtin_function() -> None:
    f = mu.get_machine_id
    assert inspect.isroutine(f)
    assert str(inspect.signature(f)) == "() -> 'str'"

    class Holder:
        g = f  # mypy takes any callable in a class body for a method: not this one

    assert Holder.g is f
    assert Holder().g is f  # type: ignore[misc]  # not turned into a method
    with pytest.raises(TypeError, match="cannot create"):
        type(f)()  # type: ignore[call-arg]  # the type cannot be instantiated at all
    text = pydoc.render_doc(mu, renderer=pydoc.plaintext)  # type: ignore[attr-defined]  # not in the stub of pydoc
    functions = text[text.index("FUNCTIONS") : text.index("DATA")]

    def get_machine_id() -> str:  # how this interpreter shows such a Python function
        """Generate a unique machine identifier with hardware info."""
        return ""

    heading = pydoc.plaintext.document(get_machine_id).splitlines()[0]  # type: ignore[attr-defined]  # as above
    assert heading + "\n        Generate a unique machine identifier with hardware info." in functions


ISOLATED = """
import json, sys, _testcapi
try:
    import _interpreters as interpreters
except ImportError:
    import _xxsubinterpreters as interpreters
interp = interpreters.create()  # its own GIL
try:
    failure = interpreters.run_string(interp, "import tamsel.utils._machine_utils")
    isolated = failure.formatted if failure else None
except interpreters.RunFailedError as e:
    isolated = str(e)
import tamsel.utils._machine_utils as mu  # the refused attempt claimed nothing
shared = _testcapi.run_in_subinterp("import tamsel.utils._machine_utils")
print(json.dumps([isolated, len(mu.get_machine_id()), shared]))
"""


@pytest.mark.skipif(sys.version_info < (3, 12), reason="interpreters with their own GIL came with 3.12")
def test_isolated_interpreter_gets_an_import_error() -> None:
    pytest.importorskip("_testcapi")
    proc = run_py(ISOLATED)
    isolated, id_length, shared = json.loads(proc.stdout)
    assert re.search(
        r"ImportError.*: module tamsel.utils._machine_utils does not support loading in subinterpreters", isolated
    )
    assert id_length == 64
    assert shared == -1
    assert "ImportError: Interpreter change detected - this module can only be loaded" in proc.stderr


# The function bound as uuid.getnode through a wrapper that swallows
# RecursionError, called with no cache in a new thread on a 256 KiB stack that
# ctypes maps, under a recursion limit far beyond what that stack holds: the
# stack check must end the nesting, and the call returns. Before that thread,
# "dead-thread" has a thread on a 64 MiB stack call the function and end (its
# stack is unmapped, and the new stack is mapped at the top of its range);
# "foreign-stack" calls the function once on a stack switched to with
# swapcontext, as coroutine libraries do, and then nests in the thread that
# switched as well.
NEW_STACK = """
import ctypes, json, os, sys, threading, types
open(os.path.expanduser("~/.tamsel"), "w").close()  # nothing is ever stored
import tamsel.utils._machine_utils as mu
f, case, SMALL, swallowed = mu.get_machine_id, sys.argv[1], 256 << 10, []
libc = ctypes.CDLL(None)
libc.mmap.restype, libc.pthread_self.restype = ctypes.c_void_p, ctypes.c_ulong
libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_long]
libc.pthread_getattr_np.argtypes = [ctypes.c_ulong, ctypes.c_void_p]
libc.pthread_attr_setstack.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]
libc.pthread_join.argtypes = [ctypes.c_ulong, ctypes.c_void_p]

def guarded():
    try:
        return f()
    except RecursionError:
        swallowed.append(1)
        return 0

def deep():
    swallowed.clear()
    mu.uuid = types.SimpleNamespace(getnode=guarded)
    sys.setrecursionlimit(1000000)
    result = f()
    return [len(result), int(result, 16) >= 0, bool(swallowed)]

def on_new_stack(address=None):  # deep() in a thread whose stack is mapped at `address`
    flags = 0x22 | (0x100000 if address else 0)  # private, anonymous, fixed but never replacing
    stack = libc.mmap(address, SMALL, 3, flags, -1, 0)
    if stack in (None, 2**64 - 1) or address and stack != address:
        return None
    out, attr, tid = [], ctypes.create_string_buffer(256), ctypes.c_ulong()
    libc.pthread_attr_init(attr), libc.pthread_attr_setstack(attr, stack, SMALL)
    start = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p)(lambda _: out.append(deep()))
    assert libc.pthread_create(ctypes.byref(tid), attr, start, None) == 0
    libc.pthread_join(tid, None)
    return out[0]

def stack_top():
    attr, base, size = ctypes.create_string_buffer(256), ctypes.c_void_p(), ctypes.c_size_t()
    libc.pthread_getattr_np(libc.pthread_self(), attr)
    libc.pthread_attr_getstack(attr, ctypes.byref(base), ctypes.byref(size))
    libc.pthread_attr_destroy(attr)
    return base.value + size.value

outcomes = [None]
if case == "dead-thread":
    tops = []
    threading.stack_size(64 << 20)  # more than glibc keeps for reuse
    thread = threading.Thread(target=lambda: (f(), tops.append(stack_top())))
    thread.start(), thread.join()
    threading.stack_size(0)
    for _ in range(100):  # glibc unmaps it once the thread has ended, at the latest when another one ends
        outcomes = [on_new_stack(tops[0] - SMALL)]
        if outcomes[0]:
            break
        thread = threading.Thread(target=int)
        thread.start(), thread.join()
elif case == "foreign-stack":
    back, other, stack = (ctypes.create_string_buffer(n) for n in (4096, 4096, 1 << 20))
    entry = ctypes.CFUNCTYPE(None)(lambda: f() and None)
    libc.getcontext(other)
    for offset, value in ((8, ctypes.addressof(back)), (16, ctypes.addressof(stack)), (32, len(stack))):
        ctypes.c_size_t.from_buffer(other, offset).value = value  # uc_link, uc_stack.ss_sp, uc_stack.ss_size
    libc.makecontext(other, entry, 0)
    libc.swapcontext(back, other)
    outcomes = [on_new_stack(), deep()]  # a new thread, and the one that switched
else:
    outcomes = [on_new_stack()]
print(json.dumps(outcomes))
"""


@pytest.mark.skipif(
    not (sys.platform == "linux" and platform.machine() == "x86_64" and platform.libc_ver()[0] == "glibc"),
    reason="maps thread stacks and switches stacks through glibc on x86_64",
)
@pytest.mark.parametrize("case", ["first-thread", "dead-thread", "foreign-stack"])
def test_self_call_on_a_small_new_stack_ends_in_recursion_error(case: str) -> None:
    proc = run_py(NEW_STACK, args=[case], check=False, timeout=120)
    assert proc.returncode == 0, f"died with {proc.returncode}\n{proc.stderr[-3000:]}"
    outcomes = json.loads(proc.stdout)
    if outcomes == [None]:
        pytest.skip("could not map the new stack inside the dead thread's range")
    assert outcomes == [[64, True, True]] * len(outcomes)


# Setting or deleting an attribute of the function's type. From 3.10 the type is
# immutable, like that of built-in functions; on 3.9 the change may succeed, and
# an instance made through an assigned __new__ (all its fields NULL) must then
# survive everything that can be done with it.
MUTATE_TYPE = """
import gc, json, pickle, sys, weakref
import tamsel.utils._machine_utils as mu
f, op = mu.get_machine_id, sys.argv[1]
T = type(f)
try:
    if op == "del":
        del T.__repr__
    else:
        setattr(T, op, {"__call__": lambda self: "hijacked", "__get__": lambda self, obj, cls=None: "bound",
                        "__new__": staticmethod(object.__new__), "extra": 1}[op])
    outcome = ["changed"]
except TypeError:
    outcome = ["refused"]
print(json.dumps(outcome), flush=True)
if op == "__new__" and outcome == ["changed"]:
    g = T()
    for probe in ["repr(g)", "g.__reduce__()", "g.__name__", "g.__qualname__", "g.__doc__", "g.__code__",
                  "g.__globals__", "g.__annotations__", "g.__defaults__", "g.__kwdefaults__", "g()", "hash(g)",
                  "weakref.ref(g)", "gc.get_referents(g)", "pickle.dumps(g)"]:
        try:
            eval(probe)
        except Exception:
            pass
    del g
    gc.collect()
class Holder:
    g = f
print(json.dumps([len(f()), Holder().g is f]))
"""


@pytest.mark.parametrize("op", ["__call__", "__get__", "__new__", "extra", "del"])
def test_function_type_is_immutable(op: str) -> None:
    proc = run_py(MUTATE_TYPE, args=[op], check=False)
    assert proc.returncode == 0, f"died with {proc.returncode}\n{proc.stdout}{proc.stderr[-3000:]}"
    outcome, after = map(json.loads, proc.stdout.splitlines())
    if sys.version_info >= (3, 10):
        assert outcome == ["refused"]
        assert after == [64, True]
