#!/bin/sh
# SPDX-License-Identifier: MIT
# The guest's /init: loads the USB host modules, waits for the redirected
# device, runs the suite named on the kernel command line and prints one
# "PASS name" or "FAIL name: why" line per scenario, then powers off.
# A gadget-* suite's device is the guest's own instead: the gadget command on
# dummy_hcd, at the speed the suite names. A usbip-* suite's too: the USB/IP
# device served on the guest's loopback, attached through vhci-hcd.
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /tmp && mount -t tmpfs tmpfs /tmp

# The firmware's last line has no line end: start ours on a fresh line.
echo

reports=0
report() { # name, reason (empty: passed)
  reports=$((reports + 1))
  if [ -z "$2" ]; then echo "PASS $1"; else echo "FAIL $1: $(echo "$2" | tr '\n' ';')"; fi
}

suite=$(sed -n 's/.*e2e\.suite=\([^ ]*\).*/\1/p' /proc/cmdline)
expected=$(sed -n 's/.*e2e\.devices=\([0-9]*\).*/\1/p' /proc/cmdline)
modules=/modules
speed_parameters=
case "$suite" in
gadget-*)
  modules=/gadget-modules
  expected=1
  ;;
usbip-*)
  modules=/usbip-modules
  expected=1
  ;;
esac
case "$suite" in
gadget-full-speed | gadget-composite-full-speed) speed_parameters=is_high_speed=0 ;;
gadget-super-speed) speed_parameters=is_super_speed=1 ;;
esac

# The host side listed them in dependency order.
while read -r module; do
  # shellcheck disable=SC2046 # the parameters are words
  insmod "$modules/$module" $([ "$module" != dummy_hcd.ko ] || echo $speed_parameters) ||
    report "load the ${module%.ko} module" "insmod failed"
done <"$modules/load-order"
# A composite gadget's ACM function, and the host's driver for a composite
# device's ACM interfaces.
case "$suite" in
*composite*)
  while read -r module; do
    grep -qxF "$module" "$modules/load-order" || insmod "/acm-modules/$module" ||
      report "load the ${module%.ko} module" "insmod failed"
  done </acm-modules/load-order
  ;;
esac

gadget=
# The gadget command runs as root: its log goes to a directory of its own.
logs=$(mktemp -d)
gadget_log=$logs/gadget.log
start_gadget() { # options
  /bin/pelmora-gadget-device --log "$gadget_log" "$@" >/tmp/gadget.out 2>/tmp/gadget.err &
  gadget=$!
}
usbip_log=$logs/usbip.log
usbip_server=
start_usbip() { # options
  /bin/pelmora-usbip-device --log "$usbip_log" "$@" >/tmp/usbip.out 2>/tmp/usbip.err &
  usbip_server=$!
  for _ in $(seq 50); do
    ! grep -q '^listening on 127.0.0.1:3240$' /tmp/usbip.out || break
    sleep 0.1
  done
}
attach_usbip() {
  usbip attach -r 127.0.0.1 -b 1-1 >/tmp/attach.out 2>&1
  echo $? >/tmp/attach.rc
}
case "$suite" in
gadget-composite-*)
  mount -t configfs configfs /sys/kernel/config
  start_gadget --composite
  ;;
gadget-*)
  mount -t configfs configfs /sys/kernel/config
  start_gadget
  ;;
usbip-*)
  ip link set lo up
  mkdir -p /var/run # where usbip keeps what it attached
  case "$suite" in
  usbip-full-speed) start_usbip --full-speed ;;
  usbip-composite) start_usbip --composite ;;
  usbip-ms-os-1.0) start_usbip --ms-os-1 ;;
  *) start_usbip ;;
  esac
  usbip list -r 127.0.0.1 >/tmp/list.out 2>&1
  attach_usbip
  ;;
esac
program=/bin/pelmora-winusb-test
# The C library's own text for errno 0, as the program's diagnostics show it.
no_error=$(/bin/errno-text)
guid_echo='DeviceInterface GUID to search for: 98-D7-20-61-92-D1-63-44-B0-DE-2B-65-ED-2F-48-70-'

# Waits until the kernel has configured every test device (vendor 1209);
# $device is the first of them by port.
wait_for_devices() {
  device=
  configured=0
  for _ in $(seq 100); do
    device=
    configured=0
    for d in /sys/bus/usb/devices/[0-9]*-*; do
      if [ -f "$d/idVendor" ] && [ "$(cat "$d/idVendor")" = 1209 ] &&
        [ -n "$(cat "$d/bConfigurationValue" 2>/dev/null)" ] && [ -d "$d/${d##*/}:1.0" ]; then
        configured=$((configured + 1))
        [ -n "$device" ] || device=$d
      fi
    done
    [ "$configured" -ge "${expected:-1}" ] && break
    sleep 0.1
  done
  # Let usbfs create the node and the kernel finish probing before the first run.
  sleep 0.2
}
wait_for_devices

# perror form: the message (which carries its own line end), ": ", the text.
diagnostic() { printf '%s\n: %s\n' "$1" "$no_error"; }

