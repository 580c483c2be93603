"""What a caller may do with the function object: bind it as one of the names it
calls, run its code objects, introspect it, load the module into isolated
interpreters. Each case that could crash runs in a child process."""

from __future__ import annotations

import inspect
import json
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
    assert "get_machine_id() -> 'str'\n        Generate a unique machine identifier with hardware info." in functions


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
