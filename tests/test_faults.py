"""Faults that hostile callers found, each with the case that showed it."""

from __future__ import annotations

import hashlib
import os
import shutil
import subprocess
import sys
import uuid
from pathlib import Path

import pytest

from _helpers import CHILDREN, embedding_launcher, run_py

# A name missing from the namespace is looked up in the builtins dict, as
# Python's own name lookup does: a module __getattr__ of builtins never
# supplies it, so the derivation fails and the fallback identifier results.


def test_builtins_getattr_is_not_consulted() -> None:
    fallback = hashlib.sha256(str(uuid.getnode()).encode()).hexdigest()
    assert run_py(CHILDREN / "builtins_getattr.py").stdout.strip() == fallback


# An application that finalizes its embedded interpreter and starts it again
# gets a working module in every round.


@pytest.mark.skipif(sys.version_info[:3] == (3, 12, 1), reason="3.12.1's hashlib crashes when initialised again")
@pytest.mark.skipif(not shutil.which("cc"), reason="needs a C compiler")
def test_interpreter_started_again_in_the_same_process(tmp_path: Path) -> None:
    program = embedding_launcher("cc", tmp_path, CHILDREN / "restart.c")
    assert program is not None, "no python-config for this interpreter, or the program did not build"
    code = "import tamsel.utils._machine_utils as m; print(m.get_machine_id(), flush=True)"
    env = {**os.environ, "PYTHONHOME": sys.base_prefix}
    proc = subprocess.run([program, code], capture_output=True, text=True, env=env, timeout=120)
    assert proc.returncode == 0, proc.stderr[-3000:]
    lines = proc.stdout.split()
    assert len(lines) == 3, proc.stdout
    assert len(set(lines)) == 1
    assert len(lines[0]) == 64


# Another dict watcher on posixpath's dict runs Python code (its error goes to
# sys.unraisablehook) while `posixpath.exists` is being replaced, before the
# store: a call made then must not leave the next calls on the old function.


@pytest.mark.skipif(sys.version_info < (3, 12), reason="dict watchers came with 3.12")
def test_replaced_function_is_used_after_another_watcher_ran_code() -> None:
    pytest.importorskip("_testcapi")
    assert run_py(CHILDREN / "other_watcher.py").stdout.strip() == "1"
