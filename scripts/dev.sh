#!/usr/bin/env bash
# Developer entry point.
#
#   bash scripts/dev.sh setup          create .venv (CPython 3.9) and install the project into it
#   bash scripts/dev.sh run            setup, then print get_machine_id()
#   bash scripts/dev.sh test [ARGS]    setup, then run pytest on tests/ (ARGS go to pytest)
#   bash scripts/dev.sh check-deep [ARGS]  the test suite against an ASan+UBSan build (.venv-asan)
#                                      and under valgrind memcheck (ARGS go to pytest;
#                                      TAMSEL_DEEP=asan or valgrind runs one of the two)
#   bash scripts/dev.sh bench [ARGS]   build a separate .venv-bench (the project + py-machineid),
#                                      then run bench/run.py (ARGS go to it; --quick for a short run)
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
    find pyproject.toml CMakeLists.txt src -type f \
      ! -name '*.so' ! -name '*.pyc' ! -path '*/__pycache__/*' -print0 \
      | LC_ALL=C sort -z | xargs -0 sha256sum
    env | LC_ALL=C grep -E '^(CMAKE_ARGS|CMAKE_GENERATOR|SKBUILD_[A-Z_]*|CC|CXX|CFLAGS|CXXFLAGS|CPPFLAGS|LDFLAGS)=' | LC_ALL=C sort || true
  } | sha256sum | cut -d' ' -f1
}

# Imports the installed module from a directory outside the repo.
installed_ok() {
  (cd / && "$VPY" -I -c 'import tamsel.utils._machine_utils') >/dev/null 2>&1
}

# What a venv made from interpreter $1 records of it: path and exact version.
python_identity() {
  printf '%s %s\n' "$1" "$("$1" -c 'import sys; print(sys.version.split()[0])')"
}

# ensure_venv FD DIR BASE WANT [venv options]: takes the lock of the venv DIR on
# file descriptor FD and (re)creates DIR from interpreter BASE when it was made
# from another one (WANT names it). Sets VENV_MADE=1 when it was (re)created.
ensure_venv() {
  local fd=$1 dir=$2 base=$3 want=$4; shift 4
  mkdir -p "$dir"
  eval "exec $fd>\"\$dir/.dev.lock\""
  if ! flock -n "$fd"; then
    log "waiting for another dev.sh to finish with ${dir##*/}"
    flock "$fd"
  fi
  VENV_MADE=0
  if [ ! -x "$dir/bin/python" ] || [ "$(cat "$dir/.tamsel-base-python" 2>/dev/null || true)" != "$want" ] \
      || ! "$dir/bin/python" -c 'pass' >/dev/null 2>&1; then
    log "creating ${dir##*/} from $base"
    # Empty the directory but keep the lock file, which we hold.
    find "$dir" -mindepth 1 -maxdepth 1 ! -name .dev.lock -exec rm -rf {} +
    "$base" -m venv "$@" "$dir" || die "could not create ${dir##*/} with $base -m venv"
    printf '%s\n' "$want" >"$dir/.tamsel-base-python"
    VENV_MADE=1
  fi
}

# install_project DIR CHECK [pip options]: builds and installs the project into
# the venv DIR unless it was built from these sources and the Python code CHECK,
# run from outside the repo, succeeds. TAMSEL_REINSTALL=1 forces the build.
install_project() {
  local dir=$1 check=$2 hash; shift 2
  hash="$(source_hash)"
  if [ "${TAMSEL_REINSTALL:-0}" != 1 ] && [ "$(cat "$dir/.tamsel-build-stamp" 2>/dev/null || true)" = "$hash" ] \
      && (cd / && "$dir/bin/python" -I -c "$check") >/dev/null 2>&1; then
    log "tamsel is up to date in ${dir##*/}"
    return 0
  fi
  log "building and installing tamsel into ${dir##*/}"
  rm -f "$dir/.tamsel-build-stamp"
  "$dir/bin/python" -m pip install -q --no-deps --force-reinstall "$@" "$ROOT" \
    || die "building tamsel into ${dir##*/} failed"
  printf '%s\n' "$hash" >"$dir/.tamsel-build-stamp"
}

