#!/usr/bin/env bash
# Developer entry point.
#
#   bash scripts/dev.sh setup          create .venv (CPython 3.9) and install the project into it
#   bash scripts/dev.sh run            setup, then print get_machine_id()
#   bash scripts/dev.sh test [ARGS]    setup, then run pytest on tests/ (ARGS go to pytest)
#   bash scripts/dev.sh check-deep     (not yet)
#   bash scripts/dev.sh bench          (not yet)
#
# Environment:
#   PYTHON=/path/to/python3.9   interpreter to build the venv from (default: pyenv's 3.9,
#                               then python3.9 on PATH)
#   TAMSEL_REINSTALL=1          reinstall the project even if its sources look unchanged
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
cd "$ROOT"

VENV="$ROOT/.venv"
VPY="$VENV/bin/python"
LOCK="$VENV/.dev.lock"
BASE_MARKER="$VENV/.tamsel-base-python"
BUILD_STAMP="$VENV/.tamsel-build-stamp"

export PIP_DISABLE_PIP_VERSION_CHECK=1
# A PYTHONHOME from the caller would break the venv's interpreter.
unset PYTHONHOME

log() { printf '[dev.sh] %s\n' "$*" >&2; }
die() { printf '[dev.sh] error: %s\n' "$*" >&2; exit 1; }

usage() {
  awk 'NR == 1 { next } /^#/ { sub(/^# ?/, ""); print; next } { exit }' "${BASH_SOURCE[0]}" >&2
}

ensure_compiler() {
  command -v g++ >/dev/null 2>&1 && return 0
  log "g++ not found; installing it with apt-get"
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null 2>&1 || die "g++ is missing and we are not root (no sudo either)"
    sudo=(sudo)
  fi
  command -v apt-get >/dev/null 2>&1 || die "g++ is missing and apt-get is not available; install a C++17 compiler"
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++ >/dev/null
  command -v g++ >/dev/null 2>&1 || die "g++ still not found after apt-get install"
}

# Prints "<real path of the interpreter>" if $1 runs and is CPython 3.9.
check_py39() {
  "$1" - <<'PY' 2>/dev/null
import os, platform, sys
if sys.version_info[:2] != (3, 9) or platform.python_implementation() != "CPython":
    sys.exit(1)
print(os.path.realpath(sys.executable))
PY
}

find_python() {
  local cand prefix real
  if [ -n "${PYTHON:-}" ]; then
    cand="$(command -v -- "$PYTHON" 2>/dev/null || true)"
    [ -n "$cand" ] || die "PYTHON=$PYTHON is not an executable"
    real="$(check_py39 "$cand")" || die "PYTHON=$PYTHON is not CPython 3.9 ($("$cand" -V 2>&1 || true))"
    printf '%s\n' "$real"; return 0
  fi
  if command -v pyenv >/dev/null 2>&1; then
    if prefix="$(pyenv prefix 3.9 2>/dev/null)" && [ -n "$prefix" ]; then
      for cand in "$prefix/bin/python3.9" "$prefix/bin/python3"; do
        if [ -x "$cand" ] && real="$(check_py39 "$cand")"; then
          printf '%s\n' "$real"; return 0
        fi
      done
    fi
    # Older pyenv versions do not resolve a "3.9" prefix; pick the newest 3.9.x.
    local root
    root="$(pyenv root 2>/dev/null || true)"
    if [ -n "$root" ]; then
      for cand in $(ls -d "$root"/versions/3.9.* 2>/dev/null | sort -V -r); do
        if [ -x "$cand/bin/python3.9" ] && real="$(check_py39 "$cand/bin/python3.9")"; then
          printf '%s\n' "$real"; return 0
        fi
      done
    fi
  fi
  if cand="$(command -v python3.9 2>/dev/null)" && real="$(check_py39 "$cand")"; then
    printf '%s\n' "$real"; return 0
  fi
  die "CPython 3.9 not found: install it (e.g. 'pyenv install 3.9') or set PYTHON=/path/to/python3.9"
}

