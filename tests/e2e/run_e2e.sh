#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# End-to-end tests on a real Linux kernel: the program runs in a QEMU guest
# (Debian's kernel, its xHCI driver and usbfs) against the loopback device
# served over usbredir from this host. One boot per device variant; the guest
# prints a PASS or FAIL line per scenario, the device's transfer log adds
# host-side checks, and the run ends with "N passed, N failed". The gadget-*
# boots meet a device of the kernel's own making instead: the gadget command
# on dummy_hcd in the guest, at each speed. The usbip-* boots serve the device
# in the guest over USB/IP on its own loopback, and attach it with the
# kernel's vhci-hcd and Debian's usbip command.
#
#   tests/e2e/run_e2e.sh BUILD_DIR
#
# BUILD_DIR holds pelmora-winusb-test, pelmora-usbredir-device,
# pelmora-gadget-device, pelmora-usbip-device, errno-text and bench/libusb_loop;
# PELMORA_E2E_DEVICE_SERVER names another device server binary to use, and
# PELMORA_E2E_SUITES the boots to run (shell patterns, e.g. 'gadget-*').
# The kernel comes from tests/e2e/kernel.sh's cache (scripts/setup fills it).
set -euo pipefail

build=$(cd "${1:?usage: run_e2e.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$build/e2e
boot_timeout=${PELMORA_E2E_BOOT_TIMEOUT:-90}
mkdir -p "$work"

run_started=$(date +%s.%N)
passed=0
failed=0
pass() { echo "PASS $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1: $2"; failed=$((failed + 1)); }
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f s", b - a }'; }

# The device server may come from another build, e.g. one with sanitizers.
device_server=${PELMORA_E2E_DEVICE_SERVER:-$build/pelmora-usbredir-device}
# Debian's usbip package installs its command for root only.
usbip_command=$(PATH=$PATH:/usr/sbin command -v usbip || true)
for tool in "$build/pelmora-winusb-test" "$build/pelmora-winusb-report" "$build/errno-text" \
  "$device_server" "$build/pelmora-gadget-device" "$build/pelmora-usbip-device" \
  "$build/bench/libusb_loop" "${usbip_command:-usbip (apt-get install usbip)}"; do
  [ -x "$tool" ] || { echo "missing $tool" >&2; exit 2; }
done

# Debian's kernel, fetched by scripts/setup.
kernel_dir=$("$here/kernel.sh" dir)

# The initramfs: busybox, the program, the errno helper and every library
# they load, the modules, and the init script that runs the scenarios.
started=$(now)
root=$work/root
rm -rf "$root" && mkdir -p "$root/bin" "$root/modules" "$root/dev" "$root/proc" "$root/sys"
# The guest has no libraries for busybox: only the static build will do.
if ldd /bin/busybox >/dev/null 2>&1; then
  echo "/bin/busybox is dynamically linked: install busybox-static" >&2
  exit 2
fi
cp /bin/busybox "$root/bin/busybox"
for applet in $("$root/bin/busybox" --list); do
  [ "$applet" = busybox ] || ln -s busybox "$root/bin/$applet"
done
binaries=("$build/pelmora-winusb-test" "$build/pelmora-winusb-report" "$build/errno-text"
  "$build/pelmora-gadget-device" "$build/pelmora-usbip-device" "$build/bench/libusb_loop"
  "$usbip_command")
cp "${binaries[@]}" "$root/bin/"
libraries=$(for binary in "${binaries[@]}"; do
  ldd "$binary" | awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }'
done | sort -u)
for library in $libraries; do
  mkdir -p "$root$(dirname "$library")"
  cp -L "$library" "$root$library"
done
"$here/kernel.sh" modules "$root/modules" xhci-pci
"$here/kernel.sh" modules "$root/gadget-modules" dummy_hcd usb_f_fs
"$here/kernel.sh" modules "$root/acm-modules" usb_f_acm cdc_acm
"$here/kernel.sh" modules "$root/usbip-modules" vhci-hcd
cp "$here/guest_init.sh" "$root/init"
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet) >"$work/initramfs.cpio"
echo "== initramfs $(du -h "$work/initramfs.cpio" | cut -f1) ($(elapsed "$started"))"

