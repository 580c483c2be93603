"""Prints get_machine_id() of a fresh process."""

from __future__ import annotations

from tamsel.utils._machine_utils import get_machine_id

if __name__ == "__main__":
    print(get_machine_id())
