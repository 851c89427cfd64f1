#!/usr/bin/env bash
# Installs every build and test dependency from Debian's packages.
# Idempotent: when everything is present it prints nothing and installs nothing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libboost1.81-dev
  libboost-program-options1.81-dev libboost-filesystem1.81-dev libboost-json1.81-dev
  libboost-regex1.81-dev libboost-thread1.81-dev libboost-chrono1.81-dev
  libboost-system1.81-dev libboost-date-time1.81-dev libboost-serialization1.81-dev
  libxml2-dev libgtest-dev googletest libssl-dev
  libvirt-daemon-system libvirt-clients qemu-system-x86 qemu-utils qemu-guest-agent
  openssl libengine-gost-openssl tar gzip util-linux procps
  busybox-static cpio e2fsprogs kmod lvm2 xz-utils
  libzstd-dev libcurl4-openssl-dev
  ceph-mon ceph-mgr ceph-osd radosgw ceph-common qemu-block-extra
  openssh-server openssh-client
)

# Without udev nothing gives /dev/kvm Debian's usual root:kvm 0660. libvirtd's cached
# QEMU probe (run as root) then says KVM while its check as libvirt-qemu says no, so it
# probes QEMU again on every define and start: seconds each, minutes when tests run in
# parallel. The test domains stay type='qemu' (TCG) all the same.
kvm_device_like_udev() {
  [ -c /dev/kvm ] && getent group kvm >/dev/null || return 0
  [ "$(stat -c %G:%a /dev/kvm)" = kvm:660 ] || { chgrp kvm /dev/kvm && chmod 0660 /dev/kvm; }
}

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then kvm_device_like_udev; exit 0; fi

export DEBIAN_FRONTEND=noninteractive
echo "setup: installing ${missing[*]}" >&2
apt-get update -qq >/dev/null
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
kvm_device_like_udev