# One boot: a device server per device, QEMU with each device on its own port
# of the xHCI controller (in order: port 1, 2, ...), and the suite named on the
# kernel command line. Devices' options are separated by "+"; device N logs to
# device-N.log.
skipped=
boot() { # suite, device options [+ device options ...]
  local suite=$1
  shift
  local dir=$work/$suite
  rm -rf "$dir" && mkdir -p "$dir"
  local started
  started=$(now)
  local -a groups=() servers=() qemu_devices=()
  local group="" argument n
  for argument in "$@" +; do
    if [ "$argument" = + ]; then
      groups+=("$group")
      group=""
    else
      group+="$(printf '%q ' "$argument")"
    fi
  done
  skipped=$suite
  local pattern patterns
  read -r -a patterns <<<"${PELMORA_E2E_SUITES:-*}" # words, never file names
  for pattern in "${patterns[@]}"; do
    # shellcheck disable=SC2053 # a pattern
    [[ $suite != $pattern ]] || skipped=
  done
  if [ -n "$skipped" ]; then
    # Empty logs for the checks that read them; check() reports nothing.
    for n in "${!groups[@]}"; do : >"$dir/device-$((n + 1)).log"; done
    return 0
  fi
  # A gadget suite's device is made in the guest, whose clock then counts
  # instructions, so that timings repeat whatever the host's load. A USB/IP
  # suite's is made in the guest too, on a clock that counting instructions
  # slows past the boot's time limit: its figures take the best of two runs.
  local -a clock=()
  if [[ $suite == gadget-* ]]; then
    groups=()
    clock=(-icount 'shift=0,sleep=off')
  elif [[ $suite == usbip-* ]]; then
    groups=()
  fi
  for n in "${!groups[@]}"; do
    local number=$((n + 1))
    eval "set -- ${groups[$n]}"
    "$device_server" --port-file "$dir/port-$number" --log "$dir/device-$number.log" "$@" \
      >"$dir/server-$number.out" 2>"$dir/server-$number.err" &
    servers+=($!)
    for _ in $(seq 100); do
      [ -f "$dir/port-$number" ] && break
      sleep 0.05
    done
    if [ ! -f "$dir/port-$number" ]; then
      fail "$suite: device server $number starts" "$(cat "$dir/server-$number.err")"
      kill "${servers[@]}" 2>/dev/null || true
      return
    fi
    qemu_devices+=(-chardev "socket,id=device$number,host=127.0.0.1,port=$(cat "$dir/port-$number")"
      -device "usb-redir,chardev=device$number,bus=xhci.0,port=$number")
  done
  local status=0
  timeout -s KILL "$boot_timeout" qemu-system-x86_64 -accel tcg -cpu qemu64,+rdrand -m 512 "${clock[@]}" \
    -nographic -nodefaults -no-reboot -serial stdio \
    -kernel "$kernel_dir/vmlinux" -initrd "$work/initramfs.cpio" \
    -append "console=ttyS0 quiet panic=-1 e2e.suite=$suite e2e.devices=${#groups[@]}" \
    -device qemu-xhci,id=xhci "${qemu_devices[@]}" \
    </dev/null >"$dir/console.log" 2>"$dir/qemu.err" || status=$?
  # Each server ends by itself when QEMU closes its connection.
  for n in "${!servers[@]}"; do
    local number=$((n + 1)) server=${servers[$n]} server_status=0
    for _ in $(seq 60); do
      kill -0 "$server" 2>/dev/null || break
      sleep 0.05
    done
    if kill -0 "$server" 2>/dev/null; then
      kill "$server" 2>/dev/null || true
      server_status=running
    fi
    wait "$server" 2>/dev/null || [ "$server_status" = running ] || server_status=$?
    if [ "$server_status" = 0 ] && [ ! -s "$dir/server-$number.err" ]; then
      pass "$suite: device server $number ends cleanly with the connection"
    else
      fail "$suite: device server $number ends cleanly with the connection" \
        "status $server_status; $(head -c 500 "$dir/server-$number.err" | tr '\n' '|')"
    fi
  done
  tr -d '\r' <"$dir/console.log" >"$dir/console.txt"

  local reported=0
  while IFS= read -r line; do
    reported=$((reported + 1))
    case "$line" in
    "PASS "*) pass "$suite: ${line#PASS }" ;;
    "FAIL "*) line=${line#FAIL }; fail "$suite: ${line%%: *}" "${line#*: }" ;;
    esac
  done < <(grep -aE '^(PASS|FAIL) ' "$dir/console.txt")
  # Measurements, which pass or fail nothing.
  sed -n 's/^E2E-BENCH /== benchmark: /p' "$dir/console.txt"
  # A result line mixed into kernel messages must not vanish unnoticed.
  local announced
  announced=$(sed -n "s/^E2E-SUITE-END $suite \([0-9]*\)\$/\1/p" "$dir/console.txt")
  if [ -n "$announced" ] && [ "$announced" = "$reported" ]; then
    pass "$suite: the guest ran the whole suite ($(elapsed "$started"))"
  elif [ -n "$announced" ]; then
    fail "$suite: the guest ran the whole suite" "it reported $announced results, $reported were read"
  else
    fail "$suite: the guest ran the whole suite" \
      "QEMU status $status after $(elapsed "$started"); last console lines: $(tail -n 5 "$dir/console.txt" | tr '\n' '|') $(head -c 300 "$dir/qemu.err")"
  fi
}

