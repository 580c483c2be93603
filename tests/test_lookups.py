"""`os`, `os.path` and the os.path functions are looked up at each use: the
module keeps what it found only while nothing those lookups read has changed.
Every case first makes a cached call (so the lookups have been made once),
then changes one link of `os.path.<function>` and expects the next call to
go through the new one, and the call after undoing it through the real one."""

from __future__ import annotations

import os
import posixpath
import sys
import types
from typing import Any, Callable, ClassVar

import pytest

from _helpers import CHILDREN, run_py
from tamsel.utils import _machine_utils as mu

NAMES = ("expanduser", "join", "exists")


def recorder(log: list[str]) -> dict[str, Callable[..., Any]]:
    """A stand-in for os.path whose functions record their calls and do the real work."""

    def wrap(name: str) -> Callable[..., Any]:
        real = getattr(posixpath, name)

        def function(*args: Any) -> Any:
            log.append(name)
            return real(*args)

        return function

    return {name: wrap(name) for name in NAMES}


def plain_module(name: str, **attrs: Any) -> types.ModuleType:
    module = types.ModuleType(name)
    module.__dict__.update(attrs)
    return module


def rebind_os_to_object(mp: pytest.MonkeyPatch, log: list[str]) -> None:
    mp.setattr(mu, "os", types.SimpleNamespace(path=types.SimpleNamespace(**recorder(log))))


def rebind_os_to_module(mp: pytest.MonkeyPatch, log: list[str]) -> None:
    mp.setattr(mu, "os", plain_module("os2", path=plain_module("path2", **recorder(log))))


def rebind_os_path(mp: pytest.MonkeyPatch, log: list[str]) -> None:
    mp.setattr(os, "path", plain_module("path2", **recorder(log)))


def rebind_exists(mp: pytest.MonkeyPatch, log: list[str]) -> None:
    mp.setattr(posixpath, "exists", recorder(log)["exists"])


def os_path_in_builtins(mp: pytest.MonkeyPatch, log: list[str]) -> None:
    mp.delattr(mu, "os")
    mp.setattr("builtins.os", plain_module("os2", path=plain_module("path2", **recorder(log))), raising=False)


def module_getattr_hook(mp: pytest.MonkeyPatch, log: list[str]) -> None:
    # os.path without `exists` in its dict: the module's __getattr__ supplies it.
    fakes = recorder(log)
    path = plain_module(
        "path2", expanduser=posixpath.expanduser, join=posixpath.join, __getattr__=lambda name: fakes[name]
    )
    mp.setattr(mu, "os", plain_module("os2", path=path))


def path_from_module_getattr(mp: pytest.MonkeyPatch, log: list[str]) -> None:
    # Python code asks __getattr__ at each access of os.path; none changes a dict.
    path = plain_module("path2", **recorder(log))

    def getattr_hook(name: str) -> types.ModuleType:
        log.append(name)
        return path

    mp.setattr(mu, "os", plain_module("os2", __getattr__=getattr_hook))


class Shadow:
    """A key that stands for "path" in a dict once switched on, which changes
    no dict."""

    on = False

    def __hash__(self) -> int:
        return hash("path")

    def __eq__(self, other: object) -> bool:
        return Shadow.on and other == "path"


def key_equality_changes(mp: pytest.MonkeyPatch, log: list[str]) -> None:
    stand_in = types.ModuleType("os2")
    # First in the probe order; a key that is not a str, on purpose.
    stand_in.__dict__[Shadow()] = plain_module("path2", **recorder(log))  # type: ignore[index]
    stand_in.__dict__["path"] = posixpath
    mp.setattr(mu, "os", stand_in)
    mu.get_machine_id()
    mp.setattr(Shadow, "on", True)


class PathProperty(types.ModuleType):
    """A module class whose `path` is a property: its dicts do not change."""

    fakes: ClassVar[dict[str, Callable[..., Any]]] = {}
    path = property(lambda self: types.SimpleNamespace(**PathProperty.fakes))


def change_class_of_os(mp: pytest.MonkeyPatch, log: list[str]) -> None:
    # The stand-in is used once as a plain module, then its class changes,
    # which changes none of the dicts the lookups read.
    stand_in = plain_module("os2", path=posixpath)
    vars(mu)["os"] = stand_in
    mu.get_machine_id()
    PathProperty.fakes = recorder(log)
    mp.setattr(stand_in, "__class__", PathProperty)
    mp.setattr(mu, "os", stand_in)


class ExistsProperty(types.ModuleType):
    """A module class whose `exists` is a property."""

    fakes: ClassVar[dict[str, Callable[..., Any]]] = {}
    exists = property(lambda self: ExistsProperty.fakes["exists"])


def change_class_of_os_path(mp: pytest.MonkeyPatch, log: list[str]) -> None:
    stand_in = plain_module("path2", **{name: getattr(posixpath, name) for name in NAMES})
    vars(mu)["os"] = plain_module("os2", path=stand_in)
    mu.get_machine_id()
    ExistsProperty.fakes = recorder(log)
    mp.setattr(stand_in, "__class__", ExistsProperty)  # the property wins over the dict entry


CASES = {
    "os rebound to an object": (rebind_os_to_object, ["expanduser", "join", "exists"]),
    "os rebound to another module": (rebind_os_to_module, ["expanduser", "join", "exists"]),
    "os.path rebound": (rebind_os_path, ["expanduser", "join", "exists"]),
    "os.path.exists rebound": (rebind_exists, ["exists"]),
    "os only in builtins": (os_path_in_builtins, ["expanduser", "join", "exists"]),
    "function from the module's __getattr__": (module_getattr_hook, ["exists"]),
    "class of os changed": (change_class_of_os, ["expanduser", "join", "exists"]),
    "class of os.path changed": (change_class_of_os_path, ["exists"]),
    "os.path from the module's __getattr__": (
        path_from_module_getattr,
        ["path", "expanduser", "path", "join", "path", "exists"],
    ),
    "a key's equality changes": (key_equality_changes, ["expanduser", "join", "exists"]),
}


@pytest.mark.parametrize(("change", "expected"), CASES.values(), ids=CASES.keys())
def test_each_call_sees_the_current_binding(
    monkeypatch: pytest.MonkeyPatch, change: Callable[[pytest.MonkeyPatch, list[str]], None], expected: list[str]
) -> None:
    real_os = vars(mu)["os"]
    stored = mu.get_machine_id()
    assert mu.get_machine_id() == stored  # a cached call, with the lookups made before
    log: list[str] = []
    with monkeypatch.context() as mp:
        mp.setattr(mu, "os", real_os)  # restored at the end, whatever the case does
        change(mp, log)
        assert mu.get_machine_id() == stored
        assert log == expected
        assert mu.get_machine_id() == stored
        assert log == expected * 2
    log.clear()
    assert vars(mu)["os"] is real_os
    assert mu.get_machine_id() == stored
    assert log == []


@pytest.mark.skipif(sys.version_info < (3, 12), reason="dict watchers come with 3.12")
def test_every_dict_watcher_taken() -> None:
    """With no watcher left for the module, it keeps nothing and every call
    still sees the current bindings."""
    run_py(CHILDREN / "without_dict_watchers.py", args=[__file__, "-q", "-p", "no:cacheprovider", "-k", "not watcher"])
