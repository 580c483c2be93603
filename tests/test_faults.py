"""Faults that hostile callers found, each with the case that showed it."""

from __future__ import annotations

import hashlib
import os
import shutil
import subprocess
import sys
import sysconfig
import uuid
from pathlib import Path

import pytest
from _helpers import run_py

# A name missing from the namespace is looked up in the builtins dict, as
# Python's own name lookup does: a module __getattr__ of builtins never
# supplies it, so the derivation fails and the fallback identifier results.
BUILTINS_GETATTR = """
import builtins, os, types
open(os.path.expanduser("~/.tamsel"), "w").close()  # nothing is ever stored
import tamsel.utils._machine_utils as mu
del mu.__dict__["platform"]
def supply(name):
    if name == "platform":
        return types.SimpleNamespace(system=lambda: "Linux")
    raise AttributeError(name)
builtins.__getattr__ = supply
print(mu.get_machine_id())
"""


def test_builtins_getattr_is_not_consulted() -> None:
    fallback = hashlib.sha256(str(uuid.getnode()).encode()).hexdigest()
    assert run_py(BUILTINS_GETATTR).stdout.strip() == fallback


# An application that finalizes its embedded interpreter and starts it again
# gets a working module in every round.
RESTART_C = r"""
#include <Python.h>
int main(int argc, char **argv) {
    (void)argc;
    for (int round = 0; round < 3; ++round) {
        Py_Initialize();
        if (PyRun_SimpleString(argv[1]) != 0) return 10 + round;
        if (Py_FinalizeEx() < 0) return 20 + round;
    }
    return 0;
}
"""


@pytest.mark.skipif(sys.version_info[:3] == (3, 12, 1), reason="3.12.1's hashlib crashes when initialised again")
@pytest.mark.skipif(not shutil.which("cc"), reason="needs a C compiler")
def test_interpreter_started_again_in_the_same_process(tmp_path: Path) -> None:
    config = shutil.which(
        f"python{sysconfig.get_python_version()}{getattr(sys, 'abiflags', '')}-config",
        path=os.pathsep.join([sysconfig.get_config_var("BINDIR"), os.environ["PATH"]]),
    )
    if config is None:
        pytest.skip("no python-config for this interpreter")
    flags = [
        subprocess.run([config, *options], capture_output=True, text=True, check=True).stdout.split()
        for options in (["--cflags"], ["--embed", "--ldflags"])
    ]
    (tmp_path / "restart.c").write_text(RESTART_C)
    program = tmp_path / "restart"
    libdir = sysconfig.get_config_var("LIBDIR")
    subprocess.run(
        ["cc", *flags[0], str(tmp_path / "restart.c"), "-o", str(program), *flags[1], f"-Wl,-rpath,{libdir}"],
        check=True,
    )
    paths = os.pathsep.join(sorted({sysconfig.get_paths()[key] for key in ("purelib", "platlib")}))
    code = "import tamsel.utils._machine_utils as m; print(m.get_machine_id(), flush=True)"
    proc = subprocess.run(
        [str(program), code],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONPATH": paths, "PYTHONHOME": sys.base_prefix},
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    lines = proc.stdout.split()
    assert len(lines) == 3 and len(set(lines)) == 1 and len(lines[0]) == 64, proc.stdout