run() { # program arguments; reads /tmp/in, leaves out, err and rc in /tmp
  timeout -s KILL 30 "$program" "$@" >/tmp/out 2>/tmp/err </tmp/in
  echo $? >/tmp/rc
}

# Compares a file with expected text; on a difference says where.
differs() { # what, file, expected text
  printf '%s' "$3" >/tmp/expected
  if ! cmp -s "$2" /tmp/expected; then
    echo "$1 differs: got [$(head -c 300 "$2" | tr '\n' '|')] want [$(head -c 300 /tmp/expected | tr '\n' '|')]"
  fi
}

status_is_zero() {
  [ "$(cat /tmp/rc)" = 0 ] || echo "exit status $(cat /tmp/rc)"
}

same_bytes() { # what, got, want
  [ "$(sha256sum <"$2")" = "$(sha256sum <"$3")" ] ||
    echo "$1: $(wc -c <"$2") bytes whose checksum differs from the $(wc -c <"$3") sent"
}

lookup_true="$(diagnostic 'GetDevicePath.')
$(diagnostic 'GetDevicePath() returned TRUE.')
"
lookup_false="$(diagnostic 'GetDevicePath.')
$(diagnostic 'GetDevicePath() returned FALSE.')
"

verbose_setup_true="pelmora WinUSB test application.
$guid_echo
OpenDevice() returned: 0xHANDLE
WinUsb_Initialize() returned TRUE.
WinUsb_QueryDeviceInformation() returned TRUE.
WinUsb_QueryInterfaceSettings() returned TRUE.
"

attempt_lines() { # byte count: one line per chunk of at most 4096
  left=$1
  while [ "$left" -ge 4096 ]; do
    echo "Attempting WinUsb_WritePipe() for 4096 bytes."
    left=$((left - 4096))
  done
  echo "Attempting WinUsb_WritePipe() for $left bytes."
}

# The handle value is an open descriptor whose number is not ours to fix.
mask_handle() { sed 's/^OpenDevice() returned: 0x[0-9A-F]\{8\}$/OpenDevice() returned: 0xHANDLE/' "$1"; }

device_enumerated() { # speed in Mb/s, USB version
  if [ -z "$device" ]; then
    echo "no device of vendor 1209 configured: $(ls /sys/bus/usb/devices | tr '\n' ' ')"
  elif [ "$(cat "$device/speed")" != "$1" ] || [ "$(cat "$device/version" | tr -d ' ')" != "$2" ]; then
    echo "speed $(cat "$device/speed"), version $(cat "$device/version")"
  fi
}

quiet_round_trip() { # byte count
  head -c "$1" /dev/urandom >/tmp/in
  run "$1"
  status_is_zero
  same_bytes "standard output" /tmp/out /tmp/in
  differs "standard error" /tmp/err "$lookup_true"
}

# The report on the devices present, read live and saved, then again from its
# dump: it names the node and interface the program uses. Its JSON and its
# dump go to the console, one line each, for the host to check.
report_on_devices() { # what, the interface the program uses
  node=/dev/bus/usb/$(printf %03d "$(cat "$device/busnum")")/$(printf %03d "$(cat "$device/devnum")")
  timeout -s KILL 30 /bin/pelmora-winusb-report --json --save /tmp/dump.json >/tmp/report.json 2>/tmp/err
  echo $? >/tmp/rc
  report "$1: pelmora-winusb-report reads every device and would find this one" \
    "$(status_is_zero; differs 'standard error' /tmp/err '')"
  echo "E2E-REPORT-JSON $(tr -d '\n' </tmp/report.json)"
  echo "E2E-REPORT-DUMP $(tr -d '\n' </tmp/dump.json)"
  /bin/pelmora-winusb-report --from /tmp/dump.json >/tmp/out 2>/tmp/err
  echo $? >/tmp/rc
  tail -n 1 /tmp/out >/tmp/last
  report "$1: pelmora-winusb-report from its dump names $node:$2, the program's path" \
    "$(status_is_zero; differs 'its last line' /tmp/last "pelmora-winusb-test would use $node:$2 (interface $2 of 1209:0001)
")"
}

# A verbose run of random bytes, its progress lines checked, then a quiet run
# that reads them back.
verbose_then_quiet() { # byte count, what the scenarios' names start with, the chunks
  head -c "$1" /dev/urandom >/tmp/in
  cp /tmp/in /tmp/sent
  run
  mask_handle /tmp/out >/tmp/masked
  report "${2}verbose run sends $1 bytes: progress lines, $3" \
    "$(status_is_zero; differs 'standard output' /tmp/masked "$verbose_setup_true$(attempt_lines "$1")
"; differs 'standard error' /tmp/err "$lookup_true")"

  : >/tmp/in
  run "$1"
  report "${2}quiet run reads back the $1 bytes the verbose run sent" \
    "$(status_is_zero; same_bytes 'standard output' /tmp/out /tmp/sent
      differs 'standard error' /tmp/err "$lookup_true")"
}

