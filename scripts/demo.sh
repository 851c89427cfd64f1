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
source scripts/lib/guest_domain.sh

step() { printf '\n== %s\n' "$*"; }

[ -c /dev/kvm ] || echo "This host has no KVM: the demo's domain runs under emulation, and the module's host check is shown the kvm modules as loaded."
bash scripts/setup.sh
bash scripts/start_libvirt.sh
step "building"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build zv_module_kvm zvfd >/dev/null
step "building the test guest (cached after the first time)"
guest=$(bash tests/guest/build_guest.sh | tail -n1)

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
    guest_domain_remove "$d"
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

lsmod_layer=$(lsmod_layer_for "$scratch")

# --- the throwaway domain -------------------------------------------------------------
step "creating and starting domain $domain"
disks=$scratch/disks
mkdir -p "$disks"
chmod 0755 "$disks"
cp "$guest/vmlinuz" "$guest/initrd.img" "$guest/system.qcow2" "$guest/data.qcow2" "$disks/"
guest_domain_xml "$domain" "$disks" "$scratch/console.log" \
  vda="$disks/system.qcow2" vdb="$disks/data.qcow2" >"$scratch/domain.xml"
guest_domain_start "$domain" "$scratch/domain.xml" ||
  { echo "the guest agent of $domain did not answer" >&2; tail -n 20 "$scratch/console.log" >&2; exit 1; }
virsh_ domblklist "$domain"
# A file the guest writes before the backup: the restored data disk must hold it.
proof=$(guest_exec "$domain" 'head -c 4194304 /dev/urandom >/data/demo.bin && sync && sha256sum /data/demo.bin') ||
  { echo "the guest could not write its test file" >&2; exit 1; }
proof=${proof%% *}
echo "  the guest wrote /data/demo.bin on vdb, sha256 $proof"

# --- the scratch /opt/zelvor ------------------------------------------------------------
opt=$scratch/opt
zelvor_scratch_opt "$scratch" build/zvfd "$task_id" "demo task secret"
mkdir -p "$scratch/work" "$scratch/restore"

# Shows the command, its output and its exit status. Protocol lines (what the client
# agent reads) are marked ">"; runs of progress lines are cut to their ends.
module() {
  printf '\n$ zv_module_kvm %s\n' "$*"
  local status=0
  in_zelvor_namespace zvdemo "$scratch" "$lsmod_layer" "" "$repo/build/zv_module_kvm" "$@" \
    >"$scratch/out" 2>&1 || status=$?
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
echo "  $domain runs on its own disks again:"
virsh_ domblklist "$domain" | sed 's/^/    /'

# The repository of the media server against the data: blocks already stored are not
# stored again, so an incremental backup after a small change adds little.
repository=$opt/var/repositories/$media_server
mib() { awk -v b="$1" 'BEGIN { printf "%.1f MiB", b / 1048576 }'; }
data_bytes=$(du -cb "$disks/system.qcow2" "$disks/data.qcow2" | tail -n1 | cut -f1)
after_full=$(du -sb "$repository" | cut -f1)
cp "$scratch/work/$archive.snap" "$scratch/reference.snap"
guest_exec "$domain" 'head -c 1048576 /dev/urandom >/data/change.bin && sync' >/dev/null ||
  { echo "the guest could not write its change" >&2; exit 1; }
step "incremental backup of $domain after the guest wrote 1 MiB"
module -2 -b "$domain" -d "$scratch/work" -n "${domain}_incr_2" -m "$media_server" -T "$task_id" \
  -s "$scratch/reference.snap"
after_incr=$(du -sb "$repository" | cut -f1)
echo "  the records in the repository of media server $media_server:"
ls -l "$repository/tasks/$task_id/records/" | sed 's/^/    /'
echo "  data on the domain's disks:           $(mib "$data_bytes")"
echo "  repository after the full backup:     $(mib "$after_full")"
echo "  growth by the incremental backup:     $(mib $((after_incr - after_full)))"

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

# The data disk of the restored domain must hold the file as the guest wrote it before
# the backup: read it straight from the restored image (ext4 inside qcow2).
step "the guest's file, read back from the restored data disk"
restored_data=$(virsh_ domblklist "$restored" | awk '$1 == "vdb" { print $2 }')
qemu-img convert -U -O raw "$restored_data" "$scratch/restored-data.raw"
debugfs -R "dump /demo.bin $scratch/demo.bin" "$scratch/restored-data.raw" >/dev/null 2>&1
restored_sum=$(sha256sum "$scratch/demo.bin" 2>/dev/null | cut -d' ' -f1)
echo "    written in the guest:   $proof"
echo "    read from $(basename "$restored_data"): ${restored_sum:-(missing)}"
[ "$restored_sum" = "$proof" ] || { echo "the restored data disk does not hold the guest's file" >&2; exit 1; }
echo "    identical"