setup() {
  ensure_compiler
  local base
  base="$(find_python)"
  ensure_venv 9 "$VENV" "$base" "$(python_identity "$base")"
  if ! "$VPY" -c 'import pytest' >/dev/null 2>&1; then
    log "installing pytest"
    "$VPY" -m pip install -q pytest
  fi
  [ -f src/tamsel/utils/_machine_utils.cpp ] || die "src/tamsel/utils/_machine_utils.cpp does not exist yet"
  install_project "$VENV" 'import tamsel.utils._machine_utils'
  installed_ok || die "tamsel.utils._machine_utils does not import after installation"

  # Keep a shared lock while the caller uses the venv, so a concurrent setup
  # does not reinstall the module underneath a running test or program.
  flock -s 9
}

# The benchmark's own venv: the project and the comparison package py-machineid,
# kept out of .venv so that the tests never see py-machineid.
BVENV="$ROOT/.venv-bench"
BVPY="$BVENV/bin/python"

ensure_valgrind() {
  command -v valgrind >/dev/null 2>&1 && return 0
  apt_install valgrind
  command -v valgrind >/dev/null 2>&1 || die "valgrind still not found after apt-get install"
}

bench_setup() {
  ensure_compiler
  ensure_valgrind
  local base
  base="$(find_python)"
  ensure_venv 9 "$BVENV" "$base" "$(python_identity "$base")"
  if ! "$BVPY" -c 'import machineid' >/dev/null 2>&1; then
    log "installing py-machineid into .venv-bench"
    "$BVPY" -m pip install -q py-machineid || die "py-machineid does not install under $base"
  fi
  # Unstripped, so that the profile names the module's own functions.
  install_project "$BVENV" 'import tamsel.utils._machine_utils' --config-settings=install.strip=false
}

# check-deep: the whole test suite again, (1) against a build of the module with
# AddressSanitizer and UndefinedBehaviorSanitizer in its own .venv-asan and (2)
# under valgrind's memcheck against .venv, child processes included. The
# interpreter is not instrumented and does not free everything at exit, so a
# leak counts only when its allocation stack passes through _machine_utils;
# a sanitizer error or a memcheck error involving the module counts wherever.
AVENV="$ROOT/.venv-asan"
AVPY="$AVENV/bin/python"

