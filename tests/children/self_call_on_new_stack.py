"""The function bound as uuid.getnode through a wrapper that swallows
RecursionError, called with nothing ever stored in a new thread on a 256 KiB
stack that ctypes maps, under a recursion limit far beyond what that stack
holds (glibc on x86_64 only). argv[1]: "first-thread" does just that;
"dead-thread" first has a thread on a 64 MiB stack call the function and end,
and maps the new stack at the top of that range once glibc has unmapped it;
"foreign-stack" first calls the function on a stack switched to with
swapcontext, as coroutine libraries do, and then nests in the thread that
switched as well. Prints, as JSON, [length, is hex, RecursionError swallowed]
for each nesting, or [null] when the stack could not be mapped there."""

from __future__ import annotations

import ctypes
import json
import sys
import threading
import types
from typing import Any

from _helpers import block_cache

SMALL = 256 << 10
libc: Any = ctypes.CDLL(None)
libc.mmap.restype, libc.pthread_self.restype = ctypes.c_void_p, ctypes.c_ulong
libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_long]
libc.pthread_getattr_np.argtypes = [ctypes.c_ulong, ctypes.c_void_p]
libc.pthread_attr_setstack.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]
libc.pthread_join.argtypes = [ctypes.c_ulong, ctypes.c_void_p]
swallowed: list[int] = []
mu: Any = None  # the module and its function, which main() imports
f: Any = None


def guarded() -> object:
    try:
        return f()
    except RecursionError:
        swallowed.append(1)
        return 0


def deep() -> list[object]:
    swallowed.clear()
    mu.uuid = types.SimpleNamespace(getnode=guarded)
    sys.setrecursionlimit(1000000)
    result = f()
    return [len(result), int(result, 16) >= 0, bool(swallowed)]


def on_new_stack(address: int | None = None) -> list[object] | None:
    """deep() in a thread whose stack is mapped at `address`."""
    flags = 0x22 | (0x100000 if address else 0)  # private, anonymous, fixed but never replacing
    stack = libc.mmap(address, SMALL, 3, flags, -1, 0)
    if stack in (None, 2**64 - 1) or (address and stack != address):
        return None
    out: list[list[object]] = []
    attr, tid = ctypes.create_string_buffer(256), ctypes.c_ulong()
    libc.pthread_attr_init(attr)
    libc.pthread_attr_setstack(attr, stack, SMALL)
    start = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p)(lambda _: out.append(deep()))
    assert libc.pthread_create(ctypes.byref(tid), attr, start, None) == 0
    libc.pthread_join(tid, None)
    return out[0]


def stack_top() -> int:
    attr, base, size = ctypes.create_string_buffer(256), ctypes.c_void_p(), ctypes.c_size_t()
    libc.pthread_getattr_np(libc.pthread_self(), attr)
    libc.pthread_attr_getstack(attr, ctypes.byref(base), ctypes.byref(size))
    libc.pthread_attr_destroy(attr)
    assert base.value is not None
    return base.value + size.value


def after_dead_thread() -> list[object] | None:
    tops: list[int] = []

    def call() -> None:
        f()
        tops.append(stack_top())

    threading.stack_size(64 << 20)  # more than glibc keeps for reuse
    thread = threading.Thread(target=call)
    thread.start()
    thread.join()
    threading.stack_size(0)
    for _ in range(100):  # glibc unmaps it once the thread has ended, at the latest when another one ends
        outcome = on_new_stack(tops[0] - SMALL)
        if outcome:
            return outcome
        thread = threading.Thread(target=int)
        thread.start()
        thread.join()
    return None


def after_foreign_stack() -> list[list[object] | None]:
    back, other, stack = (ctypes.create_string_buffer(n) for n in (4096, 4096, 1 << 20))
    entry = ctypes.CFUNCTYPE(None)(lambda: f() and None)
    libc.getcontext(other)
    for offset, value in ((8, ctypes.addressof(back)), (16, ctypes.addressof(stack)), (32, len(stack))):
        ctypes.c_size_t.from_buffer(other, offset).value = value  # uc_link, uc_stack.ss_sp, uc_stack.ss_size
    libc.makecontext(other, entry, 0)
    libc.swapcontext(back, other)
    return [on_new_stack(), deep()]  # a new thread, and the one that switched


def main() -> None:
    global mu, f
    case = sys.argv[1]
    block_cache()
    import tamsel.utils._machine_utils as mu

    f = mu.get_machine_id
    outcomes: list[list[object] | None]
    if case == "dead-thread":
        outcomes = [after_dead_thread()]
    elif case == "foreign-stack":
        outcomes = after_foreign_stack()
    else:
        outcomes = [on_new_stack()]
    print(json.dumps(outcomes))


if __name__ == "__main__":
    main()
