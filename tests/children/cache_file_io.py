"""Records what the module does with its cache file: the calls of the `open`
it takes at import, of the file objects that gives, and of os.makedirs.

argv[1] "three-calls": three calls, the read of the third failing (the derivation
always ends in the fallback); "stored": one call, with uuid and platform
unbound (only a stored identifier can be returned). Prints, as JSON, for each
call the identifier and the calls [site, arguments, keyword arguments], an
argument that is neither text nor None given by its type's name."""

from __future__ import annotations

import json
import sys
from typing import Any

from fake_machine import Call, FakeMachine

SITES = ("makedirs", "open", "enter", "read", "write", "exit")


class ReadBoom(Exception):
    pass


def shown(value: object) -> object:
    if value is None or isinstance(value, str):
        return value
    return getattr(value, "__name__", type(value).__name__)


def record(calls: list[Call]) -> list[Any]:
    return [[c.site, [shown(a) for a in c.args], c.kwargs] for c in calls if c.site in SITES]


def main() -> None:
    machine = FakeMachine()
    mu = machine.bind(machine.import_module())
    out = []
    if sys.argv[1] == "three-calls":
        machine.system_name = RuntimeError("probe")
        machine.faults["read"], machine.error = {2}, ReadBoom  # the second read: the third call's
        for _ in range(3):
            machine.calls.clear()
            out.append([mu.get_machine_id(), record(machine.calls)])
    else:
        vars(mu).update(uuid=None, platform=None)
        out.append([mu.get_machine_id(), record(machine.calls)])
    print(json.dumps(out))


if __name__ == "__main__":
    main()
