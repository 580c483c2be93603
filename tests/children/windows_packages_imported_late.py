"""Imports the module with the Windows packages served by an import hook, then
calls it as on Windows. Prints, as JSON, the packages imported during the
import and those imported during the call, in order."""

from __future__ import annotations

import json

from fake_machine import FakeMachine

WINDOWS = ("win32api", "win32security", "wmi")


def main() -> None:
    machine = FakeMachine()
    machine.serve()
    import tamsel.utils._machine_utils as mu

    at_import = machine.sites(*WINDOWS)
    machine.system_name = "Windows"
    vars(mu)["platform"] = machine.namespace["platform"]
    mu.get_machine_id()
    print(json.dumps([at_import, machine.sites(*WINDOWS)]))


if __name__ == "__main__":
    main()
