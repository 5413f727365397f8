#!/usr/bin/env bash
# Lets the kernel run 32-bit ARM programs through qemu-arm (binfmt_misc), so that ARM test
# programs can start ARM children. Needs root and Debian's qemu-user-binfmt.
# Exit status: 0 registered (or already so), 1 refused by this machine.
set -u
dir=/proc/sys/fs/binfmt_misc
conf=/usr/lib/binfmt.d/qemu-arm.conf

if [[ ! -e "$dir/register" ]]; then
  mount -t binfmt_misc binfmt_misc "$dir" 2>/dev/null || true
fi
if [[ -e "$dir/qemu-arm" ]]; then
  echo "register-qemu-arm: qemu-arm is registered"
  exit 0
fi
if [[ ! -w "$dir/register" || ! -f "$conf" ]]; then
  echo "register-qemu-arm: binfmt_misc is not available here" >&2
  exit 1
fi
if ! cat "$conf" > "$dir/register" 2>/dev/null || [[ ! -e "$dir/qemu-arm" ]]; then
  echo "register-qemu-arm: the kernel refused the qemu-arm registration" >&2
  exit 1
fi
echo "register-qemu-arm: registered $(head -c 60 "$dir/qemu-arm" | tr '\n' ' ')"
