#!/usr/bin/env bash
# Builds the module and runs it on an embedded default inside a private mount
# namespace with a scratch /opt/zelvor, so the host's own installation is untouched.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/start_libvirt.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build zv_module_kvm

scratch=$(mktemp -d /tmp/zv-demo-XXXXXX)
domain="zv-demo-$$"
cleanup() {
  virsh -q destroy "$domain" >/dev/null 2>&1 || true
  virsh -q undefine "$domain" >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap cleanup EXIT

cat > "$scratch/domain.xml" <<XML
<domain type='qemu'>
  <name>$domain</name>
  <memory unit='MiB'>32</memory>
  <os><type arch='x86_64'>hvm</type></os>
  <devices><emulator>/usr/bin/qemu-system-x86_64</emulator></devices>
</domain>
XML
virsh -q define "$scratch/domain.xml" >/dev/null
mkdir -p "$scratch/opt/bin" "$scratch/opt/etc" "$scratch/opt/log" "$scratch/opt/var" "$scratch/extra/zelvor"
bin="$PWD/build/zv_module_kvm"
unshare --mount --propagation private bash -c '
  set -e
  mount -t overlay zvdemo -o lowerdir="$1/extra:/opt" /opt
  mount --bind "$1/opt" /opt/zelvor
  run() { echo "\$ zv_module_kvm $*"; "$0" "$@"; echo "exit status: $?"; echo; }
  set +e
  run -V
  run --show-module-properties; echo
  run -L
' "$bin" "$scratch"