suite_loopback() {
  report "the kernel configures the device at high speed, USB 2.10" "$(device_enumerated 480 2.10)"
  report_on_devices loopback 0

  verbose_then_quiet 100000 '' '24 chunks of 4096 then 1696'

  report "quiet round trip of 100000 bytes" "$(quiet_round_trip 100000)"

  : >/tmp/in
  run 0
  report "verbose run with empty input announces one empty chunk and sends nothing" \
    "$(status_is_zero; mask_handle /tmp/out >/tmp/masked
      differs 'standard output' /tmp/masked "$verbose_setup_true$(attempt_lines 0)
")"
}

suite_short_packets() {
  report "quiet round trip of 5000 bytes in 64-byte packets" "$(quiet_round_trip 5000)"

  # Last: the 36 bytes after the first packet stay queued in the device.
  head -c 100 /dev/urandom >/tmp/in
  run 10
  head -c 10 /tmp/in >/tmp/want
  report "a 10-byte read from a 64-byte packet gives the first 10 bytes" \
    "$(status_is_zero; same_bytes 'standard output' /tmp/out /tmp/want
      differs 'standard error' /tmp/err "$lookup_true")"
}

suite_short_writes() {
  report "quiet round trip of 10000 bytes through a device that takes 1000 bytes per write" \
    "$(quiet_round_trip 10000)"
}

suite_random() {
  report "quiet round trip of 200000 bytes through randomly shortened transfers" \
    "$(quiet_round_trip 200000)"
}

suite_full_speed() {
  report "the kernel configures the device at full speed" "$(device_enumerated 12 2.10)"
  report "quiet round trip of 20000 bytes in 64-byte packets at full speed" \
    "$(quiet_round_trip 20000)"
}

suite_several_devices() {
  report "the kernel configures all three devices" \
    "$([ "$configured" -ge 3 ] || echo "only $configured configured")"
  report "with another class on port 1 and this class on ports 2 and 3: a round trip of 1000 bytes" \
    "$(quiet_round_trip 1000)"
}

suite_ms_os_10() {
  report "the kernel configures the device at high speed, USB 2.10" "$(device_enumerated 480 2.10)"
  report "a device with Microsoft OS 1.0 descriptors only is found and round-trips 3000 bytes" \
    "$(quiet_round_trip 3000)"
}

suite_other_class() {
  printf 'never sent' >/tmp/in
  run
  report "verbose run with only a device of another interface class: lookup FALSE, binding FALSE" \
    "$(status_is_zero; differs 'standard output' /tmp/out "pelmora WinUSB test application.
$guid_echo
OpenDevice() returned: 0xFFFFFFFF
WinUsb_Initialize() returned FALSE.
"; differs 'standard error' /tmp/err "$lookup_false")"

  run 16
  report "quiet run with only a device of another interface class: lookup FALSE, no output" \
    "$(status_is_zero; differs 'standard output' /tmp/out ''
      differs 'standard error' /tmp/err "$lookup_false")"
}

# A 10-byte quiet run whose write stalls: the WritePipe diagnostic, nothing read.
stalled_write() {
  printf '0123456789' >/tmp/in
  run 10
  status_is_zero
  differs 'standard output' /tmp/out ''
  differs 'standard error' /tmp/err "$lookup_true$(diagnostic 'WinUsb_WritePipe() returned FALSE.')
"
}

suite_out_stall() {
  report "a stalled bulk OUT: WinUsb_WritePipe() returned FALSE and nothing is read" "$(stalled_write)"
}

suite_disconnect() {
  head -c 100 /dev/urandom >/tmp/in
  run -1
  report "unplugged during a read with count -1: the program ends after the 100 bytes" \
    "$(status_is_zero; same_bytes 'standard output' /tmp/out /tmp/in
      differs 'standard error' /tmp/err "$lookup_true$(diagnostic 'WinUsb_ReadPipe() returned FALSE.')
")"
}

# Gadget suites.

# Quiet round trips of a packet's worth, of a count that ends on no packet
# boundary and no chunk boundary, and of a larger one.
gadget_round_trips() { # packet size, speed name
  for count in "$1" 5000 300001; do
    report "gadget at $2: quiet round trip of $count bytes" "$(quiet_round_trip "$count")"
  done
}

# Ends the gadget command as a user would; it must leave nothing behind.
stop_gadget() { # what it served, [what it said on standard error]
  kill -TERM "$gadget"
  wait "$gadget"
  echo $? >/tmp/gadget.rc
  report "the gadget command $1 ends on SIGTERM with status 0, nothing else on standard error, no gadget left" \
    "$([ "$(cat /tmp/gadget.rc)" = 0 ] || echo "exit status $(cat /tmp/gadget.rc)"
      differs 'standard error' /tmp/gadget.err "${2:-}"
      [ -z "$(ls /sys/kernel/config/usb_gadget)" ] || echo "left: $(ls /sys/kernel/config/usb_gadget)"
      ! grep -q functionfs /proc/mounts || echo 'FunctionFS is still mounted'
      [ -z "$(ls -d /tmp/pelmora-* /tmp/a\ b/* 2>/dev/null)" ] ||
        echo "temp dirs left: $(ls -d /tmp/pelmora-* /tmp/a\ b/* 2>/dev/null)")"
}

# Waits until the gadget's device has gone from the bus.
wait_for_device_gone() {
  for _ in $(seq 50); do
    [ -e "$device" ] || break
    sleep 0.1
  done
}

