import re

from _helpers import CHILDREN, run_py
from tamsel.utils import _machine_utils

HEX64 = re.compile(r"[0-9a-f]{64}")


def test_get_machine_id_is_sha256_hex() -> None:
    machine_id = _machine_utils.get_machine_id()
    assert isinstance(machine_id, str)
    assert HEX64.fullmatch(machine_id), machine_id


def test_fresh_process_sees_the_same_id() -> None:
    expected = _machine_utils.get_machine_id()
    proc = run_py(CHILDREN / "print_machine_id.py")
    assert proc.stdout.strip() == expected
