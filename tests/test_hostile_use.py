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

import pytest

from _helpers import CHILDREN, run_py, spawn
from tamsel.utils import _machine_utils as mu


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
    proc = run_py(CHILDREN / "self_call.py", args=[target, wrap, "8", "main"], timeout=120)
    assert json.loads(proc.stdout) == expected


@pytest.mark.parametrize(("limit", "where"), [("1000", "main"), ("1000000", "main"), ("1000000", "thread")])
def test_self_call_at_large_limits_does_not_crash(limit: str, where: str) -> None:
    """At such limits the doubling work never ends in reasonable time; what
    matters is that the stack is never exhausted. A crash shows within moments
    (the nesting goes to its full depth first), so a few seconds tell."""
    proc = spawn(CHILDREN / "self_call.py", "getnode", "partial", limit, where)
    try:
        out, err = proc.communicate(timeout=4)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        assert proc.returncode == -signal.SIGKILL, err
        return
    assert proc.returncode == 0, err
    assert json.loads(out) == ["raised", "RecursionError"], err


def test_running_the_code_objects_raises() -> None:
    proc = run_py(CHILDREN / "run_code_objects.py")
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


@pytest.mark.skipif(sys.version_info < (3, 12), reason="interpreters with their own GIL came with 3.12")
def test_isolated_interpreter_gets_an_import_error() -> None:
    pytest.importorskip("_testcapi")
    proc = run_py(CHILDREN / "isolated_interpreter.py")
    isolated, id_length, shared = json.loads(proc.stdout)
    assert re.search(
        r"ImportError.*: module tamsel.utils._machine_utils does not support loading in subinterpreters", isolated
    )
    assert id_length == 64
    assert shared == -1
    assert "ImportError: Interpreter change detected - this module can only be loaded" in proc.stderr


@pytest.mark.skipif(
    not (sys.platform == "linux" and platform.machine() == "x86_64" and platform.libc_ver()[0] == "glibc"),
    reason="maps thread stacks and switches stacks through glibc on x86_64",
)
@pytest.mark.parametrize("case", ["first-thread", "dead-thread", "foreign-stack"])
def test_self_call_on_a_small_new_stack_ends_in_recursion_error(case: str) -> None:
    proc = run_py(CHILDREN / "self_call_on_new_stack.py", args=[case], check=False, timeout=120)
    assert proc.returncode == 0, f"died with {proc.returncode}\n{proc.stderr[-3000:]}"
    outcomes = json.loads(proc.stdout)
    if outcomes == [None]:
        pytest.skip("could not map the new stack inside the dead thread's range")
    assert outcomes == [[64, True, True]] * len(outcomes)


@pytest.mark.parametrize("op", ["__call__", "__get__", "__new__", "extra", "del"])
def test_function_type_is_immutable(op: str) -> None:
    proc = run_py(CHILDREN / "mutate_function_type.py", args=[op], check=False)
    assert proc.returncode == 0, f"died with {proc.returncode}\n{proc.stdout}{proc.stderr[-3000:]}"
    outcome, after = map(json.loads, proc.stdout.splitlines())
    if sys.version_info >= (3, 10):
        assert outcome == ["refused"]
        assert after == [64, True]
