"""The module boundary: the published function, the namespace, initialisation."""

from __future__ import annotations

import builtins
import ctypes
import functools
import json
import shutil
import subprocess
import sys
from pathlib import Path
from types import SimpleNamespace
from typing import Any, Callable

import pytest

from _helpers import CHILDREN, embedding_launcher, run_py
from tamsel.utils import _machine_utils as mu

NAME = "tamsel.utils._machine_utils"
SOURCE = "tamsel/utils/_machine_utils.cpp"
STD_MODULES = ["hashlib", "platform", "uuid", "os"]
NO_KEYWORDS = "get_machine_id() takes no keyword arguments"


# Each build targets the interpreter it is built with, which runs the tests.
MINOR = sys.version_info.minor
BUILT = f"3.{MINOR}"
OTHER = f"3.{MINOR + 1}"  # a runtime the build was not made for


def version_warning(runtime: str) -> str:
    return f"compile time Python version {BUILT} of module '{NAME}' does not match runtime version {runtime}"


def vectorcall(f: Callable[..., Any], args: tuple[object, ...], kwnames: tuple[str, ...]) -> Any:
    """Calls f as C code can: with an explicit, possibly empty, tuple of keyword names."""
    call = ctypes.pythonapi.PyObject_VectorcallMethod
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    stack: tuple[Any, ...] = (SimpleNamespace(f=f), *args)
    return call("f", (ctypes.py_object * len(stack))(*stack), len(stack) - len(kwnames), kwnames)


def run_json(script: str, *args: str, **kwargs: Any) -> Any:
    """What the child tests/children/<script>.py prints, as JSON."""
    return json.loads(run_py(CHILDREN / f"{script}.py", args=args, **kwargs).stdout)


@pytest.mark.parametrize(
    ("call", "error"),
    [
        ("f()", None),
        ("f(**{})", None),
        ("f(*(), **{})", None),
        ("vectorcall(f, (), ())", None),
        ("f(1)", "get_machine_id() takes no arguments (1 given)"),
        ("f(*range(3))", "get_machine_id() takes no arguments (3 given)"),
        ("vectorcall(f, (None,), ())", "get_machine_id() takes no arguments (1 given)"),
        ("f(a=1)", NO_KEYWORDS),
        ("f(1, a=2)", NO_KEYWORDS),
        ("f(*[1, 2], **{'x': 3})", NO_KEYWORDS),
        ("vectorcall(f, (1,), ('x',))", NO_KEYWORDS),
    ],
)
def test_call_rules(call: str, error: str | None) -> None:
    names = {"f": mu.get_machine_id, "vectorcall": vectorcall}
    if error is None:
        assert len(eval(call, names)) == 64
        return
    with pytest.raises(TypeError) as info:
        eval(call, names)
    assert str(info.value) == error
    assert not (Path.home() / ".tamsel").exists()  # refused before any work


def test_function_attributes() -> None:
    f = mu.get_machine_id
    assert (f.__name__, f.__qualname__, f.__module__) == ("get_machine_id", "get_machine_id", NAME)
    assert f.__doc__ == "Generate a unique machine identifier with hardware info."
    assert f.__annotations__ == {"return": "str"}
    assert type(f.__annotations__["return"]) is str
    assert f.__globals__ is mu.__dict__
    code = f.__code__
    assert (code.co_name, code.co_firstlineno, code.co_filename) == ("get_machine_id", 10, SOURCE)
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (0, 0, 0)
    assert code.co_varnames == ("cached_id", "system_info", "machine_id", "fallback_id")


def test_namespace() -> None:
    ns = vars(mu)
    assert set(ns) == {
        "__name__",
        "__doc__",
        "__loader__",
        "__file__",
        "__package__",
        "__spec__",
        "__builtins__",
        "__test__",
        "get_machine_id",
        *STD_MODULES,
    }
    assert all(ns[name] is sys.modules[name] for name in STD_MODULES)
    assert ns["__builtins__"] is builtins
    assert ns["__test__"] == {}
    assert ns["__doc__"] is None
    assert (mu.__name__, mu.__package__, mu.__file__) == (NAME, "tamsel.utils", mu.__spec__.origin)


def test_reimport_returns_the_same_module_and_leaks_nothing() -> None:
    assert run_json("reimport") == [True, True, True, STD_MODULES, [False] * 3, None]


@pytest.mark.parametrize(("blocked", "line"), [("hashlib", 4), ("platform", 5), ("uuid", 6), ("os", 7)])
def test_failed_initialisation_and_subinterpreters(blocked: str, line: int) -> None:
    pytest.importorskip("_testcapi")
    proc = run_py(CHILDREN / "import_with_a_module_blocked.py", args=[blocked])
    name, entries, id_length, bound, subinterpreter = json.loads(proc.stdout)
    assert name == blocked
    assert entries == [["init " + NAME, line, SOURCE]]
    assert id_length == 64
    assert all(bound)
    # A second interpreter is refused, after the failed import and after the good one.
    assert subinterpreter == [-1, -1]
    assert (
        proc.stderr.count(
            "\nImportError: Interpreter change detected - this module can only be loaded "
            "into one interpreter per process.\n"
        )
        == 2
    )


