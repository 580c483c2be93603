"""Derives the identifier on Linux from fixture files in place of the four
machine files: argv[1] is a JSON object mapping each of them to its fixture
(null: absent). Prints, as JSON, the identifier, the machine files the module
opened, in order, and the identifier the pure-Python reference derives."""

from __future__ import annotations

import json
import sys

from fake_machine import ABSENT, FakeMachine


def main() -> None:
    fixtures: dict[str, str | None] = json.loads(sys.argv[1])
    machine = FakeMachine()
    machine.files = {path: fixture or ABSENT for path, fixture in fixtures.items()}
    mu = machine.bind(machine.import_module())
    machine_id = mu.get_machine_id()
    opened = [c.args[0] for c in machine.calls if c.site == "open" and c.args[0] in fixtures]
    print(json.dumps({"id": machine_id, "opened": opened, "reference": machine.reference()}))


if __name__ == "__main__":
    main()