# The lengths of the bulk OUT transfers the device took, one per line.
out_lengths() { awk '$1 == "out" { print $2 }' "$work/$1" | tr '\n' ' '; }

repeat() { # count, word
  local i
  for ((i = 0; i < $1; i++)); do printf '%s ' "$2"; done
}

check() { # name, reason (empty: passed); nothing when the boot was skipped
  if [ -n "$skipped" ]; then return; fi
  if [ -z "$2" ]; then pass "$1"; else fail "$1" "$2"; fi
}

# The report the guest printed: its JSON field by field, and the same report
# on this host from the guest's dump, which must be the guest's own.
check_report() { # suite, pick interface, descriptors Windows reads, drivers of the functions
  if [ -n "$skipped" ]; then return; fi
  local dir=$work/$1
  sed -n 's/^E2E-REPORT-JSON //p' "$dir/console.txt" >"$dir/report.json"
  sed -n 's/^E2E-REPORT-DUMP //p' "$dir/console.txt" >"$dir/dump.json"
  check "$1: the report's JSON names the pick, the descriptors Windows reads and each function's driver" \
    "$(python3 "$here/check_report.py" "$dir/report.json" "$2" "$3" "$4" 2>&1)"
  check "$1: the report from the guest's dump, on this host, is the guest's report" \
    "$("$build/pelmora-winusb-report" --from "$dir/dump.json" --json >"$dir/replayed.json"
      python3 -c 'import json, sys; a, b = (json.load(open(f)) for f in sys.argv[1:]); print("" if a == b else "they differ")' \
        "$dir/report.json" "$dir/replayed.json" 2>&1)"
}

boot loopback
check_report loopback 0 ms-os-2.0 winusb
# Two uploads of 100000 bytes (verbose, then quiet): each is 24 chunks of
# 4096 and one of 1696, and an empty input sends nothing at all.
want="$(repeat 24 4096)1696 $(repeat 24 4096)1696 "
got=$(out_lengths loopback/device-1.log)
check "loopback: the device saw bulk OUT transfers of 4096 bytes then the remainder" \
  "$([ "$got" = "$want" ] || echo "got [$got] want [$want]")"

