"""Binds get_machine_id as uuid.getnode or platform.system (argv[1]), directly
or through functools.partial (argv[2]), with nothing ever stored, and calls it
under a recursion limit of argv[3] levels above the current depth (or argv[3]
itself from 1,000 on), on the main thread or on a thread with a 512 KiB stack
(argv[4]: "main" or "thread"). Prints, as JSON, ["returned", length] or
["raised", exception type]."""

from __future__ import annotations

import functools
import json
import sys
import threading
import types
from types import FrameType

from _helpers import block_cache


def depth() -> int:
    frame: FrameType | None = sys._getframe()
    n = 0
    while frame:
        frame, n = frame.f_back, n + 1
    return n


def main() -> None:
    target, wrap, levels, where = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    block_cache()
    import tamsel.utils._machine_utils as mu

    f = mu.get_machine_id
    bound = functools.partial(f) if wrap == "partial" else f
    if target == "getnode":
        vars(mu)["uuid"] = types.SimpleNamespace(getnode=bound)
    else:
        vars(mu)["platform"] = types.SimpleNamespace(system=bound)

    def attempt() -> None:
        sys.setrecursionlimit(depth() + levels if levels < 1000 else levels)
        outcome: list[object]
        try:
            outcome = ["returned", len(f())]
        except BaseException as e:
            outcome = ["raised", type(e).__name__]
        print(json.dumps(outcome), flush=True)

    if where == "thread":  # a small stack, far smaller than the limit allows for
        threading.stack_size(512 * 1024)
        thread = threading.Thread(target=attempt)
        thread.start()
        thread.join()
    else:
        attempt()


if __name__ == "__main__":
    main()
