"""Smoke test of an installed tamsel (a wheel, or a fresh install).

Run it with the interpreter of the environment under test, from outside the
source tree:  python -I path/to/smoke.py
It checks that the compiled module imports from the installed package, that
get_machine_id() returns 64 lowercase hex characters, and that the type stub
and the package's py.typed marker were installed. HOME (USERPROFILE on
Windows) points at a temporary directory, so the user's cache is not touched.
"""

import os
import re
import shutil
import sys
import tempfile

home = tempfile.mkdtemp(prefix="tamsel-smoke-")
os.environ["HOME"] = os.environ["USERPROFILE"] = home
try:
    import tamsel
    from tamsel.utils import _machine_utils
    from tamsel.utils._machine_utils import get_machine_id

    utils_dir = os.path.dirname(os.path.abspath(_machine_utils.__file__))
    package_dir = os.path.dirname(os.path.abspath(tamsel.__file__))
    for path in (os.path.join(utils_dir, "_machine_utils.pyi"), os.path.join(package_dir, "py.typed")):
        assert os.path.isfile(path), f"{path} is missing"
    ident = get_machine_id()
    assert isinstance(ident, str), repr(ident)
    assert re.fullmatch(r"[0-9a-f]{64}", ident), repr(ident)
    assert get_machine_id() == ident, "a second call gave another identifier"
    print(
        f"ok: tamsel {tamsel.__version__} on {sys.implementation.name} "
        f"{sys.version.split()[0]} from {utils_dir}: {ident}"
    )
finally:
    shutil.rmtree(home, ignore_errors=True)
