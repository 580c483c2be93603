#!/usr/bin/env bash
# Developer entry point.
#
#   bash scripts/dev.sh run            set up .venv (CPython 3.9), install the project, print get_machine_id()
#   bash scripts/dev.sh setup          only create or refresh .venv
#   bash scripts/dev.sh test [ARGS]    run the test suite on every CPython 3.9-3.13 found (ARGS go to
#                                      pytest); fails when 3.9 is missing or any run fails
#   bash scripts/dev.sh wheels         a manylinux wheel per interpreter found (wheelhouse/), each
#                                      smoke-tested in a fresh venv; the sdist (dist/); twine check;
#                                      cibuildwheel's build list for Linux, macOS and Windows
#   bash scripts/dev.sh bench [ARGS]   bench/run_all.py: bench/run.py on each interpreter found, against an unstripped
#                                      build beside py-machineid (ARGS go to it; --quick for a short run)
#   bash scripts/dev.sh check-deep [ARGS]  the test suite on CPython 3.9 and 3.13 against an ASan+UBSan
#                                      build (.venv-asan-X.Y) and under valgrind memcheck (.venv-deep-X.Y)
#                                      (ARGS go to pytest; TAMSEL_DEEP=asan or valgrind runs one of the two)
#   bash scripts/dev.sh nox [ARGS]     nox itself, with the interpreters found (e.g. -s tests_editable)
#
# test, wheels and bench run the sessions of noxfile.py, with nox bootstrapped into .nox/_tools.
#
# Environment:
#   TAMSEL_PYTHONS="3.9 3.10"   the interpreters for test, wheels and bench (default: all of
#                               3.9-3.13 that are found; pyenv's first, then pythonX.Y on PATH)
#   TAMSEL_DEEP_PYTHONS="3.9"   the interpreters for check-deep (default: 3.9 3.13)
#   PYTHON=/path/to/python3.X   interpreter of .venv for run and setup (default: CPython 3.9)
#   TAMSEL_REINSTALL=1          rebuild the project even if its sources look unchanged
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

SUPPORTED="3.9 3.10 3.11 3.12 3.13"

# check_python VER PATH: prints the real path of PATH if it runs and is CPython VER.
check_python() {
  "$2" - "$1" <<'PY' 2>/dev/null
import os, platform, sys
if "%d.%d" % sys.version_info[:2] != sys.argv[1] or platform.python_implementation() != "CPython":
    sys.exit(1)
print(os.path.realpath(sys.executable))
PY
}

# find_python VER: prints the real path of a CPython VER (pyenv's, then pythonVER
# on PATH), or fails. (pyenv's shims exist for every installed version but run
# only the selected ones, so each candidate is run to check it.)
find_python() {
  local ver=$1 cand prefix real root
  if command -v pyenv >/dev/null 2>&1; then
    if prefix="$(pyenv prefix "$ver" 2>/dev/null)" && [ -n "$prefix" ]; then
      for cand in "$prefix/bin/python$ver" "$prefix/bin/python3"; do
        if [ -x "$cand" ] && real="$(check_python "$ver" "$cand")"; then
          printf '%s\n' "$real"; return 0
        fi
      done
    fi
    # Older pyenv versions do not resolve an "X.Y" prefix; pick the newest X.Y.z.
    root="$(pyenv root 2>/dev/null || true)"
    if [ -n "$root" ]; then
      for cand in $(ls -d "$root/versions/$ver".* 2>/dev/null | sort -V -r); do
        if [ -x "$cand/bin/python$ver" ] && real="$(check_python "$ver" "$cand/bin/python$ver")"; then
          printf '%s\n' "$real"; return 0
        fi
      done
    fi
  fi
  if cand="$(command -v "python$ver" 2>/dev/null)" && real="$(check_python "$ver" "$cand")"; then
    printf '%s\n' "$real"; return 0
  fi
  return 1
}

