#!/usr/bin/env bash
# shellcheck disable=SC2016 # apt, dpkg-query and the root's shell expand what is quoted for them
# Proves the armhf Debian packages on a real armhf Debian userland: a fresh armhf Debian root, run
# through qemu-arm, gets the packages with apt (every dependency from the archive), runs the tool's
# operations against the root's own libraries, compares what each writes and its exit status with
# scripts/armhf-root-check.expected, then purges the packages and checks that nothing of ours is
# left. The root is made once with debootstrap and kept as a pristine tarball; each run unpacks it
# afresh into a temporary folder that is unmounted and removed on every way out.
# Usage: armhf-root-check.sh [DEB_DIR]
#   DEB_DIR holds the armhf .deb files (default: build/armhf-release/packages, where CI's armhf
#   package check leaves them; made with the armhf-release preset and that check when it holds none).
# Settings: VEXODL_ARMHF_ROOT_CACHE, the folder of cached roots (default build/armhf-root-cache).
# Needs root, debootstrap, qemu-arm registered with binfmt_misc (scripts/register-qemu-arm.sh) and
# the Debian archive. Exit status: 0 every step passed, 1 a step failed, 2 cannot run here.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
release=bookworm
debs=${1:-$source_dir/build/armhf-release/packages}
cache_dir=${VEXODL_ARMHF_ROOT_CACHE:-$source_dir/build/armhf-root-cache}
cache=$cache_dir/$release.tar
expected=$source_dir/scripts/armhf-root-check.expected
actual=$cache_dir/armhf-root-check.actual
binfmt=/proc/sys/fs/binfmt_misc/qemu-arm

say() { echo "armhf-root-check: $*" >&2; }
((EUID == 0)) || { say "needs root (debootstrap, chroot, mount)"; exit 2; }
command -v debootstrap > /dev/null || { say "needs debootstrap (install-deps.sh armhf)"; exit 2; }
bash "$source_dir/scripts/register-qemu-arm.sh" > /dev/null || exit 2
interpreter=$(sed -n 's/^interpreter //p' "$binfmt")

work=$(mktemp -d "${TMPDIR:-/var/tmp}/vexodl-armroot-XXXXXX")
root=$work/root

# Unmounts everything below the folder, deepest first, and removes it only when nothing is left
# mounted there: a bind mount of /dev that stayed would otherwise take the machine's nodes with it.
unmount_all() {
  local mounts
  mapfile -t mounts < <(awk -v top="$work/" 'index($5, top) == 1 {print $5}' /proc/self/mountinfo |
    sort -r)
  for mount in "${mounts[@]}"; do
    umount "$mount" 2> /dev/null || umount -l "$mount" || true
  done
}
stage="making the root ready" summarised=0
cleanup() {
  local code=$?
  if ((code != 0 && !summarised)); then
    echo "armhf root check: stopped while $stage (exit status $code)"
    ((code == 130)) || code=1
  fi
  unmount_all
  if awk -v top="$work/" 'index($5, top) == 1 {found = 1} END {exit !found}' /proc/self/mountinfo; then
    say "left $work in place: something is still mounted below it"
  else
    rm -rf --one-file-system "$work"
  fi
  exit "$code"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

mount_root() {
  mount -t proc proc "$1/proc"
  mount --rbind /dev "$1/dev"
  mount --make-rslave "$1/dev"
  mount -t tmpfs -o mode=1777 tmpfs "$1/tmp"
}

# The kernel opens a binfmt interpreter registered without the F flag by its path inside the
# chroot, and Debian's qemu-arm there would need the build machine's loader: a static qemu-arm of
# the same release goes at that path instead, unpacked once from the archive's qemu-user-static
# (installing that package would replace the machine's qemu-user-binfmt registration).
static_qemu() {
  local binary=$cache_dir/qemu-arm-static
  if [[ -x /usr/bin/qemu-arm-static ]]; then
    binary=/usr/bin/qemu-arm-static
  elif [[ ! -x $binary ]]; then
    mkdir -p "$work/qemu"
    (cd "$work/qemu" && apt-get download -q -o APT::Sandbox::User=root qemu-user-static)
    dpkg-deb --fsys-tarfile "$work"/qemu/qemu-user-static_*.deb |
      tar -x -O ./usr/bin/qemu-arm-static > "$binary.part"
    chmod 755 "$binary.part" && mv "$binary.part" "$binary"
  fi
  install -D -m 755 "$binary" "$1$interpreter"
}

# The same Debian mirror as the build machine's apt sources.
mirror=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 'Created-By: Packages' |
  awk -v r="$release" '$2 == r {print $1; exit}')
