#!/usr/bin/env bash
# Bootstrap: installs what nox cannot (g++, nox itself) and hands over to nox.
#
#   bash scripts/dev.sh run           build and install the project, print get_machine_id()
#                                     (nox -s run; add -P 3.12 for another interpreter)
#   bash scripts/dev.sh test [ARGS]   the tests on every interpreter here or to be made, then
#                                     lint and cross (nox's default sessions; ARGS go to pytest).
#                                     As root the first run makes the Debian root (3.14, 3.15)
#                                     and builds 3.14t and 3.15t (about 1 GB in /var/cache/tamsel,
#                                     up to about 50 minutes); else nox names what it leaves out.
#                                     Fails when CPython 3.9 is missing or any build or run fails;
#                                     with CI=true all nine interpreters are required.
#   bash scripts/dev.sh NOX-ARGS      nox itself, e.g. -l, -s tests-3.12, -t bench, -s asan-3.9
#
# nox lives in .nox/_tools (`.nox/_tools/bin/nox -l` works once this ran).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

log() { printf '[dev.sh] %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

apt_install() {
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  command -v apt-get >/dev/null || die "$* missing, and no apt-get to install it with"
  log "installing $* with apt-get"
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

command -v g++ >/dev/null || apt_install g++

# nox, as noxfile.py's script header asks for it, in a venv of the newest python3.
TOOLS=.nox/_tools
REQ="$(sed -n 's/^# dependencies = \["\(.*\)"\]$/\1/p' noxfile.py)"
mkdir -p .nox
exec 9>.nox/_tools.lock
flock 9
if [ "$(cat "$TOOLS/.requirement" 2>/dev/null)" != "$REQ" ] || ! "$TOOLS/bin/nox" --version >/dev/null 2>&1; then
  for py in python3.13 python3.12 python3.11 python3.10 python3.9 python3; do
    "$py" -c 'import sys, venv; assert sys.version_info >= (3, 9)' 2>/dev/null && break
  done || apt_install python3-venv
  log "installing $REQ into $TOOLS with $("$py" -V)"
  "$py" -m venv --clear "$TOOLS" && "$TOOLS/bin/python" -m pip install -q "$REQ" || die "could not install $REQ"
  printf '%s\n' "$REQ" >"$TOOLS/.requirement"
fi
exec 9>&-

case "${1:-}" in
  run) shift; exec "$TOOLS/bin/nox" -s run "$@" ;;
  test)
    shift
    # The Debian root is mostly downloads: it is made while the first interpreters are tested.
    if "$TOOLS/bin/python" scripts/provision.py find 3.14 3.15 | grep -q debian-root; then
      log "making the Debian root in the background (log: .nox/debian-root.log)"
      "$TOOLS/bin/python" scripts/provision.py root >.nox/debian-root.log 2>&1 &
    fi
    exec "$TOOLS/bin/nox" -- "$@" ;;
  "" | -h | --help | help) sed -n '2,15s/^# \{0,1\}//p' "$0" >&2 ;;
  *) exec "$TOOLS/bin/nox" "$@" ;;
esac