# The interpreter of .venv (for run and setup): $PYTHON, else CPython 3.9.
run_python() {
  local cand ver
  if [ -n "${PYTHON:-}" ]; then
    cand="$(command -v -- "$PYTHON" 2>/dev/null || true)"
    [ -n "$cand" ] || die "PYTHON=$PYTHON is not an executable"
    ver="$("$cand" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null || true)"
    case " $SUPPORTED " in *" $ver "*) ;; *) ver=none ;; esac
    check_python "$ver" "$cand" || die "PYTHON=$PYTHON is not CPython ${SUPPORTED// /, } ($("$cand" -V 2>&1 || true))"
    return 0
  fi
  find_python 3.9 || die "CPython 3.9 not found: install it (e.g. 'pyenv install 3.9') or set PYTHON=/path/to/python3.X"
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
  # Our own builds turn compiler warnings into errors (a plain pip install does not).
  set -- --config-settings=cmake.define.TAMSEL_WERROR=ON "$@"
  hash="$(printf '%s\n' "$(source_hash)" "$*" | sha256sum | cut -d' ' -f1)"
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
  base="$(run_python)"
  ensure_venv 9 "$VENV" "$base" "$(python_identity "$base")"
  [ -f src/tamsel/utils/_machine_utils.cpp ] || die "src/tamsel/utils/_machine_utils.cpp does not exist yet"
  install_project "$VENV" 'import tamsel.utils._machine_utils'
  installed_ok || die "tamsel.utils._machine_utils does not import after installation"

  # Keep a shared lock while the caller uses the venv, so a concurrent setup
  # does not reinstall the module underneath a running program.
  flock -s 9
}

# --- nox: the per-interpreter sessions of noxfile.py --------------------------
NOXDIR="$ROOT/.nox"
TOOLS="$NOXDIR/_tools"     # a venv holding nox itself
PYDIR="$NOXDIR/_pythons"   # pythonX.Y links to the interpreters found, put first on PATH
NOX_REQ='nox>=2024.4.15,<2027'

# find_pythons: finds every supported interpreter; sets FOUND (versions found,
# oldest first) and SELECTED (those of TAMSEL_PYTHONS, default all, that were
# found). Prints which were found and which are skipped; CPython 3.9 is required
# unless TAMSEL_PYTHONS leaves it out.
find_pythons() {
  local v path want="${TAMSEL_PYTHONS:-$SUPPORTED}"
  for v in $want; do
    case " $SUPPORTED " in *" $v "*) ;; *) die "TAMSEL_PYTHONS: $v is not one of $SUPPORTED" ;; esac
  done
  FOUND=() SELECTED=()
  mkdir -p "$PYDIR"
  for v in $SUPPORTED; do
    rm -f "$PYDIR/python$v"
    if path="$(find_python "$v")"; then
      FOUND+=("$v")
      ln -s "$path" "$PYDIR/python$v"
      case " $want " in *" $v "*) SELECTED+=("$v"); log "CPython $v: $path" ;; esac
    else
      case " $want " in
        *" $v "*)
          [ "$v" = 3.9 ] && die "CPython 3.9 not found: install it (e.g. 'pyenv install 3.9'); the tests must run on it"
          log "skipping CPython $v: not found (install it, e.g. 'pyenv install $v', to run it)" ;;
      esac
    fi
  done
  [ "${#SELECTED[@]}" -gt 0 ] || die "none of the interpreters $want was found"
}

# ensure_nox: the tool venv, made from the newest interpreter found.
ensure_nox() {
  local base="$PYDIR/python${FOUND[${#FOUND[@]}-1]}"
  base="$(readlink -f "$base")"
  ensure_venv 7 "$TOOLS" "$base" "$(python_identity "$base")"
  if [ "$(cat "$TOOLS/.tamsel-req" 2>/dev/null || true)" != "$NOX_REQ" ] || [ ! -x "$TOOLS/bin/nox" ]; then
    log "installing $NOX_REQ into .nox/_tools"
    "$TOOLS/bin/python" -m pip install -q "$NOX_REQ" || die "could not install nox"
    printf '%s\n' "$NOX_REQ" >"$TOOLS/.tamsel-req"
  fi
}

