"""Sets or deletes an attribute of the function's type (argv[1]: __call__,
__get__, __new__, extra, or del for deleting __repr__). Prints, as JSON,
["changed"] or ["refused"]; when __new__ could be assigned, puts an instance
made through it (all its fields NULL) through everything that can be done
with it; then prints the identifier's length and whether a class attribute
holding the function gives the function itself."""

from __future__ import annotations

import gc
import json
import pickle
import sys
import weakref
from typing import Any, Callable

PROBES: list[Callable[[Any], object]] = [
    repr,
    lambda g: g.__reduce__(),
    lambda g: g.__name__,
    lambda g: g.__qualname__,
    lambda g: g.__doc__,
    lambda g: g.__code__,
    lambda g: g.__globals__,
    lambda g: g.__annotations__,
    lambda g: g.__defaults__,
    lambda g: g.__kwdefaults__,
    lambda g: g(),
    hash,
    weakref.ref,
    gc.get_referents,
    pickle.dumps,
]


def main() -> None:
    import tamsel.utils._machine_utils as mu

    f, op = mu.get_machine_id, sys.argv[1]
    T: Any = type(f)
    try:
        if op == "del":
            del T.__repr__
        else:
            changes: dict[str, object] = {
                "__call__": lambda self: "hijacked",
                "__get__": lambda self, obj, cls=None: "bound",
                "__new__": staticmethod(object.__new__),
                "extra": 1,
            }
            setattr(T, op, changes[op])
        outcome = ["changed"]
    except TypeError:
        outcome = ["refused"]
    print(json.dumps(outcome), flush=True)
    if op == "__new__" and outcome == ["changed"]:
        g = T()
        for probe in PROBES:
            try:
                probe(g)
            except Exception:
                pass
        del g
        gc.collect()

    class Holder:
        g = f

    print(json.dumps([len(f()), Holder().g is f]))  # type: ignore[misc]  # a builtin function: not bound


if __name__ == "__main__":
    main()
