"""The stack check on stacks switched to with swapcontext (3.9 to 3.13, where
the module keeps a reserve of its own; from 3.14 the interpreter's check is the
module's, and it does not cover stacks nobody declared to it)."""

from __future__ import annotations

import json
import platform
import sys

import pytest

from _helpers import CHILDREN, run_py

CHILD = CHILDREN / "switched_stacks.py"

pytestmark = [
    pytest.mark.skipif(
        not (sys.platform == "linux" and platform.machine() == "x86_64" and platform.libc_ver()[0] == "glibc"),
        reason="switches stacks through glibc on x86_64",
    ),
    pytest.mark.skipif(sys.version_info >= (3, 14), reason="the interpreter checks no undeclared stack"),
]


@pytest.mark.parametrize("case", ["nested-above", "nested-below", "small"])
def test_nesting_on_switched_stacks_ends_in_recursion_error(case: str) -> None:
    proc = run_py(CHILD, args=[case], check=False, timeout=120)
    assert proc.returncode == 0, f"died with {proc.returncode}\n{proc.stderr[-3000:]}"
    results = json.loads(proc.stdout)
    assert results.pop("swallowed") is True
    assert {len(v) for v in results.values()} == {64}  # every call returned an identifier


# A call on a switched-to stack once re-read the stack's bounds from
# /proc/self/maps every time, 7 to 18 times the cost of a call on the thread's
# own stack; now both cost the same. The bound leaves room for a busy machine.
def test_calls_on_a_switched_stack_cost_what_calls_on_the_own_stack_do() -> None:
    results = json.loads(run_py(CHILD, args=["cost"], timeout=120).stdout)
    assert results["switched"] < 2 * results["own"], results