boot short-packets --in-packet 64
check "short-packets: the device sent IN data only in packets of at most 64 bytes, never babbling" \
  "$(awk '$1 == "in" && $3 == "->" && ($5 > 64 || $4 != "success") { print; exit }' "$work/short-packets/device-1.log")"

boot short-writes --out-take 1000
# Each chunk goes out in writes that start where the last one stopped.
want="$(repeat 2 '4096 3096 2096 1096 96')1808 808 "
got=$(out_lengths short-writes/device-1.log)
check "short-writes: after a short write the rest of the chunk is written again" \
  "$([ "$got" = "$want" ] || echo "got [$got] want [$want]")"

boot full-speed --full-speed

# Short OUT completions and short or empty IN packets at random, fixed seed.
boot random --random-seed 7
check "random: the device shortened some transfers of each direction" \
  "$(awk '$1 == "out" && $2 != $5 { out = 1 } $1 == "in" && $3 == "->" && $5 % 512 != 0 { n++ }
          END { if (!out || n < 2) print "no shortened transfer in the log" }' \
    "$work/random/device-1.log")"

boot ms-os-1.0 --ms-os-1
check "ms-os-1.0: the device was asked for its Microsoft OS 1.0 extended properties" \
  "$(grep -q '^control c[01] 21 .... 0005 ' "$work/ms-os-1.0/device-1.log" || echo "no such request in the log")"

# The loopback at interface 2 behind an ACM function that the guest's cdc_acm holds.
boot composite --composite
boot composite-ms-os-1.0 --composite --ms-os-1

boot other-class --guid '{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}'
check "other-class: no transfer reached the device's bulk pipes" \
  "$(grep -E '^(in|out) ' "$work/other-class/device-1.log" | head -n 3 | tr '\n' '|')"

# Port 1: a device of another class; ports 2 and 3: two of this class.
boot several-devices --guid '{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}' + +
counts=$(for n in 1 2 3; do grep -cE '^(in|out) ' "$work/several-devices/device-$n.log" || true; done |
  tr '\n' ' ')
check "several-devices: only the first device of the class, on port 2, saw transfers" \
  "$(set -- $counts
     [ "$1" = 0 ] && [ "$2" -gt 0 ] && [ "$3" = 0 ] || echo "transfers on ports 1, 2, 3: $counts")"

# The first pipe transfer, the upload's only write, stalls.
boot out-stall --stall 1
check "out-stall: one stalled OUT transfer of 10 bytes and no IN transfer" \
  "$(got=$(grep -E '^(in|out) ' "$work/out-stall/device-1.log" | tr '\n' '|')
     [ "$got" = 'out 10 -> stall 0|' ] || echo "transfers: $got")"

# Unplugged at the third transfer: after the upload and the first read.
boot disconnect --disconnect-after 2
check "disconnect: the device was unplugged while a read waited" \
  "$(awk 'previous ~ /^in [0-9]+ waits$/ && $0 == "disconnect" { found = 1 } { previous = $0 }
          END { if (!found) print "no disconnect right after a waiting read in the log" }' \
    "$work/disconnect/device-1.log")"

# The kernel's own gadget stack in the guest: dummy_hcd at each speed, and the
# gadget command's device.
boot gadget-full-speed
boot gadget-high-speed
# The kernel's own Microsoft OS 1.0 answers: bcdUSB 0x0200, no BOS.
check_report gadget-high-speed 0 ms-os-1.0 winusb
boot gadget-super-speed
# A composite gadget: the kernel's ACM function at interfaces 0 and 1, held by
# the guest's cdc_acm, and the loopback at interface 2.
boot gadget-composite-full-speed
boot gadget-composite-high-speed
check_report gadget-composite-high-speed 2 ms-os-1.0 "class winusb"

# The USB/IP device served in the guest, attached through vhci-hcd.
boot usbip-high-speed
boot usbip-full-speed
boot usbip-composite
boot usbip-ms-os-1.0

echo "== end-to-end run took $(elapsed "$run_started")"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
