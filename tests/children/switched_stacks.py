"""Calls of the module on stacks switched to with swapcontext, as coroutine
libraries make them (glibc, x86_64). Prints a JSON verdict.

    switched_stacks.py nested-above | nested-below   a call on stack X switches,
        from inside the call, to stack Y, where a call nests until the stack
        check refuses it; Y lies above or below X
    switched_stacks.py small                       the same nesting on one
        64 KiB stack
    switched_stacks.py cost                        seconds per call on the
        thread's own stack and on a switched-to stack (the least of 7 rounds)
"""

from __future__ import annotations

import ctypes
import json
import mmap
import os
import sys
import time
import types
import uuid
from collections.abc import Callable

open(os.path.expanduser("~/.tamsel"), "w").close()  # nothing is ever stored
import tamsel.utils._machine_utils as mu  # noqa: E402

libc = ctypes.CDLL(None)
f, case = mu.get_machine_id, sys.argv[1]
real_node = uuid.getnode()
swallowed: list[int] = []
results: dict[str, object] = {}
keep: list[object] = []  # callbacks and contexts must outlive their use


Buffer = ctypes.Array[ctypes.c_char]


def context(entry: Callable[[], None], stack: int, size: int, link: Buffer) -> Buffer:
    ctx = ctypes.create_string_buffer(4096)
    libc.getcontext(ctx)
    for offset, value in ((8, ctypes.addressof(link)), (16, stack), (32, size)):
        ctypes.c_size_t.from_buffer(ctx, offset).value = value  # uc_link, uc_stack.ss_sp, uc_stack.ss_size
    callback = ctypes.CFUNCTYPE(None)(entry)
    keep.extend([ctx, callback])
    libc.makecontext(ctx, callback, 0)
    return ctx


def guarded() -> object:
    try:
        return f()
    except RecursionError:
        swallowed.append(1)
        return real_node


def nest() -> None:  # on the switched-to stack: nests until refused
    mu.uuid = types.SimpleNamespace(getnode=guarded)  # type: ignore[attr-defined]
    results["inner"] = f()


SIZE = 64 << 10 if case == "small" else 256 << 10
# Two stacks 4 MiB apart (valgrind takes a move of the stack pointer by less
# than 2 MiB for a frame, not for a switch to another stack), each with
# inaccessible memory below it, so that overflowing one faults at once.
GUARD, GAP = 64 << 10, 4 << 20
region = mmap.mmap(-1, GUARD + SIZE + GAP + SIZE)
base = ctypes.addressof(ctypes.c_char.from_buffer(region))
low, high = base + GUARD, base + GUARD + SIZE + GAP
libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
for start, length in ((base, GUARD), (low + SIZE, GAP)):
    assert libc.mprotect(start, length, 0) == 0  # PROT_NONE
back = ctypes.create_string_buffer(4096)
sys.setrecursionlimit(100000)

if case == "cost":
    mu.uuid = types.SimpleNamespace(getnode=lambda: real_node)  # type: ignore[attr-defined]
    own: list[float] = []
    switched: list[float] = []

    def timed() -> float:
        start = time.perf_counter()
        for _ in range(200):
            f()
        return (time.perf_counter() - start) / 200

    def on_switched() -> None:
        switched.append(timed())

    for _ in range(7):  # rounds alternate, so that a busy machine weighs on both alike
        own.append(timed())
        libc.swapcontext(back, context(on_switched, low, SIZE, back))
    results["own"], results["switched"] = min(own), min(switched)
elif case == "small":
    libc.swapcontext(back, context(nest, low, SIZE, back))
else:
    x_stack, y_stack = (low, high) if case == "nested-above" else (high, low)
    hook_ctx = ctypes.create_string_buffer(4096)
    y_ctx = context(nest, y_stack, SIZE, hook_ctx)

    def hook() -> int:  # uuid.getnode of the call on X: runs the nesting on Y
        libc.swapcontext(hook_ctx, y_ctx)
        return real_node

    def outer() -> None:
        mu.uuid = types.SimpleNamespace(getnode=hook)  # type: ignore[attr-defined]
        results["outer"] = f()

    libc.swapcontext(back, context(outer, x_stack, SIZE, back))

results["swallowed"] = bool(swallowed)
print(json.dumps(results))