# run_nox SESSION... [-- ARGS]: runs the sessions with the interpreters found
# first on PATH; prints the summary lines the sessions wrote.
run_nox() {
  local summary rc=0
  summary="$(mktemp "${TMPDIR:-/tmp}/tamsel-summary.XXXXXX")"
  PATH="$PYDIR:$PATH" TAMSEL_SUMMARY="$summary" \
    "$TOOLS/bin/nox" --noxfile "$ROOT/noxfile.py" --envdir "$NOXDIR" --sessions "$@" 7>&- || rc=$?
  log "summary:"
  sed 's/^/[dev.sh]   /' "$summary" >&2
  # A session that stopped before its end (failed build or install) wrote nothing.
  local v
  for v in "${SELECTED[@]}"; do
    grep -q "^CPython $v\." "$summary" || log "  CPython $v: failed before the end (the build or an install failed; see above)"
  done
  rm -f "$summary"
  return "$rc"
}

# sessions NAME: NAME-X.Y for each selected interpreter.
sessions() {
  local v
  for v in "${SELECTED[@]}"; do printf '%s-%s\n' "$1" "$v"; done
}

ensure_valgrind() {
  command -v valgrind >/dev/null 2>&1 && return 0
  apt_install valgrind
  command -v valgrind >/dev/null 2>&1 || die "valgrind still not found after apt-get install"
}

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

# --- check-deep ----------------------------------------------------------------
# The whole test suite again, on CPython 3.9 and 3.13 (TAMSEL_DEEP_PYTHONS), (1)
# against a build of the module with AddressSanitizer and
# UndefinedBehaviorSanitizer in .venv-asan-X.Y and (2) under valgrind's memcheck
# against a plain build in .venv-deep-X.Y, child processes included. The
# interpreter is not instrumented and does not free everything at exit, so a
# leak counts only when its allocation stack passes through _machine_utils; a
# sanitizer error or a memcheck error involving the module counts wherever.

# Not about the module's memory: a CPython 3.8 build (pip, CMake) run under the tools.
DEEP_DESELECT=(--deselect tests/test_packaging.py::test_unsupported_interpreter_is_refused)

# deep_venv DIR VER [venv options]: DIR made from CPython VER, with pytest.
deep_venv() {
  local dir=$1 ver=$2 fd=$3 base want; shift 3
  base="$(find_python "$ver")"
  want="$(python_identity "$base")"
  [ "${dir##*/}" = ".venv-asan-$ver" ] && want="$want $(readlink -f "$(g++ -print-file-name=libasan.so)")"
  ensure_venv "$fd" "$dir" "$base" "$want" "$@"
}

# The venv's interpreter is a copy that loads the sanitizer runtime as its first
# library (instead of LD_PRELOAD, which a test may replace for its own child, and
# which would instrument compilers and other programs that tests start).
asan_setup() {
  local ver=$1 dir=$2 lib py
  local -x ASAN_OPTIONS=detect_leaks=0  # for pip and the checks below
  for lib in libasan.so libubsan.so; do
    [ -e "$(g++ -print-file-name=$lib)" ] || apt_install "libgcc-$(g++ -dumpversion | cut -d. -f1)-dev"
    [ -e "$(g++ -print-file-name=$lib)" ] || die "$lib not found after installing the compiler's runtime"
  done
  command -v patchelf >/dev/null 2>&1 || apt_install patchelf
  deep_venv "$dir" "$ver" 8 --copies
  if [ "$VENV_MADE" = 1 ]; then
    for py in "$dir"/bin/python*; do
      [ -L "$py" ] && continue
      patchelf --add-needed "$(readlink -f "$(g++ -print-file-name=libubsan.so)")" \
        --add-needed "$(readlink -f "$(g++ -print-file-name=libasan.so)")" "$py"
    done
  fi
  "$dir/bin/python" -c 'import pytest' >/dev/null 2>&1 || "$dir/bin/python" -m pip install -q pytest
  # (Importing it needs the sanitizer runtime preloaded; finding it does not.)
  install_project "$dir" 'import importlib.util as u; assert u.find_spec("tamsel.utils._machine_utils")' \
    --config-settings=cmake.define.TAMSEL_SANITIZE=ON --config-settings=cmake.build-type=RelWithDebInfo \
    --config-settings=install.strip=false
}