# The bulk endpoints' addresses, which the controller chose: "OUT IN".
bulk_endpoints() {
  out=
  in=
  for endpoint in "$device"/*:1.0/ep_*; do
    [ "$(cat "$endpoint/type")" = Bulk ] || continue
    if [ "$(cat "$endpoint/direction")" = out ]; then out=0x${endpoint##*ep_}; else in=0x${endpoint##*ep_}; fi
  done
  echo "$out $in"
}

# The program's time beside a bare libusb loop's for the same synchronous
# 4096-byte calls, each moving the bytes out and back; a measurement only.
# Each takes the best of its runs.
loop_benchmark() { # MiB, what serves the device, [runs]
  bytes=$(($1 * 1048576))
  node=/dev/bus/usb/$(printf %03d "$(cat "$device/busnum")")/$(printf %03d "$(cat "$device/devnum")")
  head -c "$bytes" /dev/zero >/tmp/in
  loop_best=
  program_best=
  for _ in $(seq "${3:-1}"); do
    started=$(centiseconds)
    # shellcheck disable=SC2046 # two words
    /bin/libusb_loop "$node" "$bytes" $(bulk_endpoints)
    loop_status=$?
    looped=$(centiseconds)
    run "$bytes"
    finished=$(centiseconds)
    [ -n "$loop_best" ] && [ "$loop_best" -le $((looped - started)) ] || loop_best=$((looped - started))
    [ -n "$program_best" ] && [ "$program_best" -le $((finished - looped)) ] ||
      program_best=$((finished - looped))
  done
  echo "E2E-BENCH $2, $1 MiB out and back: program ${program_best}0 ms" \
    "(status $(cat /tmp/rc), $(wc -c </tmp/out) bytes back), bare libusb loop ${loop_best}0 ms" \
    "(status $loop_status), ratio" \
    "$(awk -v p="$program_best" -v l="$loop_best" 'BEGIN { printf "%.3f", p / l }')"
}

centiseconds() { cut -d' ' -f1 /proc/uptime | tr -d .; }

# Ends the gadget command during a read that waits for data: the host sees the
# device go, and the program must end with the read's diagnostic. The data
# before it is one whole packet, which the device must end its transfer with
# at once: a read still waiting for more when the device goes loses it.
gadget_unplug_during_read() { # packet size
  head -c "$1" /dev/urandom >/tmp/in
  run -1 &
  runner=$!
  for _ in $(seq 50); do
    ! grep -q '^in ' "$gadget_log" || break
    sleep 0.1
  done
  sleep 1
  stop_gadget 'at high speed, during a read'
  wait "$runner"
  report "unplugged during a read with count -1: the program ends after the $1 bytes of one packet" \
    "$(status_is_zero; same_bytes 'standard output' /tmp/out /tmp/in
      differs 'standard error' /tmp/err "$lookup_true$(diagnostic 'WinUsb_ReadPipe() returned FALSE.')
")"
}

# Starts the gadget command again with other options, once the old device is gone.
restart_gadget() { # what the last one served, options
  stop_gadget "$1"
  shift
  wait_for_device_gone
  start_gadget "$@"
  wait_for_devices
}

suite_gadget_full_speed() {
  report "gadget at full speed: the kernel configures it at full speed, USB 2.00" \
    "$(device_enumerated 12 2.00)"
  gadget_round_trips 64 "full speed"

  restart_gadget 'at full speed' --in-packet 10
  report "gadget with --in-packet 10: a quiet round trip of 1000 bytes, sent in packets of 10 bytes" \
    "$(quiet_round_trip 1000
      awk '$1 == "in" && $4 > 10 { print "sent: " $0; exit }' "$gadget_log")"

  restart_gadget 'with --in-packet 10' --stall 1
  report "gadget with --stall 1: WinUsb_WritePipe() returned FALSE and nothing is read" \
    "$(stalled_write)"

  restart_gadget 'with --stall 1' --guid '{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}'
  printf 'never sent' >/tmp/in
  run 16
  report "gadget with another --guid: the program finds no device of its class" \
    "$(status_is_zero; differs 'standard output' /tmp/out ''
      differs 'standard error' /tmp/err "$lookup_false")"
  stop_gadget 'with another --guid'
}

# A host that writes 64 MiB and never reads: the gadget command takes what
# its queue holds (16 MiB) and what one IN request waits to send (16 KiB), no
# more, and its memory grows by no more than the queue and 8 MiB.
gadget_host_never_reads() {
  before=$(awk '$1 == "VmRSS:" { print $2 }' "/proc/$gadget/status")
  head -c 67108864 /dev/zero >/tmp/in
  timeout -s KILL 600 "$program" 67108864 </tmp/in >/dev/null 2>&1 &
  writer=$!
  # Taken once the log, having grown, stops growing.
  lines=$(wc -l <"$gadget_log")
  started=$lines
  for _ in $(seq 150); do
    sleep 2
    now=$(wc -l <"$gadget_log")
    [ "$now" != "$lines" ] || [ "$now" = "$started" ] || break
    lines=$now
  done
  peak=$(awk '$1 == "VmHWM:" { print $2 }' "/proc/$gadget/status")
  taken=$(awk -v from="$started" 'NR > from && $1 == "out" { sum += $4 } END { print sum + 0 }' "$gadget_log")
  kill -KILL "$writer"
  wait "$writer"
  rm -f /tmp/in
  echo "E2E-BENCH gadget with a host that writes 64 MiB and never reads: took $taken bytes," \
    "resident $before KiB before, peak $peak KiB, growth $((peak - before)) KiB"
  report "gadget with a host that writes 64 MiB and never reads: takes 16 MiB, grows by at most 24 MiB" \
    "$([ "$taken" -ge 16777216 ] && [ "$taken" -le $((16777216 + 16384)) ] || echo "took $taken bytes"
      [ $((peak - before)) -le 24576 ] || echo "grew by $((peak - before)) KiB")"
  usbip_reattach
}

# A gadget command killed outright leaves its gadget, FunctionFS mount and
# temp dir; the next one removes them, says so, serves, and leaves nothing.
gadget_killed_then_restarted() {
  killed=$gadget
  kill -KILL "$killed"
  wait "$killed"
  wait_for_device_gone
  left=$(awk '$3 == "functionfs" { print $2 }' /proc/mounts)
  left_gadget=$(ls /sys/kernel/config/usb_gadget)
  report "a gadget command killed with SIGKILL leaves its gadget, FunctionFS mount and temp dir" \
    "$(case "$left_gadget" in pelmora-$killed-*) ;; *) echo "gadgets: $left_gadget" ;; esac
      [ -n "$left" ] && [ -d "$left" ] || echo "no FunctionFS mount left")"
  start_gadget
  wait_for_devices
  said="pelmora-gadget-device: removed the FunctionFS mount on $left, left by process $killed, which is gone
pelmora-gadget-device: removed the temp dir $left, left by process $killed, which is gone
pelmora-gadget-device: removed the gadget /sys/kernel/config/usb_gadget/$left_gadget, left by process $killed, which is gone
"
  report "the next gadget command removes what the killed one left, says so, and serves" \
    "$(differs 'standard error' /tmp/gadget.err "$said"; quiet_round_trip 1000)"
  stop_gadget 'after removing what a killed one left' "$said"
}

# A second gadget command in a PID namespace of its own, as in a container,
# cannot tell whether the first one's maker runs: it leaves all of it alone,
# says so, and refuses the busy controller.
gadget_second_in_another_pid_namespace() {
  first_gadget=$(ls /sys/kernel/config/usb_gadget)
  first_mount=$(awk '$3 == "functionfs" { print $2 }' /proc/mounts)
  # One that took the first one's for dead would take the controller and serve.
  timeout -s KILL 20 unshare -p -f --mount-proc /bin/pelmora-gadget-device >/tmp/second.out 2>/tmp/second.err
  echo $? >/tmp/second.rc
  report "a gadget command in another PID namespace leaves a live one's gadget, mount and temp dir, and says so" \
    "$([ "$(cat /tmp/second.rc)" = 1 ] || echo "exit status $(cat /tmp/second.rc)"
      grep -q "left the gadget /sys/kernel/config/usb_gadget/$first_gadget alone: .*another PID namespace" /tmp/second.err ||
        echo "message: $(cat /tmp/second.err)"
      grep -q 'in use by another gadget' /tmp/second.err || echo "message: $(cat /tmp/second.err)"
      [ "$(ls /sys/kernel/config/usb_gadget)" = "$first_gadget" ] ||
        echo "gadgets: $(ls /sys/kernel/config/usb_gadget)"
      [ "$(awk '$3 == "functionfs" { print $2 }' /proc/mounts)" = "$first_mount" ] || echo 'FunctionFS mount gone'
      [ -d "$first_mount" ] || echo 'temp dir gone'
      quiet_round_trip 1000)"
}

# Killed outright with its temp dirs under a TMPDIR with a space, then
# started again with the same pid, as a container's first process always is:
# the leftovers are the new one's to remove, and folders of that shape that
# mkdtemp did not make for it stay.
gadget_killed_then_restarted_with_its_pid() {
  wait_for_device_gone
  mkdir -p '/tmp/a b'
  export TMPDIR='/tmp/a b'
  start_gadget
  wait_for_devices
  killed=$gadget
  kill -KILL "$killed"
  wait "$killed"
  wait_for_device_gone
  left_gadget=$(ls /sys/kernel/config/usb_gadget)
  left=$(awk '$3 == "functionfs" { print $2 }' /proc/mounts | sed 's/\\040/ /g')
  namespace=$(printf %x "$(readlink /proc/self/ns/pid | tr -dc 0-9)")
  others_folder="/tmp/a b/pelmora-999999-$namespace-1.others"
  open_folder="/tmp/a b/pelmora-999999-$namespace-1.open"
  mkdir -m 0700 "$others_folder" && chown 65534:65534 "$others_folder"
  mkdir -m 0755 "$open_folder"
  echo $((killed - 1)) >/proc/sys/kernel/ns_last_pid
  start_gadget
  unset TMPDIR
  wait_for_devices
  said="pelmora-gadget-device: removed the FunctionFS mount on $left, left by process $killed, which is gone
pelmora-gadget-device: removed the temp dir $left, left by process $killed, which is gone
pelmora-gadget-device: removed the gadget /sys/kernel/config/usb_gadget/$left_gadget, left by process $killed, which is gone
"
  report "a gadget command with the pid of a killed one under a TMPDIR with a space removes what it left, keeps others' folders, and serves" \
    "$([ "$gadget" = "$killed" ] || echo "pid $gadget, not $killed"
      case "$left" in '/tmp/a b/'*) ;; *) echo "left mount: $left" ;; esac
      differs 'standard error' /tmp/gadget.err "$said"
      [ -d "$others_folder" ] || echo "another user's folder removed"
      [ -d "$open_folder" ] || echo "a folder of mode 0755 removed"
      quiet_round_trip 1000)"
  rmdir "$others_folder" "$open_folder"
  stop_gadget 'after removing what a killed one of its pid left' "$said"
}

suite_gadget_high_speed() {
  report "gadget at high speed: the kernel configures it at high speed, USB 2.00" \
    "$(device_enumerated 480 2.00)"
  report_on_devices "gadget at high speed" 0
  gadget_round_trips 512 "high speed"
  loop_benchmark 4 'gadget at high speed'

  /bin/pelmora-gadget-device >/tmp/second.out 2>/tmp/second.err
  echo $? >/tmp/second.rc
  report "a second gadget command on the same controller refuses, saying it is in use, and leaves the first" \
    "$([ "$(cat /tmp/second.rc)" = 1 ] || echo "exit status $(cat /tmp/second.rc)"
      grep -q 'in use by another gadget' /tmp/second.err || echo "message: $(cat /tmp/second.err)"
      [ "$(ls /sys/kernel/config/usb_gadget | wc -l)" = 1 ] ||
        echo "gadgets: $(ls /sys/kernel/config/usb_gadget)"
      quiet_round_trip 1000)"
  gadget_second_in_another_pid_namespace
  gadget_host_never_reads
  gadget_killed_then_restarted
  gadget_killed_then_restarted_with_its_pid
  start_gadget
  wait_for_devices
  gadget_unplug_during_read 512
}

# The gadget command without a part of what it needs: status 1, a message that
# says what to do, and no gadget left behind.
gadget_refuses() { # what is missing, words of the message, command prefix...
  what=$1
  words=$2
  shift 2
  "$@" /bin/pelmora-gadget-device >/tmp/gadget.out 2>/tmp/gadget.err
  echo $? >/tmp/gadget.rc
  report "without $what the gadget command refuses, saying what to do, and leaves no gadget" \
    "$([ "$(cat /tmp/gadget.rc)" = 1 ] || echo "exit status $(cat /tmp/gadget.rc)"
      grep -q "$words" /tmp/gadget.err || echo "message: $(cat /tmp/gadget.err)"
      [ -z "$(ls /sys/kernel/config/usb_gadget 2>/dev/null)" ] ||
        echo "left: $(ls /sys/kernel/config/usb_gadget)")"
}

suite_gadget_super_speed() {
  report "gadget at super speed: the kernel configures it at super speed, USB 3.20" \
    "$(device_enumerated 5000 3.20)"
  gadget_round_trips 1024 "super speed"
  stop_gadget 'at super speed'

  mkdir -p /etc && echo 'nobody:x:65534:65534:nobody:/:/bin/sh' >/etc/passwd
  gadget_refuses "root's rights" "needs root" su nobody -c
  rmmod usb_f_fs
  gadget_refuses FunctionFS "modprobe usb_f_fs"
  rmmod dummy_hcd
  gadget_refuses "a device controller" "modprobe dummy_hcd"
  rmmod libcomposite
  gadget_refuses libcomposite "modprobe libcomposite"
  umount /sys/kernel/config
  gadget_refuses "configfs mounted" "mount -t configfs"
}

# The driver that holds each interface of the device: "0:cdc_acm 1:cdc_acm 2:-".
interface_drivers() {
  for interface in "$device"/*:1.*; do
    driver=-
    [ ! -e "$interface/driver" ] || driver=$(basename "$(readlink "$interface/driver")")
    printf '%s:%s ' "${interface##*.}" "$driver"
  done
}

# A composite device: class EF/02/01, its ACM interfaces 0 and 1 held by the
# guest's cdc_acm, and nothing on its loopback interface 2 between runs.
composite_shape() {
  [ "$(cat "$device/bDeviceClass" "$device/bDeviceSubClass" "$device/bDeviceProtocol" | tr '\n' ' ')" = 'ef 02 01 ' ] ||
    echo "class $(cat "$device/bDeviceClass" "$device/bDeviceSubClass" "$device/bDeviceProtocol" | tr '\n' /)"
  [ "$(interface_drivers)" = '0:cdc_acm 1:cdc_acm 2:- ' ] || echo "drivers: $(interface_drivers)"
  [ -e /dev/ttyACM0 ] || echo 'no /dev/ttyACM0'
}

# The program finds the loopback at interface 2, drives it and detaches nothing.
composite_round_trips() { # what, packet size
  for count in "$2" 5000 300001; do
    report "$1: quiet round trip of $count bytes" "$(quiet_round_trip "$count")"
  done
  report "$1: after the runs cdc_acm still holds interfaces 0 and 1, and nothing holds interface 2" \
    "$(composite_shape)"
}

suite_gadget_composite() { # packet size, speed name, speed in Mb/s
  report "composite gadget at $2: the kernel configures it at $2, class EF/02/01, cdc_acm on interfaces 0 and 1" \
    "$(device_enumerated "$3" 2.00
      composite_shape)"
  report_on_devices "composite gadget at $2" 2
  composite_round_trips "composite gadget at $2" "$1"
  stop_gadget "composite at $2"
}

suite_composite() { # what
  report "$1: the kernel configures it, class EF/02/01, cdc_acm on interfaces 0 and 1" \
    "$(device_enumerated 480 2.10
      composite_shape)"
  composite_round_trips "$1" 512
}

# USB/IP suites.

# The vhci-hcd port the device is attached at.
usbip_port() { usbip port 2>/dev/null | sed -n 's/^Port \([0-9]*\): <Port in Use>.*/\1/p' | head -n 1; }

usbip_attached() { # speed in Mb/s
  [ "$(cat /tmp/attach.rc)" = 0 ] || echo "usbip attach: status $(cat /tmp/attach.rc): $(cat /tmp/attach.out)"
  device_enumerated "$1" 2.10
}

# Ends the server as a user would: status 0 and nothing on standard error.
stop_usbip() { # what it served
  kill -TERM "$usbip_server"
  wait "$usbip_server"
  echo $? >/tmp/usbip.rc
  report "the USB/IP device $1 ends on SIGTERM with status 0, nothing on standard error" \
    "$([ "$(cat /tmp/usbip.rc)" = 0 ] || echo "exit status $(cat /tmp/usbip.rc)"
      differs 'standard error' /tmp/usbip.err '')"
}

