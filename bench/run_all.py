"""Runs bench/run.py on every CPython from 3.9 to 3.13 and prints one row per version.

    python3 bench/run_all.py [--versions 3.9,3.12] [--venv DIR ...] [--strict] [RUN.PY ARGS]

Any Python 3 may run this script; it runs the benchmark under each version in
a venv of that version. With --venv DIR (repeatable), the given venvs are used
as they are: each must have the project installed unstripped (and
py-machineid, where it installs). Without it, the interpreters come from pyenv
(`pyenv prefix X.Y`) and a venv per version is made and kept under
bench/.venvs/ (ignored by git; TAMSEL_BENCH_VENVS names another directory),
with the project built from this checkout and installed unstripped, rebuilt
when its sources change (TAMSEL_REINSTALL=1 forces it). A version whose
interpreter is not found is reported and counted as a failure.

Other arguments (--quick, --no-timing) go to bench/run.py. Each run is made
from a temporary working directory with `python -I`, so that only the
installed package can be imported; bench/run.py gives every run its own
temporary HOME. The exit status is 1 when a version could not be run, and with
--strict also when a version missed one of its targets.
"""

import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
VERSIONS = ("3.9", "3.10", "3.11", "3.12", "3.13")
RUN = os.path.join(HERE, "run.py")

sys.path.insert(0, HERE)
from run import ROW_COLUMNS, format_row  # noqa: E402  (the one row format)


def log(message):
    print(f"[run_all] {message}", file=sys.stderr, flush=True)


def source_hash():
    """What the installed build depends on: the build files and the sources."""
    digest = hashlib.sha256()
    paths = [os.path.join(ROOT, name) for name in ("pyproject.toml", "CMakeLists.txt")]
    for base, dirs, files in os.walk(os.path.join(ROOT, "src")):
        dirs[:] = sorted(d for d in dirs if d != "__pycache__")
        paths += [os.path.join(base, f) for f in sorted(files) if not f.endswith((".so", ".pyc"))]
    for path in paths:
        digest.update(os.path.relpath(path, ROOT).encode() + b"\0")
        with open(path, "rb") as f:
            digest.update(f.read())
    return digest.hexdigest()


def version_of(python):
    """"X.Y" of a CPython interpreter, or None."""
    try:
        out = subprocess.run([python, "-c", "import platform, sys; "
                              "print(platform.python_implementation(), '%d.%d' % sys.version_info[:2])"],
                             check=True, capture_output=True, text=True).stdout.split()
    except (OSError, subprocess.CalledProcessError):
        return None
    return out[1] if out and out[0] == "CPython" else None


def pyenv_python(version):
    """pyenv's interpreter for X.Y, or None."""
    if shutil.which("pyenv") is None:
        return None
    prefix = subprocess.run(["pyenv", "prefix", version], capture_output=True, text=True).stdout.strip()
    for name in (f"python{version}", "python3"):
        python = os.path.join(prefix, "bin", name)
        if prefix and os.access(python, os.X_OK) and version_of(python) == version:
            return python
    return None


def pip(venv_python, *args):
    subprocess.run([venv_python, "-m", "pip", "--disable-pip-version-check", "-q", *args], check=True)


def prepare_venv(version, venvs):
    """The venv for X.Y under `venvs`, made and brought up to date; its python."""
    base = pyenv_python(version)
    if base is None:
        raise RuntimeError(f"CPython {version} not found (pyenv prefix {version})")
    venv = os.path.join(venvs, version)
    python = os.path.join(venv, "bin", "python")
    identity = f"{os.path.realpath(base)} {subprocess.run([base, '-V'], capture_output=True, text=True).stdout.strip()}"
    identity_file = os.path.join(venv, ".tamsel-base-python")
    if not os.access(python, os.X_OK) or _read(identity_file) != identity:
        log(f"creating {venv} from {base}")
        shutil.rmtree(venv, ignore_errors=True)
        subprocess.run([base, "-m", "venv", venv], check=True)
        with open(identity_file, "w") as f:
            f.write(identity)
    if subprocess.run([python, "-c", "import machineid"], capture_output=True).returncode != 0:
        try:
            pip(python, "install", "py-machineid")
        except subprocess.CalledProcessError:
            log(f"py-machineid does not install under {version}; compared without it")
    stamp = os.path.join(venv, ".tamsel-build-stamp")
    wanted = source_hash()
    if os.environ.get("TAMSEL_REINSTALL") == "1" or _read(stamp) != wanted:
        log(f"building and installing tamsel into {venv}")
        if os.path.exists(stamp):
            os.remove(stamp)
        # Unstripped, so that the profile names the module's own functions.
        pip(python, "install", "--no-deps", "--force-reinstall",
            "--config-settings=install.strip=false", "--config-settings=cmake.define.TAMSEL_WERROR=ON", ROOT)
        with open(stamp, "w") as f:
            f.write(wanted)
    return python


def _read(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return None


def run_one(python, run_args):
    """bench/run.py under `python`; its summary row (a dict)."""
    with tempfile.TemporaryDirectory(prefix="tamsel-bench-all-") as cwd:
        out = os.path.join(cwd, "row.json")
        subprocess.run([python, "-I", RUN, *run_args, "--json", out], cwd=cwd, check=True)
        with open(out) as f:
            return json.load(f)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--versions", default=",".join(VERSIONS),
                    help=f"comma-separated X.Y versions to run (default {','.join(VERSIONS)})")
    ap.add_argument("--venv", action="append", default=[], metavar="DIR",
                    help="a prepared venv to run in (repeatable; replaces --versions)")
    ap.add_argument("--strict", action="store_true", help="fail when a version misses a target")
    args, run_args = ap.parse_known_args()

    if shutil.which("valgrind") is None:
        sys.exit("[run_all] valgrind is needed for the instruction counts (apt-get install valgrind)")
    venvs = os.environ.get("TAMSEL_BENCH_VENVS") or os.path.join(HERE, ".venvs")
    if args.venv:
        targets = [(version_of(os.path.join(v, "bin", "python")) or v, os.path.join(v, "bin", "python"))
                   for v in args.venv]
    else:
        targets = [(v, None) for v in args.versions.split(",") if v]

    rows, failed = [], []
    for version, python in targets:
        log(f"CPython {version}")
        try:
            rows.append(run_one(python or prepare_venv(version, venvs), run_args))
        except (RuntimeError, OSError, subprocess.CalledProcessError) as exc:
            log(f"CPython {version} failed: {exc}")
            failed.append(version)

    print("\nper-version summary (instructions per call from callgrind; wall clock: "
          "median ratio of the module to pure Python)\n")
    print("| " + " | ".join(ROW_COLUMNS) + " |")
    print("|" + "---|" * len(ROW_COLUMNS))
    for row in rows:
        print(format_row(row))
    print()
    missed = [r["python"] for r in rows if not r["all_met"]]
    for row in rows:
        print(f"  CPython {row['python']}: {row['targets_met']} of {row['targets']} targets met")
    for version in failed:
        print(f"  CPython {version}: did not run")
    print(f"\n{len(rows)} of {len(targets)} versions ran; "
          f"{len(rows) - len(missed)} met all their targets")
    return 1 if failed or (args.strict and missed) else 0


if __name__ == "__main__":
    sys.exit(main())
