# Runs a command inside a Debian root with chroot, as root:
#
#   unshare --mount --propagation private sh scripts/in-root.sh ROOT REPO [VAR=VALUE...] COMMAND...
#
# mounts /proc, /dev, /sys (read-only), /tmp and the repository REPO (at its own
# path) in ROOT and runs COMMAND in REPO with only the given environment. Under
# unshare the mounts belong to this process's mount namespace and vanish with
# it, even when it is killed; the trap unmounts them all the same.
set -eu
root=$1 repo=$2
shift 2
trap 'set +e; umount -l "$root$repo" "$root/tmp" "$root/proc" "$root/sys" "$root/dev" 2>/dev/null' EXIT
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount --rbind /sys "$root/sys"
mount -o remount,bind,ro "$root/sys"
mount --bind /tmp "$root/tmp"
mkdir -p "$root$repo"
# (A repository under /tmp is there already.)
[ "$root$repo" -ef "$repo" ] || mount --bind "$repo" "$root$repo"
chroot "$root" env -i -C "$repo" "$@"