# Starts the server again with other options, and attaches its device once
# the old one is gone.
restart_usbip() { # what the last one served, options
  stop_usbip "$1"
  shift
  wait_for_device_gone
  start_usbip "$@"
  attach_usbip
  wait_for_devices
}

# CPU time the server spent so far, in clock ticks.
server_ticks() { awk '{ print $14 + $15 }' "/proc/$usbip_server/stat"; }

# Detaches the device, and attaches it again once it is gone.
usbip_reattach() {
  usbip detach -p "$(usbip_port)" >/tmp/detach.out 2>&1
  echo $? >/tmp/detach.rc
  wait_for_device_gone
  attach_usbip
  wait_for_devices
}

usbip_detach_during_read() {
  head -c 512 /dev/urandom >/tmp/in
  run -1 &
  runner=$!
  for _ in $(seq 50); do
    [ "$(tail -n 1 "$usbip_log")" != 'in 4096 waits' ] || break
    sleep 0.1
  done
  usbip_reattach
  wait "$runner"
  report "usbip detach during a read with count -1: the program ends after the 512 bytes" \
    "$([ "$(cat /tmp/detach.rc)" = 0 ] || echo "usbip detach: $(cat /tmp/detach.out)"
      status_is_zero; same_bytes 'standard output' /tmp/out /tmp/in
      differs 'standard error' /tmp/err "$lookup_true$(diagnostic 'WinUsb_ReadPipe() returned FALSE.')
")"
  report "after the detach the server serves a new attach: a quiet round trip of 1000 bytes" \
    "$(usbip_attached 480; quiet_round_trip 1000)"
}