[[ -n $mirror ]] || { say "the apt sources here name no mirror for $release"; exit 2; }

mkdir -p "$cache_dir"
rm -f "$actual"
started=$SECONDS
exec {lock}> "$cache_dir/.lock"
flock "$lock"
if [[ ! -f $cache ]]; then
  say "making the armhf $release root from $mirror (once; kept as $cache)"
  debootstrap --arch=armhf --foreign --variant=minbase "$release" "$root" "$mirror" > "$work/debootstrap.log"
  static_qemu "$root"
  mount_root "$root"
  chroot "$root" /debootstrap/debootstrap --second-stage >> "$work/debootstrap.log" ||
    { tail -n 20 "$work/debootstrap.log" >&2; exit 1; }
  unmount_all
  rm -f "$root$interpreter"
  tar --numeric-owner -C "$root" -cf "$cache.part" .
  mv "$cache.part" "$cache"
  rm -rf --one-file-system "$root"
fi
flock -u "$lock"
mkdir "$root"
tar --numeric-owner -C "$root" -xf "$cache"
static_qemu "$root"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount_root "$root"

in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 HOME=/root "$@"; }
version=$(in_root sh -c '. /etc/os-release && echo "$NAME $VERSION_ID"')
version="${version/ GNU\/Linux/} $(in_root dpkg --print-architecture) ($release)"

if ! compgen -G "$debs/*_armhf.deb" > /dev/null; then
  stage="building the packages"
  say "no armhf packages in $debs: building them with the armhf-release preset"
  (cd "$source_dir" && bash scripts/armhf-sysroot.sh && cmake --workflow --preset armhf-release &&
    tests/install/check_packages.sh build/armhf-release armhf arm-linux-gnueabihf "$debs") > /dev/null
fi
debs_found=("$debs"/*_armhf.deb)
ours=() in_root_debs=()
for deb in "${debs_found[@]}"; do
  ours+=("$(dpkg-deb --field "$deb" Package)")
  in_root_debs+=("/root/debs/${deb##*/}")
done

steps=0 passed=0 failed=()
step() { # NAME OK
  steps=$((steps + 1))
  if [[ $2 == 0 ]]; then passed=$((passed + 1)); else failed+=("$1"); fi
}
step "root ($((SECONDS - started))s to make ready)" 0

# The packages, with apt, every dependency from the archive.
status() { in_root dpkg-query -W -f '${Package} ${db:Status-Abbrev}\n' | sort; }
before=$(status)
# Which of our packages' paths the bare root already has (/usr, /usr/bin, ...): those may stay.
mapfile -t our_paths < <(for deb in "${debs_found[@]}"; do
  dpkg-deb --fsys-tarfile "$deb" | tar -t | sed 's|^\./|/|; s|/$||; /^$/d'
done | sort -u)
new_paths=()
for path in "${our_paths[@]}"; do
  [[ -e $root$path || -L $root$path ]] || new_paths+=("$path")
done
mkdir "$root/root/debs"
cp "${debs_found[@]}" "$root/root/debs/"
ok=0
{ in_root apt-get -q update && in_root env DEBIAN_FRONTEND=noninteractive apt-get -q -y \
  --no-install-recommends install "${in_root_debs[@]}"; } > "$work/apt.log" 2>&1 || ok=1
((ok == 0)) || { tail -n 20 "$work/apt.log" >&2; say "apt could not install ${ours[*]}"; }
step install "$ok"

if ((ok == 0)); then
  # The operations, on a state folder of their own: one shipped plug-in, one the user installed,
  # and a package whose verifier is a /bin/sh script, since the root has no Python.
  state=/root/state
  mkdir -p "$root$state/native/shipped" "$root$state/native/user" "$root/root/sesame"
  cp -R "$source_dir/vexohost/plugins/filedrop" "$root$state/native/shipped/"
  cp -R "$source_dir/vexohost/plugins/openmirror" "$root$state/native/user/"
  cat > "$root/root/sesame/manifest.json" << 'EOF'
{"format": 1, "name": "sesame", "description": "Sesame test host", "version": "1.0",
 "authentication": "yes", "verifier": "verify"}
