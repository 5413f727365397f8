#!/usr/bin/env bash
# Installs the packages of a build tree into a fresh Debian 12 root as a user would, with apt from
# the archive: runs the tool there on the sample plug-ins, updates one from a signed mirror with
# the key that the administrator puts into the packaged keys file, and compares what it says with
# deb_root.expected, builds the consumer program against the -dev package with find_package and
# with pkg-config, then purges every package and what apt pulled in for them, and checks that the
# root's file tree (paths, owners, modes) is as before, apart from dpkg's and apt's own state.
# The pristine root (debootstrap --variant=minbase) and apt's downloads are kept in CACHE_DIR, per
# release, so that the next run reuses them. INDEX_TOOL (vexohost-index-tool of the build) signs
# the mirror. As root: chroot, mounts.
# Usage: deb_root_test.sh PACKAGES_DIR WORKDIR CACHE_DIR INDEX_TOOL
set -euo pipefail
packages=$1 work=$2 cache=$3 index_tool=$4
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
release=bookworm
mirror=http://deb.debian.org/debian
[[ $(id -u) == 0 ]] || { echo "deb_root_test: needs root (debootstrap, chroot)" >&2; exit 77; }

mkdir -p "$work" "$cache/archives-$release"
work=$(cd "$work" && pwd) cache=$(cd "$cache" && pwd) packages=$(cd "$packages" && pwd)
root=$work/root
# The root has /dev of its own (debootstrap makes the nodes); only /proc is mounted, and taken
# away on every way out, and before the root of an earlier run is removed.
unmount_proc() { if mountpoint -q "$root/proc"; then umount -l "$root/proc"; fi; }
trap unmount_proc EXIT
trap 'exit 130' INT TERM HUP
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 \
  DEBIAN_FRONTEND=noninteractive "$@"; }
# apt_in_root ARGS: apt-get in the root; its output goes to apt.log, and its end to standard error
# when it fails.
apt_in_root() {
  in_root apt-get -q -o Dpkg::Use-Pty=0 -o Dpkg::Options::=--force-unsafe-io "$@" \
    >> "$work/apt.log" 2>&1 ||
    { tail -n 20 "$work/apt.log" >&2; return 1; }
}

# The pristine root, made once per release.
tarball=$cache/root-$release.tar
if [[ ! -f $tarball ]]; then
  rm -rf "$work/debootstrap"
  debootstrap --variant=minbase --cache-dir="$cache/archives-$release" "$release" \
    "$work/debootstrap" "$mirror" > "$work/debootstrap.log"
  tar -C "$work/debootstrap" --numeric-owner -cf "$tarball.tmp" .
  mv "$tarball.tmp" "$tarball"
  rm -rf "$work/debootstrap"
fi
unmount_proc
rm -rf --one-file-system "$root" && mkdir -p "$root"
tar -C "$root" --numeric-owner -xpf "$tarball"
mount -t proc proc "$root/proc"
cp /etc/resolv.conf "$root/etc/resolv.conf"

# The root's file tree, leaving out dpkg's and apt's own state, logs and caches, what the kernel
# provides, and the backups of the user database that useradd and userdel leave (the users are
# checked on their own).
tree() {
  (cd "$root" && find . \( -path ./proc -o -path ./sys -o -path ./var/lib/dpkg \
    -o -path ./var/lib/apt -o -path ./var/cache -o -path ./var/log -o -path ./etc/passwd- \
    -o -path ./etc/group- -o -path ./etc/shadow- -o -path ./etc/gshadow- \) -prune -o \
    -printf '%p %y %u:%g %m\n' | LC_ALL=C sort)
}
tree > "$work/before.tree"

# Our packages, with what they need from the archive.
cp "$cache/archives-$release"/*.deb "$root/var/cache/apt/archives/" 2> /dev/null || true
mkdir -p "$root/tmp/debs"
cp "$packages"/*.deb "$root/tmp/debs/"
ours=() debs=()
for deb in "$root"/tmp/debs/*.deb; do
  ours+=("$(dpkg-deb --field "$deb" Package)") debs+=("/tmp/debs/${deb##*/}")