apt_install() {
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null 2>&1 || die "need to install $*, but we are not root (no sudo either)"
    sudo=(sudo)
  fi
  command -v apt-get >/dev/null 2>&1 || die "need to install $*, but apt-get is not available"
  log "installing $* with apt-get"
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

# The venv's interpreter is a copy that loads the sanitizer runtime as its first
# library (instead of LD_PRELOAD, which a test may replace for its own child, and
# which would instrument compilers and other programs that tests start).
asan_setup() {
  ensure_compiler
  local lib base want py
  local -x ASAN_OPTIONS=detect_leaks=0  # for pip and the checks below
  for lib in libasan.so libubsan.so; do
    [ -e "$(g++ -print-file-name=$lib)" ] || apt_install "libgcc-$(g++ -dumpversion | cut -d. -f1)-dev"
    [ -e "$(g++ -print-file-name=$lib)" ] || die "$lib not found after installing the compiler's runtime"
  done
  command -v patchelf >/dev/null 2>&1 || apt_install patchelf
  base="$(find_python)"
  want="$(python_identity "$base") $(readlink -f "$(g++ -print-file-name=libasan.so)")"
  ensure_venv 8 "$AVENV" "$base" "$want" --copies
  if [ "$VENV_MADE" = 1 ]; then
    for py in "$AVENV"/bin/python*; do
      [ -L "$py" ] && continue
      patchelf --add-needed "$(readlink -f "$(g++ -print-file-name=libubsan.so)")" \
        --add-needed "$(readlink -f "$(g++ -print-file-name=libasan.so)")" "$py"
    done
  fi
  "$AVPY" -c 'import pytest' >/dev/null 2>&1 || "$AVPY" -m pip install -q pytest
  # (Importing it needs the sanitizer runtime preloaded; finding it does not.)
  install_project "$AVENV" 'import importlib.util as u; assert u.find_spec("tamsel.utils._machine_utils")' \
    --config-settings=cmake.define.TAMSEL_SANITIZE=ON --config-settings=cmake.build-type=RelWithDebInfo \
    --config-settings=install.strip=false
}

# Prints what the sanitizer or valgrind logs in $2 say; fails when something
# involves the module, or when a sanitizer found any error at all.
scan_logs() {
  "$(find_python)" - "$1" "$2" <<'PY'
import glob, os, re, sys
kind, logs = sys.argv[1:]
procs = leaks = errors = 0
module_leaks, module_bytes, problems = 0, 0, []
for path in sorted(glob.glob(os.path.join(logs, "*"))):
    procs += 1
    text = re.sub(r"(?m)^==\d+== ?", "", open(path, errors="replace").read())
    for record in re.split(r"\n\s*\n", text):
        ours = "_machine_utils" in record
        leak = re.search(r"^(?:Direct|Indirect) leak of (\d+) byte|^([\d,]+) bytes in [\d,]+ blocks are definitely lost",
                         record.strip(), re.M)
        if leak:
            leaks += 1
            if ours:
                module_leaks += 1
                module_bytes += int((leak.group(1) or leak.group(2)).replace(",", ""))
                problems.append(record.strip())
        elif re.search(r"ERROR: AddressSanitizer|runtime error:", record) or (
                ours and re.search(r"^(Invalid|Conditional jump|Use of uninitialised|Mismatched|Syscall param|Source and destination)", record.strip(), re.M)):
            errors += 1
            problems.append(record.strip())
what = "leak records (definitely lost)" if kind == "valgrind" else "leak records"
print(f"[{kind}] {procs} process logs; {leaks} {what} in all, {module_leaks} through _machine_utils "
      f"({module_bytes} bytes); {errors} error reports")
for p in problems[:20]:
    print(p[:3000], end="\n\n")
sys.exit(1 if problems else 0)
PY
}

check_asan() {
  asan_setup
  local logs rc=0
  logs="$(mktemp -d "${TMPDIR:-/tmp}/tamsel-asan.XXXXXX")"
  log "test suite against the ASan+UBSan build (logs in $logs)"
  # LeakSanitizer reports but does not change exit codes (exitcode=0); any
  # other ASan error aborts (abort_on_error), UBSan stops at the first error.
  # The runtime comes first among the interpreter's own libraries, also when
  # a test preloads a library into its child (verify_asan_link_order=0).
  # Allocation stacks come from the fast unwinder: the interpreter has no frame
  # pointers, so when a leak is reported, TAMSEL_ASAN_OPTIONS=fast_unwind_on_malloc=0
  # (much slower) gives the full stack.
  env PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=1:exitcode=0:abort_on_error=1:verify_asan_link_order=0:malloc_context_size=40:log_path=$logs/asan:${TAMSEL_ASAN_OPTIONS:-}" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan" \
    "$AVPY" "$AVENV/bin/pytest" -q -p no:cacheprovider "$@" 8>&- || rc=$?
  scan_logs asan "$logs" || rc=1
  return "$rc"
}

check_valgrind() {
  command -v valgrind >/dev/null 2>&1 || apt_install valgrind
  setup
  local logs rc=0
  logs="$(mktemp -d "${TMPDIR:-/tmp}/tamsel-valgrind.XXXXXX")"
  log "test suite under valgrind memcheck, child processes included (logs in $logs)"
  # Programs other than the interpreter that tests start (compilers, sort, ...)
  # are not traced; the robustness tests run a tenth of their loops and sweep
  # every tenth allocation (TAMSEL_TEST_SCALE): about 8 minutes on 2 cores.
  env PYTHONMALLOC=malloc TAMSEL_TEST_SCALE="${TAMSEL_TEST_SCALE:-0.1}" \
    valgrind -q --tool=memcheck --leak-check=full --show-leak-kinds=definite \
    --errors-for-leak-kinds=definite --trace-children=yes --num-callers=40 --log-file="$logs/vg.%p" \
    --trace-children-skip='*/sh,*/bash,*/sort,*/uname,*/ldconfig*,*/cc,*/c++,*/gcc*,*/g++*,*/cc1*,*/collect2,*/ld,*/ld.*,*/as,*/x86_64-linux-gnu-*' \
    "$VPY" "$VENV/bin/pytest" -q -p no:cacheprovider "$@" 9>&- || rc=$?
  scan_logs valgrind "$logs" || rc=1
  return "$rc"
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
    # TAMSEL_DEEP=asan or valgrind runs one of the two; ARGS go to pytest.
    rc=0
    [ "${TAMSEL_DEEP:-all}" = valgrind ] || check_asan "$@" || rc=1
    [ "${TAMSEL_DEEP:-all}" = asan ] || check_valgrind "$@" || rc=1
    exit "$rc"
    ;;
  bench)
    bench_setup
    # From outside the repo, so that only the installed `tamsel` can be imported.
    cd "${TMPDIR:-/tmp}"
    "$BVPY" -I "$ROOT/bench/run.py" "$@" 9>&-
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
