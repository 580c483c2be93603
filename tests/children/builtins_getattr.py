"""A name missing from the namespace, which builtins.__getattr__ would supply:
prints the identifier (nothing is stored)."""

import builtins
import os
import types

open(os.path.expanduser("~/.tamsel"), "w").close()  # nothing is ever stored
import tamsel.utils._machine_utils as mu  # noqa: E402

del mu.__dict__["platform"]


def supply(name: str) -> object:
    if name == "platform":
        return types.SimpleNamespace(system=lambda: "Linux")
    raise AttributeError(name)


setattr(builtins, "__getattr__", supply)  # noqa: B010
print(mu.get_machine_id())