EOF
  cat > "$root/root/sesame/verify" << 'EOF'
#!/bin/sh
# alice/opensesame is a premium account, anything else is rejected.
request=$(tr -d ' \n')
case $request in
  '{"password":"opensesame","username":"alice"}') echo '{"result": 2}' ;;
  *) echo '{"result": 0}' ;;
esac
EOF
  chmod 755 "$root/root/sesame/verify"
  tar -C "$root/root" -czf "$root/root/sesame.tar.gz" sesame

  : > "$actual"
  op=0
  # run [INPUT] -- ARGS: one block of the transcript: the command, its standard output, its
  # standard error (each line "stderr: "), its exit status; then compared with the expected block.
  run() {
    local input='' code=0 block
    if [[ $1 != -- ]]; then input=$1; shift; fi
    shift
    op=$((op + 1))
    if [[ -n $input ]]; then
      block="\$ printf '$input\\n' | vexodl-filehosting $*"$'\n'
    else
      block="\$ vexodl-filehosting $*"$'\n'
    fi
    in_root env VEXODL_VEXOHOST_STATE_DIR=$state/native VEXODL_PYLOAD_SOCKET=$state/pyload.sock \
      VEXODL_PYLOAD_CLI=$state/no-pyload-cli vexodl-filehosting "$@" <<< "$input" \
      > "$work/out" 2> "$work/err" || code=$?
    block+=$(cat "$work/out"; sed 's/^/stderr: /' "$work/err"; echo "exit $code")
    printf '%s\n' "$block" >> "$actual"
    local want
    want=$(awk -v n="$op" '/^\$ /{k++} k == n' "$expected")
    if [[ $block == "$want" ]]; then
      step "$op:$1" 0
    else
      say "$* differs from the expected text:"
      diff -u --label expected --label actual <(printf '%s\n' "$want") <(printf '%s\n' "$block") >&2 || true
      step "$op:$1" 1
    fi
  }
  run -- list
  # The shipped plug-in's verifier needs Python, which the root lacks: the error says why.
  run secret -- verify filedrop --type vexo --username alice --password-stdin
  run -- install /root/sesame.tar.gz
  run opensesame -- set sesame --type vexo --username alice --password-stdin --enable
  run opensesame -- verify sesame --type vexo --username alice --password-stdin
  run wrong -- verify sesame --type vexo --username alice --password-stdin
  run -- get sesame --type vexo
  run -- delete sesame
  run -- get sesame --type vexo
  [[ $(awk '/^\$ /{k++} END {print k}' "$expected") == "$op" ]] ||
    { say "$expected holds another number of commands than the $op run"; step transcript 1; }
  rm -rf "${root:?}$state"
else
  step "the tool's commands (not run)" 1
fi

# Purge: our packages and what apt pulled in for them go, and nothing of ours stays behind.
# Only what dpkg knows can be purged: after a failed install, apt would refuse the other names.
ok=0
mapfile -t known < <(in_root dpkg-query -W -f '${Package} ${db:Status-Abbrev}\n' "${ours[@]}" \
  2> /dev/null | awk '$2 != "un" {print $1}' || true)
if ((${#known[@]})); then
  in_root env DEBIAN_FRONTEND=noninteractive apt-get -q -y purge --autoremove "${known[@]}" \
    > "$work/purge.log" 2>&1 || { ok=1; tail -n 20 "$work/purge.log" >&2; }
fi
after=$(status)
if [[ $after != "$before" ]]; then
  say "the packages known to dpkg differ from those before the install:"
  diff <(echo "$before") <(echo "$after") >&2 || true
  ok=1
fi
step purge "$ok"

left=()
for path in "${new_paths[@]}" /var/lib/vexodl "${ours[@]/#//usr/share/doc/}"; do
  [[ -e $root$path || -L $root$path ]] && left+=("$path")
done
((${#left[@]} == 0)) || say "left behind after the purge: ${left[*]}"
step leftovers "${#left[@]}"

summarised=1
if ((${#failed[@]} == 0)); then
  echo "armhf root check: $passed of $steps steps passed on $version"
else
  echo "armhf root check: $passed of $steps steps passed on $version; failed: ${failed[*]}"
  [[ ! -s $actual ]] || echo "armhf root check: the transcript is in $actual"
  exit 1
fi