done
rm -f "$work/apt.log"
apt_in_root update
apt_in_root install -y --no-install-recommends "${debs[@]}"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
state_mode=$(stat -c '%U:%G %a' "$root/var/lib/vexodl/filehosts")
[[ $state_mode == "root:root 700" ]] || fail "/var/lib/vexodl/filehosts is $state_mode"
# Verifiers run as a system user of their own: no shell, no home, no group but its own.
verifier=$(in_root getent passwd vexodl-verify || true)
if ! [[ $verifier =~ ^vexodl-verify:x:([0-9]+):[0-9]+:[^:]*:/nonexistent:/usr/sbin/nologin$ ]] ||
  ((BASH_REMATCH[1] >= 1000)); then
  fail "the verifiers' user is '$verifier'"
fi
groups=$(in_root id -Gn vexodl-verify || true)
[[ $groups == vexodl-verify ]] || fail "the verifiers' user is in the groups '$groups'"

# The tool, as the demo sets it up (scripts/demo.sh), without pyLoad, and a plug-in whose verifier
# calls an account premium only when it runs as the package's user (the minimal root has no
# python3 for the sample verifiers).
mkdir -p "$root/tmp/state/native/shipped" "$root/tmp/state/native/user/whoami"
cp -R "$source_dir"/vexohost/plugins/{filedrop,cloudvault,youtube} "$root/tmp/state/native/shipped/"
cp -R "$source_dir/vexohost/plugins/openmirror" "$root/tmp/state/native/user/"
echo '{"format": 1, "name": "whoami", "description": "", "version": "1", "authentication": "yes",
  "verifier": "verify"}' > "$root/tmp/state/native/user/whoami/manifest.json"
cat > "$root/tmp/state/native/user/whoami/verify" << 'EOF'
#!/bin/sh
if [ "$(id -un)" = vexodl-verify ]; then echo '{"result": 2}'; else echo '{"result": 0}'; fi
EOF
chmod 0755 "$root/tmp/state/native/user/whoami/verify"
# The mirror: openmirror 1.0, in an index signed with a key of this run.
mirror=$root/tmp/mirror
mkdir -p "$mirror/openmirror"
sed 's/"0.9.2"/"1.0"/' "$source_dir/vexohost/plugins/openmirror/manifest.json" \
  > "$mirror/openmirror/manifest.json"
tar -C "$mirror" -czf "$mirror/openmirror-1.0.tar.gz" openmirror
rm -rf "$mirror/openmirror" "$work/secret.key"
key=$("$index_tool" keygen "$work/secret.key")
(cd "$mirror" && "$index_tool" index 1 30 openmirror=openmirror-1.0.tar.gz:1.0 > index.json)
"$index_tool" sign "$work/secret.key" "$mirror/index.json"
keys=/etc/vexodl/update-keys
# show LABEL COMMAND...: runs the command in the root, standard input from the file $input or
# /dev/null, and writes LABEL, its output, its standard error and its exit status.
show() {
  local status=0 label=$1
  shift
  in_root "$@" > "$work/out" 2> "$work/err" < "${input:-/dev/null}" || status=$?
  printf '$ %s\n' "$label"
  cat "$work/out"
  echo "[standard error]"
  cat "$work/err"
  echo "[exit status $status]"
}
# The tool's environment in the root: the demo's native state directory, without pyLoad.
native=(env VEXODL_VEXOHOST_STATE_DIR=/tmp/state/native VEXODL_PYLOAD_SOCKET=/tmp/state/pyload.sock
  VEXODL_PYLOAD_CLI=/tmp/state/no-pyload)
