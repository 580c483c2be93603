"""What a user would write instead of tamsel.utils._machine_utils, in plain Python.

Same calls in the same order, same cache file, same catch-all handlers: the
benchmark's yardstick for the native module. Not part of the package.
"""

from __future__ import annotations

import hashlib
import platform
import uuid
import os


def get_machine_id() -> str:
    """Generate a unique machine identifier with hardware info."""
    cached_id = _get_cached_machine_id()
    if cached_id:
        return cached_id
    try:
        system_info = _get_stable_system_info()
        machine_id = hashlib.sha256("".join(system_info).encode()).hexdigest()
        _save_machine_id(machine_id)
        return machine_id
    except BaseException:
        fallback_id = hashlib.sha256(str(uuid.getnode()).encode()).hexdigest()
        _save_machine_id(fallback_id)
        return fallback_id


def _get_cached_machine_id() -> str:
    try:
        cache_dir = os.path.expanduser("~/.tamsel/cache")
        path = os.path.join(cache_dir, ".machine_id")
        if os.path.exists(path):
            with open(path, "r") as f:
                return f.read().strip()
    except BaseException:
        pass
    return ""


def _save_machine_id(machine_id: str) -> None:
    try:
        cache_dir = os.path.expanduser("~/.tamsel/cache")
        os.makedirs(cache_dir, exist_ok=True)
        with open(os.path.join(cache_dir, ".machine_id"), "w") as f:
            f.write(machine_id)
    except BaseException:
        pass


def _get_stable_system_info() -> list[str]:
    info = []
    info.append(str(uuid.getnode()))
    if platform.system() == "Windows":
        info.extend(_get_windows_info())
    elif platform.system() == "Darwin":
        info.extend(_get_macos_info())
    else:
        info.extend(_get_linux_info())
    return info


def _get_windows_info() -> list[str]:
    try:
        import win32api
        import win32security  # noqa: F401

        info = []
        try:
            info.append(str(win32api.GetVolumeInformation("C:\\")[1]))
        except BaseException:
            pass
        try:
            import wmi

            for bios in wmi.WMI().Win32_BIOS():
                serial = bios.SerialNumber
                if serial:
                    info.append(serial)
        except BaseException:
            pass
        return info
    except BaseException:
        return []


def _get_macos_info() -> list[str]:
    info: list[str] = []
    try:
        import subprocess

        result = subprocess.run(["system_profiler", "SPHardwareDataType"], capture_output=True, text=True)
        for line in result.stdout.split("\n"):
            if "Hardware UUID" in line:
                info.append(line.split(":")[1].strip())
            elif "Serial Number" in line:
                info.append(line.split(":")[1].strip())
    except BaseException:
        pass
    return info


def _get_linux_info() -> list[str]:
    info: list[str] = []
    for path in ("/etc/machine-id", "/var/lib/dbus/machine-id"):
        try:
            if os.path.exists(path):
                with open(path, "r") as f:
                    value = f.read().strip()
                    if value:
                        info.append(value)
        except BaseException:
            pass
    try:
        for path in ("/sys/class/dmi/id/product_uuid", "/sys/class/dmi/id/board_serial"):
            if os.path.exists(path):
                with open(path, "r") as f:
                    value = f.read().strip()
                    if value and value != "0000000000":
                        info.append(value)
    except BaseException:
        pass
    return info
