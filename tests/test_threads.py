"""Many threads calling the function while others rebind what it looks up.

With the GIL off (free-threaded builds) this is where process-wide state
would race; with the GIL it checks that every lookup is made at its use. The
rebinding threads only ever bind equivalent objects, so every result must be
the identifier the pure-Python equivalent derives on this machine.
"""

from __future__ import annotations

import json
import sysconfig

from _helpers import CHILDREN, run_py

CHILD = CHILDREN / "thread_stress.py"


def test_threads_rebinding_what_the_function_looks_up() -> None:
    proc = run_py(CHILD, args=["200"], timeout=600)
    count, all_equal, errors, gil = json.loads(proc.stdout)
    assert errors == []
    assert (count, all_equal) == (16 * 200, True)
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        assert gil is False  # importing the module left the GIL off