# A host that writes 64 MiB and never reads: the server holds what its queue
# does (16 MiB) and one waiting write, and grows by no more than the queue and
# 8 MiB. A fresh attach then leaves nothing queued.
usbip_host_never_reads() {
  before=$(awk '$1 == "VmRSS:" { print $2 }' "/proc/$usbip_server/status")
  from=$(wc -l <"$usbip_log")
  head -c 67108864 /dev/zero >/tmp/in
  timeout -s KILL 600 "$program" 67108864 </tmp/in >/dev/null 2>&1 &
  writer=$!
  for _ in $(seq 300); do
    sleep 1
    [ "$(tail -n 1 "$usbip_log")" != 'out 4096 waits' ] || break
  done
  peak=$(awk '$1 == "VmHWM:" { print $2 }' "/proc/$usbip_server/status")
  last=$(tail -n 1 "$usbip_log")
  taken=$(awk -v from="$from" 'NR > from && $1 == "out" && $3 == "->" { sum += $5 }
    END { print sum + 0 }' "$usbip_log")
  kill -KILL "$writer"
  wait "$writer"
  rm -f /tmp/in
  echo "E2E-BENCH USB/IP device with a host that writes 64 MiB and never reads: took $taken bytes" \
    "in whole writes, resident $before KiB before, peak $peak KiB, growth $((peak - before)) KiB"
  report "USB/IP device with a host that writes 64 MiB and never reads: its queue fills, it grows by at most 24 MiB" \
    "$([ "$last" = 'out 4096 waits' ] || echo "last log line: $last"
      [ $((peak - before)) -le 24576 ] || echo "grew by $((peak - before)) KiB")"
  usbip_reattach
}

