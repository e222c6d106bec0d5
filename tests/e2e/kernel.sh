#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Debian's kernel for the test suite's QEMU guests, kept in a cache.
#
#   kernel.sh fetch                 downloads and prepares it once; prints its directory
#   kernel.sh dir                   prints its directory; fails when it was never fetched
#   kernel.sh modules DEST NAME...  copies the modules NAME... and those they depend on
#                                   (built-in ones are skipped) into DEST, and lists
#                                   their file names in DEST/load-order, dependencies first
#
# The directory holds vmlinux (an ELF kernel: QEMU starts it through PVH and
# skips seconds of decompression under TCG) and the package's module tree,
# decompressed, with its modules.dep. The cache is $PELMORA_E2E_CACHE
# (default ~/.cache/pelmora-e2e); kernels the distribution no longer points at
# are removed from it.
set -euo pipefail

cache=${PELMORA_E2E_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/pelmora-e2e}
current=$cache/current

die() {
  echo "kernel.sh: $*" >&2
  exit 2
}

kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ { print $2; exit }' || true
}

prepare() { # deb file, kernel directory
  local deb=$1 dir=$2
  rm -rf "$dir" && mkdir -p "$dir/root"
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$dir/root" --wildcards './boot/vmlinuz-*' './lib/modules/*'
  local bzimage
  bzimage=$(ls "$dir"/root/boot/vmlinuz-*)
  # The compressed kernel is the first xz stream in the bzImage; xz stops at
  # its end, so the readers before it may see a closed pipe.
  local offset
  offset=$( (LC_ALL=C grep -obUaP '\xFD7zXZ\x00' "$bzimage" || true) | head -n 1 | cut -d: -f1)
  [ -n "$offset" ] || die "no xz stream in $bzimage"
  { tail -c +$((offset + 1)) "$bzimage" || true; } | xz -dc --single-stream >"$dir/vmlinux"
  head -c 4 "$dir/vmlinux" | grep -q ELF || die "no ELF kernel in $bzimage"
  rm -rf "$dir/root/boot"
  find "$dir/root/lib/modules" -name '*.ko.xz' -exec xz -d {} +
  find "$dir/root/lib/modules" -name '*.ko.zst' -exec zstd -dq --rm {} +
  local version
  version=$(ls "$dir/root/lib/modules")
  depmod -b "$dir/root" "$version"
  echo "$version" >"$dir/version"
  touch "$dir/prepared"
}

download() { # package
  (cd "$cache" && apt-get download -qq "$1" 2>&1 | grep -v '^W: Download is performed unsandboxed' || true)
  ls "$cache"/"$1"_*.deb >/dev/null 2>&1
}

fetch() {
  mkdir -p "$cache"
  local package
  package=$(kernel_package)
  if [ -z "$package" ]; then # package lists never fetched on this machine
    apt-get update -qq || true
    package=$(kernel_package)
  fi
  if [ -z "$package" ]; then
    [ -f "$current/prepared" ] || die "cannot tell which kernel package linux-image-amd64 points at"
    echo "kernel.sh: no package lists; using the cached $(readlink "$current")" >&2
  else
    local deb
    deb=$(ls "$cache"/"$package"_*.deb 2>/dev/null | head -n 1 || true)
    if [ -z "$deb" ]; then
      download "$package" || { apt-get update -qq && download "$package"; } || true # stale lists
      deb=$(ls "$cache"/"$package"_*.deb 2>/dev/null | head -n 1 || true)
      [ -n "$deb" ] || die "apt-get download $package failed"
    fi
    local name
    name=$(basename "$deb" .deb)
    [ -f "$cache/$name/prepared" ] || prepare "$deb" "$cache/$name"
    ln -sfn "$name" "$current"
    find "$cache" -mindepth 1 -maxdepth 1 -name 'linux-image-*' ! -name "$name*" -exec rm -rf {} +
  fi
  cd "$current" && pwd -P
}

dir() {
  [ -f "$current/prepared" ] || die "no kernel in $cache: run scripts/setup (or kernel.sh fetch) first"
  cd "$current" && pwd -P
}

modules() { # destination, module names...
  local dest=$1
  shift
  local kernel version
  kernel=$(dir)
  version=$(cat "$kernel/version")
  mkdir -p "$dest"
  : >"$dest/load-order"
  local name line file
  for name in "$@"; do
    local listing
    listing=$(modprobe -d "$kernel/root" -S "$version" --show-depends "$name") ||
      die "no module $name in kernel $version"
    while read -r line; do
      case "$line" in
      insmod\ *)
        file=$(echo "$line" | awk '{ print $2 }')
        if ! grep -qxF "$(basename "$file")" "$dest/load-order"; then
          cp "$file" "$dest/"
          basename "$file" >>"$dest/load-order"
        fi
        ;;
      esac
    done <<<"$listing"
  done
}

case "${1:-}" in
fetch) fetch ;;
dir) dir ;;
modules)
  shift
  [ $# -ge 2 ] || die "usage: kernel.sh modules DEST NAME..."
  modules "$@"
  ;;
*) die "usage: kernel.sh fetch | dir | modules DEST NAME..." ;;
esac
