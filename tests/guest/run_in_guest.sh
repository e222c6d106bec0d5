#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs a command of this host inside a QEMU guest on Debian's kernel, for what
# this host's own kernel cannot do (run 32-bit x86 code, say). The guest mounts
# this host's root file system read-only over virtio-9p with a tmpfs overlay on
# top and chroots into it, so the command finds every program and file where it
# is here; writes land in the guest's memory, except under SHARED, which is
# shared writable at its own path. The command's output is this script's
# output, and its exit status this script's.
#
#   run_in_guest.sh SHARED -- COMMAND [ARGUMENT...]
#
# The command starts in the current directory, with this environment (TMPDIR
# is the guest's /tmp). One vCPU: with two, the guest spin-waits between them
# whenever the host is busy. PELMORA_GUEST_TIMEOUT (seconds, default 1200)
# bounds the whole run.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
shared=$(cd "${1:?usage: run_in_guest.sh SHARED -- COMMAND...}" && pwd)
shift
[ "${1:-}" = -- ] && shift
[ $# -gt 0 ] || { echo "usage: run_in_guest.sh SHARED -- COMMAND..." >&2; exit 2; }

for tool in qemu-system-x86_64 cpio; do
  command -v "$tool" >/dev/null || { echo "run_in_guest.sh: $tool is not installed" >&2; exit 2; }
done
if [ ! -x /bin/busybox ] || ldd /bin/busybox >/dev/null 2>&1; then
  echo "run_in_guest.sh: the guest needs a static /bin/busybox: install busybox-static" >&2
  exit 2
fi
kernel_dir=$("$here/../e2e/kernel.sh" dir)

# What the guest exchanges with us, in the shared directory.
exchange=$(mktemp -d "$shared/.guest.XXXXXX")
trap 'rm -rf "$exchange" "$root"' EXIT
{
  echo "cd $(printf '%q' "$PWD") || exit 1"
  while IFS= read -r -d '' entry; do
    name=${entry%%=*}
    case "$name" in
    TMPDIR | DISPLAY | WAYLAND_DISPLAY | XDG_RUNTIME_DIR | SSH_* | _ | PWD | OLDPWD | SHLVL) continue ;;
    esac
    [[ "$name" =~ ^[A-Za-z_][A-Za-z0-9_]*$ ]] || continue
    echo "export $name=$(printf '%q' "${entry#*=}")"
  done < <(env -0)
  echo "export TMPDIR=/tmp"
  printf 'exec'
  printf ' %q' "$@"
  echo
} >"$exchange/command.sh"

# The initramfs: busybox, the modules for virtio-9p and the overlay, the init.
root=$(mktemp -d)
mkdir -p "$root/bin" "$root/dev" "$root/proc" "$root/sys"
cp /bin/busybox "$root/bin/busybox"
for applet in $("$root/bin/busybox" --list); do
  [ "$applet" = busybox ] || ln -s busybox "$root/bin/$applet"
done
"$here/../e2e/kernel.sh" modules "$root/modules" virtio_pci 9pnet_virtio 9p overlay
cp "$here/guest_init.sh" "$root/init"
chmod +x "$root/init"
mkdir "$root/run"
printf '%s\n' "$shared" >"$root/run/shared"
printf '%s\n' "${exchange#"$shared"/}" >"$root/run/exchange"
(cd "$root" && find . | cpio -o -H newc --quiet) >"$exchange/initramfs.cpio"

status=0
timeout -s KILL "${PELMORA_GUEST_TIMEOUT:-1200}" qemu-system-x86_64 \
  -accel tcg -machine q35 -cpu qemu64,+rdrand -m 3072 -smp 1 \
  -nographic -nodefaults -no-reboot -serial stdio \
  -kernel "$kernel_dir/vmlinux" -initrd "$exchange/initramfs.cpio" \
  -append "console=ttyS0 quiet loglevel=0 panic=-1" \
  -fsdev local,id=hostroot,path=/,security_model=none,readonly=on,multidevs=remap \
  -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot \
  -fsdev "local,id=shared,path=$shared,security_model=none,multidevs=remap" \
  -device virtio-9p-pci,fsdev=shared,mount_tag=shared \
  </dev/null 2>"$exchange/qemu.err" | tr -d '\r' | sed -u '1,/^guest: started$/d' || status=$?

if [ -f "$exchange/status" ]; then
  exit "$(cat "$exchange/status")"
fi
echo "run_in_guest.sh: the guest ended without running the command to its end" \
  "(QEMU status $status) $(head -c 500 "$exchange/qemu.err")" >&2
exit 2
