"""Fakes of everything get_machine_id calls, for tests and their child processes.

`FakeMachine.namespace` holds stand-ins for the names the module looks up
(`os`, `uuid`, `platform`, `hashlib`), `FakeMachine.packages` for the probe
packages it imports (`subprocess`, `win32api`, `win32security`, `wmi`), and
`FakeMachine.open` for the builtin it takes when it is imported. The `machine`
fixture (conftest.py) binds them into the imported module and sys.modules; a
child process binds them with bind(), serves the packages through an import
hook with serve() and imports the module under import_module().

Every fake call goes through on(site, value): the call is counted, fails at the
calls `faults` names (raising `error`), is recorded in `calls` while `record`
is true, and gives `value`, raising it when it is an exception.
"""

from __future__ import annotations

import builtins
import functools
import hashlib
import importlib
import importlib.util
import os
import sys
from collections.abc import Callable, Iterator
from importlib.machinery import ModuleSpec
from types import ModuleType, SimpleNamespace as NS
from typing import Any, NamedTuple, TypeVar

from _helpers import NODE, reference_id

MODULE = "tamsel.utils._machine_utils"
NAMES = ("hashlib", "platform", "uuid", "os")  # what the module looks up in its namespace
LINUX_FILES = (
    "/etc/machine-id",
    "/var/lib/dbus/machine-id",
    "/sys/class/dmi/id/product_uuid",
    "/sys/class/dmi/id/board_serial",
)
ABSENT = os.path.join(os.sep, "nonexistent", "tamsel-probe")  # read in place of a probe file that is absent
PROFILER_ARGV = ["system_profiler", "SPHardwareDataType"]
REAL_OPEN = builtins.open
T = TypeVar("T")


class Call(NamedTuple):
    site: str
    args: tuple[Any, ...]
    kwargs: dict[str, Any]


class FakeMachine:
    """What the fakes answer (change it at any time):

    node: uuid.getnode(); system_name: platform.system(); files: a probe path
    -> the file read in its place (the Linux files are absent at first; in the
    test process the module's own `open` reads the real path, so only absence
    can be faked there); profiler: system_profiler's output, or an iterator of
    outputs, one per call; volume: GetVolumeInformation("C:\\\\"); serials:
    the BIOS serial numbers; bios: what Win32_BIOS() gives in place of BIOS
    objects with those serials; connection: what WMI() gives in place of the
    connection. An exception given for a value is raised in its place.
    """

    def __init__(self) -> None:
        self.calls: list[Call] = []
        self.record = True
        self.seen: dict[str, int] = {}  # site -> its calls so far
        self.faults: dict[str, set[int]] = {}  # site -> the calls of it that fail
        self.error: type[BaseException] = Exception  # what a failing call raises
        self.node: object = NODE
        self.system_name: object = "Linux"
        self.files: dict[str, str] = dict.fromkeys(LINUX_FILES, ABSENT)
        self.profiler: object = ""
        self.volume: object = ("System", 1234, 255, 0x2FF, "NTFS")
        self.serials: tuple[object, ...] = ("SN1",)
        self.bios: object = None
        self.connection: object = None
        self.module: ModuleType | None = None  # the module the fakes are bound in
        path = NS(expanduser=self.expanduser, join=self.join, exists=self.exists)
        self.namespace: dict[str, object] = {
            "hashlib": NS(sha256=self.sha256),
            "platform": NS(system=self.system),
            "uuid": NS(getnode=self.getnode),
            "os": NS(path=path, makedirs=self.makedirs),
        }
        self.packages: dict[str, object] = {
            "subprocess": NS(run=self.run),
            "win32api": NS(GetVolumeInformation=self.GetVolumeInformation),
            "win32security": ModuleType("win32security"),
            "wmi": NS(WMI=self.WMI),
        }
        self._connection = NS(Win32_BIOS=self.Win32_BIOS)
        self.open = self._open  # one object, which the module keeps

    # ------------------------------------------------------------- the calls

    def on(self, site: str, value: Any = None, *args: Any, **kwargs: Any) -> Any:
        """One call of `site` with these arguments, giving `value`."""
        if self.record:
            self.calls.append(Call(site, args, kwargs))
        n = self.seen[site] = self.seen.get(site, 0) + 1
        if n in self.faults.get(site, ()):
            raise self.error(f"{site} {n}")
        if isinstance(value, BaseException):
            # From 3.12 a raised instance keeps adding to its own traceback; one
            # raised again and again starts it afresh.
            raise value.with_traceback(None)
        return value

    def sites(self, *names: str) -> list[str]:
        """The sites of the recorded calls, in order: those named, or all."""
        return [c.site for c in self.calls if not names or c.site in names]

    def text(self, value: Any) -> Any:
        """Text the fakes hand out (read from a file, printed by a program, a
        serial number): a subclass may wrap it."""
        return value

    def flag(self, value: bool) -> Any:
        """What os.path.exists answers: a subclass may wrap it."""
        return value

    # The fakes make no function objects during a call (the allocation sweeps
    # keep clear of gh-122752, which is in 3.12.1 and 3.13.0, where list
    # comprehensions are inlined), so no lambdas and no generator expressions.

    def getnode(self) -> Any:
        return self.on("getnode", self.node)

    def system(self) -> Any:
        return self.on("system", self.system_name)

    def expanduser(self, path: str) -> Any:
        return self.on("expanduser", os.path.expanduser(path), path)

    def join(self, *paths: str) -> Any:
        return self.on("join", os.path.join(*paths), *paths)

    def exists(self, path: str) -> Any:
        return self.on("exists", self.flag(os.path.exists(self.files.get(path, path))), path)

    def makedirs(self, *args: Any, **kwargs: Any) -> None:
        self.on("makedirs", None, *args, **kwargs)
        os.makedirs(*args, **kwargs)

    def sha256(self, data: bytes) -> Any:
        return self.on("sha256", Hash(self, data))

    def _open(self, file: str, *args: Any, **kwargs: Any) -> Any:
        return self.on("open", None, file, *args, **kwargs) or File(
            self, REAL_OPEN(self.files.get(file, file), *args, **kwargs)
        )

    def run(self, *args: Any, **kwargs: Any) -> Any:
        # Recorded as given, then emptied: a list the module used again would
        # show up empty the next time. Only the module's own command line
        # gets the output.
        right = args == (PROFILER_ARGV,) and kwargs == {"capture_output": True, "text": True}
        given = [list(a) if type(a) is list else a for a in args]
        for a in args:
            if type(a) is list:
                a.clear()
        out = next(self.profiler) if isinstance(self.profiler, Iterator) else self.profiler
        return self.on(
            "run", out if isinstance(out, BaseException) else Completed(self, out if right else ""), *given, **kwargs
        )

    def GetVolumeInformation(self, *args: Any, **kwargs: Any) -> Any:
        return self.on("GetVolumeInformation", self.volume, *args, **kwargs)

    def WMI(self) -> Any:
        return self.on("WMI", self._connection if self.connection is None else self.connection)

    def Win32_BIOS(self) -> Any:
        return self.on("Win32_BIOS", self._bioses() if self.bios is None else self.bios)

    def _bioses(self) -> Iterator[Any]:
        for serial in self.serials:
            yield self.on("next", Bios(self, serial))

    # ------------------------------------------------------- binding them

    def bind(self, module: ModuleType) -> ModuleType:
        """Binds the namespace's fakes in `module` and the packages in
        sys.modules (for a child process: nothing is undone)."""
        self.module = module
        vars(module).update(self.namespace)
        sys.modules.update(self.packages)  # type: ignore[arg-type]  # stand-ins for modules
        return module

    def serve(self) -> None:
        """Serves the packages through an import hook instead, each import of
        one a call of the site named after it; a package set to None is
        missing. Imported ones must leave sys.modules to be imported again."""
        sys.meta_path.insert(0, Finder(self))

    def opened(self, load: Callable[[], T]) -> T:
        """load() with `open` replaced by self.open: the module takes the
        `open` it finds when it is initialised (so in a fresh process only)."""
        builtins.open = self.open  # type: ignore[assignment]  # takes what the module passes
        try:
            return load()
        finally:
            builtins.open = REAL_OPEN

    def import_module(self) -> ModuleType:
        """Imports the module, which takes self.open for `open` (see opened())."""
        return self.opened(functools.partial(importlib.import_module, MODULE))

    def reference(self) -> str:
        """The identifier tests/pure_python_machine_id.py derives with the
        module's current bindings and self.open (see _helpers.reference_id).
        The counts and the record of calls stay as they were; an iterator of
        profiler outputs moves on."""
        assert self.module is not None, "bind the fakes in a module first"
        ns = vars(self.module)
        seen, record = self.seen, self.record
        self.seen, self.record = {}, False
        try:
            bindings = {name: ns[name] for name in NAMES if name in ns}
            return reference_id({**bindings, "open": self.open}, absent=[n for n in NAMES if n not in ns])
        finally:
            self.seen, self.record = seen, record