# Hash of everything that goes into the build, plus build-affecting environment.
source_hash() {
  {
    find pyproject.toml CMakeLists.txt tamsel -type f \
      ! -name '*.so' ! -name '*.pyc' ! -path '*/__pycache__/*' -print0 \
      | LC_ALL=C sort -z | xargs -0 sha256sum
    env | LC_ALL=C grep -E '^(CMAKE_ARGS|CMAKE_GENERATOR|SKBUILD_[A-Z_]*|CC|CXX|CFLAGS|CXXFLAGS|CPPFLAGS|LDFLAGS)=' | LC_ALL=C sort || true
  } | sha256sum | cut -d' ' -f1
}

# Imports the installed module from a directory outside the repo.
installed_ok() {
  (cd / && "$VPY" -I -c 'import tamsel.utils._machine_utils') >/dev/null 2>&1
}

setup() {
  ensure_compiler
  local base want
  base="$(find_python)"
  want="$base $("$base" -c 'import sys; print(sys.version.split()[0])')"

  mkdir -p "$VENV"
  exec 9>"$LOCK"
  if ! flock -n 9; then
    log "waiting for another dev.sh to finish with .venv"
    flock 9
  fi

  if [ ! -x "$VPY" ] || [ "$(cat "$BASE_MARKER" 2>/dev/null || true)" != "$want" ] \
      || ! "$VPY" -c 'pass' >/dev/null 2>&1; then
    log "creating .venv from $base"
    # Empty the directory but keep the lock file, which we hold.
    find "$VENV" -mindepth 1 -maxdepth 1 ! -name "$(basename "$LOCK")" -exec rm -rf {} +
    "$base" -m venv "$VENV" || die "could not create the venv with $base -m venv"
    printf '%s\n' "$want" >"$BASE_MARKER"
  fi

  if ! "$VPY" -c 'import pytest' >/dev/null 2>&1; then
    log "installing pytest"
    "$VPY" -m pip install -q pytest
  fi

  [ -f tamsel/utils/_machine_utils.cpp ] || die "tamsel/utils/_machine_utils.cpp does not exist yet"

  local hash
  hash="$(source_hash)"
  if [ "${TAMSEL_REINSTALL:-0}" != 1 ] && [ "$(cat "$BUILD_STAMP" 2>/dev/null || true)" = "$hash" ] \
      && installed_ok; then
    log "tamsel is up to date in .venv"
  else
    log "building and installing tamsel into .venv"
    rm -f "$BUILD_STAMP"
    "$VPY" -m pip install -q --no-deps --force-reinstall "$ROOT"
    installed_ok || die "tamsel.utils._machine_utils does not import after installation"
    printf '%s\n' "$hash" >"$BUILD_STAMP"
  fi

  # Keep a shared lock while the caller uses the venv, so a concurrent setup
  # does not reinstall the module underneath a running test or program.
  flock -s 9
}

cmd="${1:-}"
[ $# -gt 0 ] && shift

case "$cmd" in
  setup)
    setup
    ;;
  run)
    setup
    # Run from outside the repo in isolated mode, so the source tree's
    # `tamsel` (which has no compiled module) cannot shadow the installed one.
    cd "${TMPDIR:-/tmp}"
    "$VPY" -I -c 'from tamsel.utils._machine_utils import get_machine_id; print(get_machine_id())' 9>&-
    ;;
  test)
    setup
    # The venv's pytest script (not `python -m pytest`, which would put the
    # repo root on sys.path); config and --import-mode come from pyproject.toml.
    rc=0
    "$VENV/bin/pytest" "$@" 9>&- || rc=$?
    if [ "$rc" -eq 5 ]; then
      log "pytest collected no tests; treating that as a failure"
      exit 1
    fi
    exit "$rc"
    ;;
  check-deep)
    die "check-deep: not yet"
    ;;
  bench)
    die "bench: not yet"
    ;;
  -h|--help|help)
    usage
    ;;
  *)
    usage
    [ -z "$cmd" ] && die "missing command"
    die "unknown command: $cmd"
    ;;
esac