# SIGTERM while the program waits on a read: the program ends, the device
# goes, the server exits 0.
usbip_terminated_during_read() {
  : >/tmp/in
  run -1 &
  runner=$!
  sleep 2
  stop_usbip 'during a read'
  wait "$runner"
  wait_for_device_gone
  report "SIGTERM to the USB/IP device during a read: the program ends, the device is gone" \
    "$(status_is_zero
      [ "$(tail -n 1 /tmp/err)" = "$(diagnostic 'WinUsb_ReadPipe() returned FALSE.' | tail -n 1)" ] ||
        echo "standard error ends: $(tail -n 2 /tmp/err | tr '\n' '|')"
      [ ! -e "$device" ] || echo "$device is still there")"
}

suite_usbip_high_speed() {
  report "usbip list -r 127.0.0.1 shows the device, bus id 1-1" \
    "$(grep -q '^ *1-1: .*(1209:0001)$' /tmp/list.out || echo "listed: $(tr '\n' '|' </tmp/list.out)")"
  report "usbip attach: the kernel configures the device at high speed, USB 2.10" "$(usbip_attached 480)"
  for count in 512 5000; do
    report "over USB/IP at high speed: quiet round trip of $count bytes" "$(quiet_round_trip "$count")"
  done

  verbose_then_quiet 5000 'over USB/IP: ' 'one chunk of 4096 then 904'

  usbip_host_never_reads
  report "after a detach the server serves a new attach: a quiet round trip of 1 MiB" \
    "$([ "$(cat /tmp/detach.rc)" = 0 ] || echo "usbip detach: $(cat /tmp/detach.out)"
      usbip_attached 480; quiet_round_trip 1048576)"

  ticks=$(server_ticks)
  loop_benchmark 16 'USB/IP device at high speed' 2
  echo "E2E-BENCH USB/IP device: server CPU $(($(server_ticks) - ticks))0 ms for two runs each" \
    "of the loop's and the program's 16 MiB out and back"

  usbip attach -r 127.0.0.1 -b 1-1 >/tmp/second.out 2>&1
  echo $? >/tmp/second.rc
  report "a second usbip attach while the device is attached fails, and the first goes on" \
    "$([ "$(cat /tmp/second.rc)" != 0 ] || echo 'the second attach succeeded'
      quiet_round_trip 1000)"

  usbip_detach_during_read
  usbip_terminated_during_read
}