transcript() {
  local args
  for args in --version list; do
    # shellcheck disable=SC2086
    show "vexodl-filehosting $args" "${native[@]}" vexodl-filehosting $args
  done
  # filedrop's verifier runs Python through env, which the root lacks: the service says how the
  # run ended, and the tool's line gives that cause, taken from the log of the installed,
  # hardened build. As root, a verifier runs as the package's user, vexodl-verify: whoami's says
  # premium only then.
  local account verify
  printf 'secret\n' > "$work/password"
  for account in filedrop:alice whoami:me; do
    verify=(vexodl-filehosting verify "${account%:*}" --type vexo --username "${account#*:}"
      --password-stdin)
    input=$work/password show "printf 'secret\\n' | ${verify[*]}" "${native[@]}" "${verify[@]}"
  done
  # A user who may not read the package's state directory (root's, mode 0700), without pyLoad.
  local user=(setpriv --reuid 4242 --regid 4242 --clear-groups vexodl-filehosting list)
  show "${user[*]}" "${user[@]}"
  # Updates from the mirror: refused while the packaged keys file holds comments alone; with the
  # mirror's key added, openmirror is updated, then up to date; refused again, naming the file and
  # the fix, while the file is group-writable. Reinstalled, the package keeps the administrator's
  # file, key and all (it is a conffile; purged, it goes, as the tree compared below shows).
  local update=(vexodl-filehosting update openmirror)
  updating() {
    show "${update[*]}" "${native[@]}" VEXODL_VEXOHOST_UPDATE_MIRROR=file:///tmp/mirror/ \
      "${update[@]}"
  }
  updating
  printf '%s\n' "$key" >> "$root$keys"
  echo "# the mirror's key added to $keys"
  updating
  updating
  show "chmod g+w $keys" chmod g+w "$keys"
  updating
  show "chmod g-w $keys" chmod g-w "$keys"
  cp "$root$keys" "$work/update-keys"
  local service=("$root"/tmp/debs/libvexodlvexohost1_*.deb)
  apt_in_root install -y --reinstall "/tmp/debs/${service##*/}"
  echo "# libvexodlvexohost1 reinstalled"
  cmp "$work/update-keys" "$root$keys" || fail "reinstalled, libvexodlvexohost1 replaced $keys"
  updating
}
transcript > "$work/transcript"
diff -u "$here/deb_root.expected" "$work/transcript" || fail "the tool's output differs (above)"

# The consumer, against the -dev package, with what a developer would install.
apt_in_root install -y --no-install-recommends g++ cmake ninja-build pkg-config
mkdir -p "$root/tmp/consumer-src"
cp -R "$here/consumer" "$here/consumer_test.sh" "$root/tmp/consumer-src/"
multiarch=$(in_root gcc -print-multiarch)
for mode in find_package pkg-config; do
  in_root /tmp/consumer-src/consumer_test.sh "$mode" /usr "lib/$multiarch" "/usr/lib/$multiarch" \
    "/tmp/consumer-$mode" g++ || fail "consumer ($mode)"
done

# Purge: the files the native service writes into its state directory go with the package.
rm -rf "$root"/tmp/{state,mirror,debs,consumer-src,consumer-find_package,consumer-pkg-config}
touch "$root"/var/lib/vexodl/filehosts/{accounts.db,lock,lock.gate}
mkdir "$root/var/lib/vexodl/filehosts/user"
apt_in_root purge -y --autoremove "${ours[@]}" g++ cmake ninja-build pkg-config
cp -n "$root"/var/cache/apt/archives/*.deb "$cache/archives-$release/" 2> /dev/null || true
# shellcheck disable=SC2016
left=$(in_root dpkg-query -W -f '${db:Status-Abbrev}${Package}\n' | grep -v '^ii ' || true)
[[ -z $left ]] || fail "packages left behind: $left"
if in_root getent passwd vexodl-verify || in_root getent group vexodl-verify; then
  fail "the verifiers' user or group is left (above)"
fi
tree > "$work/after.tree"
diff -u "$work/before.tree" "$work/after.tree" || fail "the root's file tree changed (above)"

((failures == 0)) || exit 1
echo "deb root: ${#ours[@]} packages installed, tool and consumer checked, purged without a trace"
