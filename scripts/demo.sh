#!/usr/bin/env bash
# Builds the module and shows its main job on an embedded default: a throwaway
# running domain (the small test guest) is backed up with the stand-in archiver and
# restored with last:true, which defines the restored domain under a free name.
# The module runs in a private mount namespace with a scratch /opt/zelvor, so the
# host's own installation is untouched; everything the demo creates (both domains,
# their images, the scratch directory) is removed when it ends, however it ends.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

step() { printf '\n== %s\n' "$*"; }

bash scripts/setup.sh
bash scripts/start_libvirt.sh
step "building"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build zv_module_kvm zvfd >/dev/null
step "building the test guest (cached after the first time)"
guest=$(bash tests/guest/build_guest.sh | tail -n1)

virsh_() { LANG=C virsh -c qemu:///system "$@"; }

domain="zv-demo-$$"
media_server=demo-media
task_id=demo-task
archive="${domain}_full_1"
scratch=$(mktemp -d /var/tmp/zv-demo-XXXXXX)
chmod 0755 "$scratch"  # QEMU runs as libvirt-qemu and must reach the images

# The restored domain is "$domain-N"; a failed run may leave one half made.
demo_domains() {
  virsh_ list --all --name | grep -E "^${domain}(-[0-9]+)?\$" || true
}
cleanup() {
  local status=$?
  trap - EXIT
  for d in $(demo_domains); do
    virsh_ destroy "$d" >/dev/null 2>&1 || true
    virsh_ undefine "$d" --snapshots-metadata >/dev/null 2>&1 || true
  done
  rm -rf "$scratch"
  if [ "$status" -eq 0 ]; then
    printf '\n== cleaned up: domains %s*, their images and %s\n' "$domain" "$scratch"
  else
    printf '\n== the demo failed (status %s); cleaned up what it had created\n' "$status" >&2
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# Without /proc/modules (a container) lsmod cannot answer: the stand-in reports the kvm
# modules when the KVM device is there. The module refuses a host without them.
lsmod_layer=
lsmod=/sbin/lsmod
if [ ! -r /proc/modules ]; then
  lsmod_layer=$scratch/lsmod-layer
  mkdir -p "$lsmod_layer"
  cp standins/lsmod/lsmod "$lsmod_layer/lsmod"
  lsmod=$lsmod_layer/lsmod
fi
"$lsmod" | grep -q kvm ||
  { echo "no kvm kernel module on this host: the module does not work here" >&2; exit 1; }

# --- the throwaway domain -------------------------------------------------------------
step "creating and starting domain $domain"
disks=$scratch/disks
mkdir -p "$disks"
chmod 0755 "$disks"
cp "$guest/vmlinuz" "$guest/initrd.img" "$guest/system.qcow2" "$guest/data.qcow2" "$disks/"
cat >"$scratch/domain.xml" <<XML
<domain type='qemu'>
  <name>$domain</name>
  <memory unit='MiB'>192</memory>
  <vcpu>1</vcpu>
  <os>
    <type arch='x86_64' machine='pc'>hvm</type>
    <kernel>$disks/vmlinuz</kernel>
    <initrd>$disks/initrd.img</initrd>
    <cmdline>console=ttyS0 panic=-1 loglevel=4</cmdline>
  </os>
  <features><acpi/></features>
  <on_poweroff>destroy</on_poweroff>
  <on_reboot>destroy</on_reboot>
  <devices>
    <emulator>/usr/bin/qemu-system-x86_64</emulator>
    <disk type='file' device='disk'>
      <driver name='qemu' type='qcow2'/>
      <source file='$disks/system.qcow2'/>
      <target dev='vda' bus='virtio'/>
    </disk>
    <disk type='file' device='disk'>
      <driver name='qemu' type='qcow2'/>
      <source file='$disks/data.qcow2'/>
      <target dev='vdb' bus='virtio'/>
    </disk>
    <controller type='virtio-serial' index='0'/>
    <channel type='unix'>
      <target type='virtio' name='org.qemu.guest_agent.0'/>
    </channel>
    <serial type='file'>
      <source path='$scratch/console.log'/>
      <target port='0'/>
    </serial>
    <memballoon model='none'/>
  </devices>
</domain>
XML
virsh_ -q define "$scratch/domain.xml" >/dev/null
virsh_ -q start "$domain" >/dev/null
for _ in $(seq 1 300); do
  virsh_ qemu-agent-command "$domain" '{"execute":"guest-ping"}' >/dev/null 2>&1 && break
  sleep 0.3
done
virsh_ qemu-agent-command "$domain" '{"execute":"guest-ping"}' >/dev/null ||
  { echo "the guest agent of $domain did not answer" >&2; tail -n 20 "$scratch/console.log" >&2; exit 1; }
virsh_ domblklist "$domain"

# --- the scratch /opt/zelvor ------------------------------------------------------------
opt=$scratch/opt
mkdir -p "$opt"/{bin,etc,log,var/tasks,var/zelvor-modules,keys,scripts} "$scratch/mnt/zelvor"
cp build/standins/zvfd "$opt/bin/zvfd"
echo "demo task secret" >"$opt/var/tasks/task_secret_$task_id"
mkdir -p "$scratch/work" "$scratch/restore"

# Runs the module (or, with "sh", a command) inside the namespace.
in_namespace() {
  unshare --mount --propagation private bash -c '
    set -e
    scratch=$1; lsmod_layer=$2; shift 2
    mount --make-rprivate /
    mount -t overlay zvdemo -o lowerdir="$scratch/mnt:/opt" /opt
    mount --bind "$scratch/opt" /opt/zelvor
    if [ -n "$lsmod_layer" ]; then
      sbin=$(realpath /sbin)
      mount -t overlay zvdemo-sbin -o lowerdir="$lsmod_layer:$sbin" "$sbin"
    fi
    exec "$@"
  ' in_namespace "$scratch" "$lsmod_layer" "$@"
}

# Shows the command, its output and its exit status. Protocol lines (what the client
# agent reads) are marked ">"; runs of progress lines are cut to their ends.
module() {
  printf '\n$ zv_module_kvm %s\n' "$*"
  local status=0
  in_namespace "$repo/build/zv_module_kvm" "$@" >"$scratch/out" 2>&1 || status=$?
  sed 's/\x1b\[[0-9;]*m//g' "$scratch/out" | awk '
    function flush() {
      if (held > 2) printf "  >   ... %d more progress lines\n", held - 2
      if (held > 1) print "  > " last
      held = 0
    }
    /^(Packed|Unpacked|Transferred): / {
      if (held == 0) print "  > " $0
      held++; last = $0; next
    }
    { flush(); print (/^\[/ ? "    " : "  > ") $0 }
    END { flush() }'
  echo "    exit status: $status"
  return "$status"
}

# --- backup ---------------------------------------------------------------------------
step "full backup of the running domain $domain"
module -1 -b "$domain" -d "$scratch/work" -n "$archive" -m "$media_server" -T "$task_id"
echo "  the archive in the stand-in's store (the media server):"
ls -l "$opt/var/standin-store/$media_server/" | sed 's/^/    /'
echo "  $domain runs on its own disks again:"
virsh_ domblklist "$domain" | sed 's/^/    /'

# --- restore --------------------------------------------------------------------------
step "restore of record $archive with last:true"
module -r "$archive" -M "$scratch/work/$archive.snap" -d "$scratch/restore" \
  -m "$media_server" -T "$task_id" -e last:true

restored=$(demo_domains | grep -vx "$domain" | head -n1)
[ -n "$restored" ] || { echo "no restored domain was defined" >&2; exit 1; }
step "the restored domain: $restored"
virsh_ dominfo "$restored" | grep -E '^(Name|UUID|State|Max memory)' | sed 's/^/    /'
virsh_ domblklist "$restored" | sed 's/^/    /'
for image in $(virsh_ domblklist "$restored" | awk '$2 ~ /^\// { print $2 }'); do
  qemu-img info -U "$image" | grep -E '^(image|file format|virtual size)' | sed 's/^/    /'
done
