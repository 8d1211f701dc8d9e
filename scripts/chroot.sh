# shellcheck shell=bash
# Shared chroot helpers for package-check and test-release; source it after setup.sh, with ROOT
# set to the chroot's directory and log/fail defined.
#
#   host_mirror              the Debian archive this machine installs its own release from
#   make_base DIR SUITE      debootstrap --variant=minbase SUITE into DIR unless DIR holds one
#   mount_root_on_itself     bind ROOT onto itself, unmounted on exit; call it before mount_in_root
#   mount_in_root TARGET ARGS...  mount (ARGS as for mount) on ROOT/TARGET, unmounted on exit
#   unmount_all              unmount, innermost first, what the two above mounted
#   unmount_stale            unmount what a killed run left mounted below ROOT
#   remove_root              delete ROOT, refusing while anything is mounted below it
#   in_root COMMAND...       run COMMAND in ROOT as root with a clean environment

# The Debian archive this machine installs its own release from, so that the chroot uses the same
# one (it carries the other releases too); empty lets debootstrap choose.
host_mirror() {
    local file suite
    suite=$(. /etc/os-release && printf '%s' "${VERSION_CODENAME:-}")
    [[ -n $suite ]] || return 0
    for file in /etc/apt/sources.list.d/*.sources; do
        [[ -f $file ]] || continue
        awk -v suite="$suite" '
            /^$/ { if (uri && ok) { print uri; exit } uri = ""; ok = 0 }
            /^URIs:/ { uri = $2 }
            /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == suite) ok = 1 }
            END { if (uri && ok) print uri }' "$file" | head -n 1
    done | head -n 1
    [[ -f /etc/apt/sources.list ]] \
        && awk -v suite="$suite" '$1 == "deb" && $3 == suite { print $2; exit }' /etc/apt/sources.list
}

make_base() {
    local dir=$1 suite=$2 mirror
    [[ -x $dir/usr/bin/apt-get ]] && return 0
    log "making a bare $suite in $dir (debootstrap --variant=minbase)"
    rm -rf "$dir.partial"
    mkdir -p "$(dirname "$dir")"
    mirror=$(host_mirror | head -n 1 || true)
    debootstrap --variant=minbase "$suite" "$dir.partial" ${mirror:+"$mirror"}
    rm -rf "$dir"
    mv "$dir.partial" "$dir"
}

mounts=()
unmount_all() {
    local i
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
        umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}" || true
    done
    mounts=()
}
trap unmount_all EXIT

# In a chroot the kernel refuses user namespaces to everyone, root included, so bwrap (which
# device-check runs the device library under) has only its other namespaces there, and those only
# when the chroot's root is a mount point: bwrap first makes / a slave mount. A bind mount of ROOT
# onto itself makes it one; the other mounts go on top of it, or it would hide them.
mount_root_on_itself() {
    mount --bind "$ROOT" "$ROOT"
    mounts+=("$ROOT")
}

mount_in_root() { # mount_in_root TARGET MOUNT-ARGUMENTS...
    local target=$ROOT$1
    shift
    mkdir -p "$target"
    mount "$@" "$target"
    mounts+=("$target")
}

# Prints the mount points at or below ROOT, innermost first.
mounts_below_root() {
    awk -v root="$ROOT" '$2 == root || index($2, root "/") == 1 { print $2 }' /proc/self/mounts \
        | sort -r
}

unmount_stale() {
    local target
    while IFS= read -r target; do
        log "unmounting $target, left by an earlier run"
        umount "$target" 2>/dev/null || umount -l "$target"
    done < <(mounts_below_root)
}

# Nothing may be mounted below the chroot when it is deleted: that would delete the host's files.
remove_root() {
    [[ -e $ROOT ]] || return 0
    if [[ -n $(mounts_below_root) ]]; then
        fail "$ROOT still has file systems mounted below it; unmount them first"
    fi
    rm -rf "$ROOT"
}

in_root() { chroot "$ROOT" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
    DEBIAN_FRONTEND=noninteractive LANG=C.UTF-8 HOME=/root "$@"; }