# Prints what the sanitizer or valgrind logs in $2 say; fails when something
# involves the module, or when a sanitizer found any error at all.
scan_logs() {
  "$(find_python 3.9)" - "$1" "$2" <<'PY'
import glob, os, re, sys
kind, logs = sys.argv[1:]
procs = leaks = errors = 0
module_leaks, module_bytes, problems = 0, 0, []
for path in sorted(glob.glob(os.path.join(logs, "*"))):
    procs += 1
    text = re.sub(r"(?m)^==\d+== ?", "", open(path, errors="replace").read())
    for record in re.split(r"\n\s*\n", text):
        ours = "_machine_utils" in record
        # A block allocated while an import that the module asked for ran is
        # the imported module's (3.13 does not free much of what imported
        # modules hold at exit); every other block below a module frame counts.
        own_leak = ours and "PyImport_ImportModuleLevelObject" not in record.split("_machine_utils", 1)[0]
        leak = re.search(r"^(?:Direct|Indirect) leak of (\d+) byte|^([\d,]+) bytes in [\d,]+ blocks are definitely lost",
                         record.strip(), re.M)
        if leak:
            leaks += 1
            if own_leak:
                module_leaks += 1
                module_bytes += int((leak.group(1) or leak.group(2)).replace(",", ""))
                problems.append(record.strip())
        elif re.search(r"ERROR: AddressSanitizer|runtime error:", record) or (
                ours and re.search(r"^(Invalid|Conditional jump|Use of uninitialised|Mismatched|Syscall param|Source and destination)", record.strip(), re.M)):
            errors += 1
            problems.append(record.strip())
what = "leak records (definitely lost)" if kind == "valgrind" else "leak records"
print(f"[{kind}] {procs} process logs; {leaks} {what} in all, {module_leaks} made by _machine_utils "
      f"({module_bytes} bytes); {errors} error reports")
for p in problems[:20]:
    print(p[:3000], end="\n\n")
sys.exit(1 if problems else 0)
PY
}

check_asan() {
  local ver=$1 dir="$ROOT/.venv-asan-$1" logs rc=0; shift
  asan_setup "$ver" "$dir"
  logs="$(mktemp -d "${TMPDIR:-/tmp}/tamsel-asan.XXXXXX")"
  log "CPython $ver: test suite against the ASan+UBSan build (logs in $logs)"
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
    "$dir/bin/python" "$dir/bin/pytest" -q -p no:cacheprovider "${DEEP_DESELECT[@]}" "$@" 8>&- || rc=$?
  scan_logs asan "$logs" || rc=1
  return "$rc"
}