@pytest.mark.parametrize(("state", "expected"), [("occupied", [True, False]), ("free", [False, True])])
def test_sys_modules_entry(state: str, expected: list[bool]) -> None:
    assert run_json("sys_modules_entry", state) == expected


@pytest.fixture(scope="module")
def fake_version(tmp_path_factory: pytest.TempPathFactory) -> Callable[..., Any]:
    """Runs code in a child whose Py_GetVersion() returns the given text."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build the Py_GetVersion stand-in")
    build = tmp_path_factory.mktemp("fake-version")
    (build / "fake.c").write_text(
        '#include <stdlib.h>\nconst char *Py_GetVersion(void) { return getenv("FAKE_PY_VERSION"); }\n'
    )
    subprocess.run([compiler, "-shared", "-fPIC", "-o", build / "fake.so", build / "fake.c"], check=True)

    def run(text: str, script: str = "import_warnings", executable: str | None = None, **env: str) -> Any:
        env = {"LD_PRELOAD": str(build / "fake.so"), "FAKE_PY_VERSION": text, **env}
        return run_json(script, env=env, executable=executable)

    def interposed(executable: str | None = None) -> bool:
        # When either the interpreter's own version text or the module saw it.
        version, caught = run(OTHER + ".0", executable=executable)
        return version == OTHER + ".0" or bool(caught)

    if interposed():
        return run
    # A statically linked interpreter (Debian's) binds its own symbols first:
    # the same interpreter started from a launcher that links libpython as a
    # shared library can be interposed on.
    launcher = embedding_launcher(compiler, build)
    if launcher is None or not interposed(launcher):
        pytest.skip("Py_GetVersion cannot be interposed in this build")
    return functools.partial(run, executable=launcher)


@pytest.mark.parametrize(
    ("text", "runtime"),
    [
        (f"{BUILT}.18 (main, Jan  1 2024, 00:00:00) [GCC 12.2.0]", None),
        (BUILT, None),
        (BUILT + ".", None),
        (f"3.0{MINOR}", None),
        (OTHER + ".1", OTHER),
        (f"4.{MINOR}", f"4.{MINOR}"),
        (f"2.{MINOR}.1", f"2.{MINOR}"),
        ("3", "3.0"),
        (f"3 .{MINOR}", "3.0"),
        (f".{MINOR}", f"0.{MINOR}"),
        (f"3..{MINOR}", "3.0"),
        ("x", "0.0"),
        ("", "0.0"),
        ("3.9999999999999999999", "3.2147483647"),
        (f"99999999999.{MINOR}", f"2147483647.{MINOR}"),
    ],
)
def test_version_check(fake_version: Callable[..., Any], text: str, runtime: str | None) -> None:
    expected = [] if runtime is None else [["RuntimeWarning", version_warning(runtime)]]
    assert fake_version(text)[1] == expected


def test_version_warning_as_error(fake_version: Callable[..., Any]) -> None:
    refused = ["RuntimeWarning", version_warning(OTHER), []]
    first, blocked, again, id_length = fake_version(OTHER + ".0", "version_warning_as_error", PYTHONWARNINGS="error")
    assert first == again == refused
    assert id_length == 64
    assert blocked[0] == "ModuleNotFoundError"
    assert blocked[2] == ["init " + NAME]


@pytest.mark.skipif(sys.version_info[:2] != (3, 9), reason="loads the 3.9 build into CPython 3.10")
@pytest.mark.parametrize("action", ["always", "error"])
def test_loaded_by_python310(action: str) -> None:
    pyenv = shutil.which("pyenv")
    prefix = pyenv and subprocess.run([pyenv, "prefix", "3.10"], capture_output=True, text=True)
    candidate = Path(prefix.stdout.strip()) / "bin" / "python3.10" if prefix and prefix.returncode == 0 else None
    python = str(candidate) if candidate and candidate.is_file() else shutil.which("python3.10")
    if python is None:
        pytest.skip("no CPython 3.10 available")
    proc = run_py(
        CHILDREN / "load_extension_file.py",
        args=[mu.__file__],
        env={"PYTHONWARNINGS": action},
        check=False,
        executable=python,
    )
    assert proc.returncode == 0, proc.stderr
    outcome, detail = json.loads(proc.stdout)
    if action == "always":
        assert (outcome, detail) == ([["RuntimeWarning", version_warning("3.10")]], True)
    else:
        assert outcome == version_warning("3.10")
        assert not [n for n in detail if "tamsel" in n]
