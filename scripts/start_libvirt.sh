#!/usr/bin/env bash
# Starts virtlogd and libvirtd when they are not running (nothing starts them by
# itself on these machines) and waits until the system connection answers.
set -euo pipefail
if virsh -c qemu:///system version >/dev/null 2>&1; then exit 0; fi
pgrep -x virtlogd >/dev/null || virtlogd -d
pgrep -x libvirtd >/dev/null || libvirtd -d
for _ in $(seq 1 100); do
  virsh -c qemu:///system version >/dev/null 2>&1 && exit 0
  sleep 0.2
done
echo "libvirtd did not answer on qemu:///system" >&2
exit 1
