#!/bin/sh
# SPDX-License-Identifier: MIT
# The guest's /init: loads the modules for virtio-9p and the overlay, builds a
# root of the host's file system with a tmpfs overlay, runs the command there
# and records its exit status in the shared directory, then powers off.
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

# What the firmware printed ends here (the host drops it).
echo
echo "guest: started"

stop() {
  echo "guest: $*"
  poweroff -f
}

while read -r module; do
  insmod "/modules/$module" || stop "cannot load the module $module"
done </modules/load-order

options=trans=virtio,version=9p2000.L,msize=262144
mkdir -p /host /layers /root
mount -t 9p -o "$options,ro" hostroot /host || stop "cannot mount the host's root"
mount -t tmpfs -o mode=0755 tmpfs /layers
mkdir -p /layers/upper /layers/work
mount -t overlay overlay -o lowerdir=/host,upperdir=/layers/upper,workdir=/layers/work /root ||
  stop "cannot put an overlay on the host's root"

mount -t proc proc /root/proc
mount -t sysfs sysfs /root/sys
mount -t devtmpfs devtmpfs /root/dev
mkdir -p /root/dev/pts /root/dev/shm
mount -t devpts -o newinstance,ptmxmode=0666 devpts /root/dev/pts
rm -f /root/dev/ptmx && ln -s pts/ptmx /root/dev/ptmx
mount -t tmpfs -o mode=1777 tmpfs /root/dev/shm
mount -t tmpfs -o mode=0755 tmpfs /root/run
mount -t tmpfs -o mode=1777 tmpfs /root/tmp

shared=$(cat /run/shared)
mkdir -p "/root$shared"
mount -t 9p -o "$options" shared "/root$shared" || stop "cannot mount the shared directory $shared"
exchange=$shared/$(cat /run/exchange)

chroot /root /bin/bash "$exchange/command.sh" </dev/null
echo $? >"/root$exchange/status"
sync
umount "/root$shared"
poweroff -f