check_valgrind() {
  local ver=$1 dir="$ROOT/.venv-deep-$1" logs rc=0; shift
  ensure_valgrind
  deep_venv "$dir" "$ver" 9
  "$dir/bin/python" -c 'import pytest' >/dev/null 2>&1 || "$dir/bin/python" -m pip install -q pytest
  install_project "$dir" 'import tamsel.utils._machine_utils'
  logs="$(mktemp -d "${TMPDIR:-/tmp}/tamsel-valgrind.XXXXXX")"
  log "CPython $ver: test suite under valgrind memcheck, child processes included (logs in $logs)"
  # Programs other than the interpreter that tests start (compilers, sort, ...)
  # are not traced; the robustness tests run a tenth of their loops and sweep
  # every tenth allocation (TAMSEL_TEST_SCALE): about 8 minutes on 2 cores.
  env PYTHONMALLOC=malloc TAMSEL_TEST_SCALE="${TAMSEL_TEST_SCALE:-0.1}" \
    valgrind -q --tool=memcheck --leak-check=full --show-leak-kinds=definite \
    --errors-for-leak-kinds=definite --trace-children=yes --num-callers=40 --log-file="$logs/vg.%p" \
    --trace-children-skip='*/sh,*/bash,*/sort,*/uname,*/ldconfig*,*/cc,*/c++,*/gcc*,*/g++*,*/cc1*,*/collect2,*/ld,*/ld.*,*/as,*/x86_64-linux-gnu-*' \
    "$dir/bin/python" "$dir/bin/pytest" -q -p no:cacheprovider "${DEEP_DESELECT[@]}" "$@" 9>&- || rc=$?
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
    # Run from outside the repo in isolated mode, so that nothing but the
    # installed package can be imported.
    cd "${TMPDIR:-/tmp}"
    "$VPY" -I -c 'from tamsel.utils._machine_utils import get_machine_id; print(get_machine_id())' 9>&-
    ;;
  test)
    ensure_compiler
    [ -f src/tamsel/utils/_machine_utils.cpp ] || die "src/tamsel/utils/_machine_utils.cpp does not exist yet"
    find_pythons
    ensure_nox
    # Each session fails on a failed build, failed tests or no tests at all
    # (pytest's exit status 5); nox goes on with the next and fails at the end.
    mapfile -t S < <(sessions tests)
    run_nox "${S[@]}" -- "$@" || die "the tests failed on at least one interpreter (see the summary above)"
    log "the tests passed on CPython ${SELECTED[*]}"
    ;;
  wheels)
    ensure_compiler
    find_pythons
    ensure_nox
    # One repaired wheel per interpreter, then the sdist and twine check of
    # all of them, with the newest interpreter found.
    mapfile -t S < <(sessions wheels)
    rc=0
    run_nox "${S[@]}" "dist-${FOUND[${#FOUND[@]}-1]}" || rc=$?
    ls -l "$ROOT"/wheelhouse/*.whl "$ROOT"/dist/*.tar.gz 2>/dev/null | sed 's/^/[dev.sh]   /' >&2 || true
    [ "$rc" -eq 0 ] || die "building or checking a wheel failed (see the summary above)"
    ;;
  check-deep)
    # TAMSEL_DEEP=asan or valgrind runs one of the two; ARGS go to pytest.
    ensure_compiler
    rc=0
    for ver in ${TAMSEL_DEEP_PYTHONS:-3.9 3.13}; do
      if ! find_python "$ver" >/dev/null; then
        [ "$ver" = 3.9 ] && die "CPython 3.9 not found"
        log "skipping CPython $ver: not found"
        continue
      fi
      [ "${TAMSEL_DEEP:-all}" = valgrind ] || check_asan "$ver" "$@" || rc=1
      [ "${TAMSEL_DEEP:-all}" = asan ] || check_valgrind "$ver" "$@" || rc=1
    done
    exit "$rc"
    ;;
  bench)
    ensure_compiler
    ensure_valgrind
    find_pythons
    ensure_nox
    mapfile -t S < <(sessions bench)
    run_nox "${S[@]}" || die "the benchmark environment could not be made for at least one interpreter"
    V=()
    for v in "${SELECTED[@]}"; do V+=(--venv "$NOXDIR/bench-${v/./-}"); done
    # From outside the repo, so that only the installed `tamsel` can be imported.
    cd "${TMPDIR:-/tmp}"
    "$TOOLS/bin/python" "$ROOT/bench/run_all.py" "${V[@]}" --strict "$@" 7>&-
    ;;
  nox)
    # Any nox command line, with the interpreters found on PATH, e.g.
    # bash scripts/dev.sh nox -s tests_editable
    find_pythons
    ensure_nox
    PATH="$PYDIR:$PATH" exec "$TOOLS/bin/nox" --noxfile "$ROOT/noxfile.py" --envdir "$NOXDIR" "$@"
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