suite_usbip_full_speed() {
  report "usbip attach: the kernel configures the device at full speed" "$(usbip_attached 12)"
  for count in 64 5000 1048576; do
    report "over USB/IP at full speed: quiet round trip of $count bytes" "$(quiet_round_trip "$count")"
  done

  restart_usbip 'at full speed' --full-speed --stall 1
  report "over USB/IP with --stall 1: WinUsb_WritePipe() returned FALSE and nothing is read" \
    "$(usbip_attached 12; stalled_write)"
  stop_usbip 'with --stall 1'
}

suite_usbip_composite() {
  report "usbip attach of a composite device: class EF/02/01, cdc_acm on interfaces 0 and 1" \
    "$(usbip_attached 480; composite_shape)"
  composite_round_trips "composite over USB/IP" 512
  stop_usbip 'serving a composite device'
}

suite_usbip_ms_os_10() {
  report "usbip attach of a device with Microsoft OS 1.0 descriptors only" "$(usbip_attached 480)"
  report "over USB/IP with Microsoft OS 1.0 descriptors: found, a round trip of 3000 bytes" \
    "$(quiet_round_trip 3000
      grep -q '^control c[01] 21 .... 0005 ' "$usbip_log" ||
        echo 'the device was not asked for its extended properties')"
  stop_usbip 'with Microsoft OS 1.0 descriptors'
}

case "$suite" in
usbip-high-speed) suite_usbip_high_speed ;;
usbip-full-speed) suite_usbip_full_speed ;;
usbip-composite) suite_usbip_composite ;;
usbip-ms-os-1.0) suite_usbip_ms_os_10 ;;
gadget-composite-full-speed) suite_gadget_composite 64 "full speed" 12 ;;
gadget-composite-high-speed) suite_gadget_composite 512 "high speed" 480 ;;
gadget-full-speed) suite_gadget_full_speed ;;
gadget-high-speed) suite_gadget_high_speed ;;
gadget-super-speed) suite_gadget_super_speed ;;
loopback) suite_loopback ;;
short-packets) suite_short_packets ;;
short-writes) suite_short_writes ;;
full-speed) suite_full_speed ;;
random) suite_random ;;
ms-os-1.0) suite_ms_os_10 ;;
composite) suite_composite composite ;;
composite-ms-os-1.0) suite_composite composite-ms-os-1.0 ;;
several-devices) suite_several_devices ;;
other-class) suite_other_class ;;
out-stall) suite_out_stall ;;
disconnect) suite_disconnect ;;
*) echo "FAIL suite: unknown suite '$suite'" ;;
esac
echo "E2E-SUITE-END $suite $reports"
poweroff -f