class Completed:  # what subprocess.run gives
    def __init__(self, machine: FakeMachine, output: object) -> None:
        self.machine, self.output = machine, output

    @property
    def stdout(self) -> Any:
        return self.machine.on("stdout", self.machine.text(self.output))


class Bios:  # one of the objects Win32_BIOS() gives
    def __init__(self, machine: FakeMachine, serial: object) -> None:
        self.machine, self.serial = machine, serial

    @property
    def SerialNumber(self) -> Any:
        return self.machine.on("SerialNumber", self.machine.text(self.serial))


class Hash:  # what hashlib.sha256 gives
    def __init__(self, machine: FakeMachine, data: bytes) -> None:
        self.machine, self.h = machine, hashlib.sha256(data)

    def hexdigest(self) -> Any:
        return self.machine.on("hexdigest", self.h.hexdigest())


class File:  # what open() gives
    def __init__(self, machine: FakeMachine, f: Any) -> None:
        self.machine, self.f = machine, f

    def __enter__(self) -> Any:
        return self.machine.on("enter", self)

    def __exit__(self, *exc: object) -> None:
        self.f.close()
        self.machine.on("exit", None, *exc)

    def read(self, *args: Any) -> Any:
        return self.machine.on("read", self.machine.text(self.f.read(*args)), *args)

    def write(self, *args: Any) -> Any:
        return self.machine.on("write", None, *args) or self.f.write(*args)


class Finder:  # the import hook of FakeMachine.serve()
    def __init__(self, machine: FakeMachine) -> None:
        self.machine = machine

    def find_spec(self, name: str, path: object = None, target: object = None) -> ModuleSpec | None:
        if name not in self.machine.packages:
            return None
        if self.machine.packages[name] is None:
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        # A loader by create_module and exec_module, all that the import system asks of one.
        spec: ModuleSpec | None = self.machine.on(name, importlib.util.spec_from_loader(name, self))  # type: ignore[arg-type]
        return spec

    def create_module(self, spec: ModuleSpec) -> Any:
        return self.machine.packages[spec.name]

    def exec_module(self, module: ModuleType) -> None:
        pass
