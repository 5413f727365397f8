#!/usr/bin/env bash
# The demo: vexodl-filehosting over both back-ends, in a temporary state that is removed again.
# The pyLoad peer serves sample accounts on a socket in that state, and the native service works
# on a state directory holding the sample plug-ins of vexohost/plugins/. Nothing outside the
# temporary directory is read or written, and the peer is stopped on every way out. What it prints
# on standard output is README's tour, word for word (tests/e2e/cli_test.cpp holds them together);
# where its state is, on standard error.
# Usage: demo.sh [BUILD_DIR]   (default: build/release)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
tool=$build/cli/vexodl-filehosting
peer=$root/pyload/peer/pyload-peer
if [[ ! -x $tool ]]; then
  echo "demo: $tool is not built; run: cmake --workflow --preset release" >&2
  exit 2
fi

state=$(mktemp -d "${TMPDIR:-/tmp}/vexodl-demo-XXXXXX")
peer_pid=
stop() {
  if [[ -n $peer_pid ]]; then
    kill "$peer_pid" 2>/dev/null || true
    wait "$peer_pid" 2>/dev/null || true
  fi
  rm -rf "$state"
}
trap stop EXIT
trap 'exit 130' INT TERM HUP

# Native hosts: three shipped plug-ins (youtube is never listed) and one the user installed.
mkdir -p "$state/native/shipped" "$state/native/user" "$state/pyload"
cp -R "$root"/vexohost/plugins/{filedrop,cloudvault,youtube} "$state/native/shipped/"
cp -R "$root/vexohost/plugins/openmirror" "$state/native/user/"

# pyLoad's account plug-ins; "logins" is what each file host would accept.
cat > "$state/pyload/accounts.json" <<'EOF'
{
  "plugins": {
    "Uploaded": {"version": "0.7", "logins": {
        "me": {"password": "secret", "premium": true, "trafficleft": "1048576"}}},
    "Rapidgator": {"version": "1.2", "logins": {"demo": {"password": "demo"}}},
    "Zippyshare": {"version": "0.2", "can_be_disabled": false, "is_tested": false, "logins": {}}
  },
  "accounts": {
    "Rapidgator": {"login": "demo", "password": "demo", "valid": true, "premium": false,
                   "trafficleft": "", "use_premium": true}
  }
}
EOF

export VEXODL_VEXOHOST_STATE_DIR=$state/native
# Run as root, native verifiers run as this user; the package's own, vexodl-verify, may not exist.
export VEXODL_VEXOHOST_VERIFIER_USER=nobody
export VEXODL_PYLOAD_SOCKET=$state/pyload/pyload.sock
export VEXODL_PYLOAD_STORE=$state/pyload/accounts.json
export VEXODL_PYLOAD_CLI=$peer

"$peer" serve &
peer_pid=$!
for _ in $(seq 100); do
  [[ -S $VEXODL_PYLOAD_SOCKET ]] && break
  kill -0 "$peer_pid" 2>/dev/null || { echo "demo: the pyLoad peer did not start" >&2; exit 1; }
  sleep 0.1
done
[[ -S $VEXODL_PYLOAD_SOCKET ]] || { echo "demo: the pyLoad peer did not open its socket" >&2; exit 1; }

# run [INPUT] -- ARGS: shows the command, runs the tool, and stops the demo if it fails.
run() {
  local input=
  if [[ $1 != -- ]]; then input=$1; shift; fi
  shift
  if [[ -n $input ]]; then
    printf "\n\$ printf '%s\\\\n' | vexodl-filehosting %s\n" "$input" "$*"
    printf '%s\n' "$input" | "$tool" "$@"
  else
    printf '\n$ vexodl-filehosting %s\n' "$*"
    "$tool" "$@" < /dev/null
  fi
}
# refused ARGS: the same for a command that must fail with an error of the library (status 1).
refused() {
  printf '\n$ vexodl-filehosting %s\n' "$*"
  local status=0
  "$tool" "$@" < /dev/null 2>&1 || status=$?
  if ((status != 1)); then
    echo "demo: expected exit status 1, got $status" >&2
    exit 1
  fi
}

echo "Native state: $VEXODL_VEXOHOST_STATE_DIR" >&2
echo "pyLoad peer:  $VEXODL_PYLOAD_SOCKET (store $VEXODL_PYLOAD_STORE)" >&2
run -- list
run secret -- set Uploaded --type pyload --username me --password-stdin --enable
run secret -- verify Uploaded --type pyload --username me --password-stdin
run s3cret -- set filedrop --type vexo --username alice --password-stdin --disable
run -- get filedrop --type vexo
run -- remove-account Rapidgator --type pyload
run -- list
refused delete filedrop
run -- delete openmirror
refused get openmirror --type vexo
echo "demo: done; the peer is stopped and $state removed" >&2
