#!/usr/bin/env bash
# Backup of a running domain: the module against the same work done by hand.
#
#   bash bench/backup_bench.sh     (root; RUNS=N rounds, default 3; BUILD_DIR, default build;
#                                   DATA_GIB=N size of the data disk, default 1)
#
# The test guest runs with an extra 1 GiB data disk (vdc, every byte written with
# random data, which neither compresses nor deduplicates). Each round backs it up
# once with the module (the archiver zvfd built here, run as the module runs it by
# default: without -z, so with the archiver's own default compression, and without
# encryption, into a fresh local media-server repository; scratch /opt/zelvor in a
# private mount namespace) and once by hand: a
# bare quiesced `virsh snapshot-create-as`, `cp --sparse=always` of every image,
# `sync` of the copies and `virsh blockcommit` of every disk. A small program in
# front of virsh inside the namespace (bench/virsh_timed.cpp) times the module's own
# virsh commands. Reported, as medians over the rounds, with the ratios module / by
# hand:
#   frozen    the snapshot command, start to end (the guest's file systems are frozen
#             inside it)
#   overlays  end of the snapshot command to the end of the last pivot
#   total     the whole run
# Goals: total <= 1.2, frozen <= 1.1. TIMELINE=1 also prints each of the module's
# virsh commands (start, duration) and its log.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
runs=${RUNS:-3}
build=${BUILD_DIR:-build}
data_gib=${DATA_GIB:-1}
source scripts/lib/guest_domain.sh

bash scripts/setup.sh
bash scripts/start_libvirt.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$build" zv_module_kvm zvfd virsh_timed >/dev/null
guest=$(bash tests/guest/build_guest.sh | tail -n1)

now() { date +%s.%N; }

domain="zv-bench-$$"
scratch=$(mktemp -d /var/tmp/zv-bench-XXXXXX)
chmod 0755 "$scratch"
cleanup() {
  trap - EXIT
  guest_domain_remove "$domain"
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# --- the domain -----------------------------------------------------------------------
disks=$scratch/disks
mkdir -p "$disks"
chmod 0755 "$disks"
cp "$guest/vmlinuz" "$guest/initrd.img" "$guest/system.qcow2" "$guest/data.qcow2" "$disks/"
# Random bytes: a pattern would shrink to one stored block in the archiver, and the
# two sides would no longer move the same data.
head -c "${data_gib}G" /dev/urandom >"$disks/big.raw"
qemu-img convert -f raw -O qcow2 "$disks/big.raw" "$disks/big.qcow2"
rm -f "$disks/big.raw"
targets=(vda vdb vdc)
images=("$disks/system.qcow2" "$disks/data.qcow2" "$disks/big.qcow2")
disk_pairs=()
for i in "${!targets[@]}"; do disk_pairs+=("${targets[$i]}=${images[$i]}"); done
guest_domain_xml "$domain" "$disks" "$scratch/console.log" "${disk_pairs[@]}" >"$scratch/domain.xml"
guest_domain_start "$domain" "$scratch/domain.xml"

# --- the module's side ------------------------------------------------------------------
opt=$scratch/opt
zelvor_scratch_opt "$scratch" "$build/zvfd" bench "bench task secret"
lsmod_layer=$(lsmod_layer_for "$scratch")
virsh_times=$scratch/virsh-times
cp "$build/bench/virsh_timed" "$scratch/virsh-timed"
export ZV_BENCH_VIRSH_REAL=$scratch/virsh.real ZV_BENCH_VIRSH_TIMES=$virsh_times

# One module backup; prints "frozen overlays total" in seconds.
module_backup() {
  local name=$1 work=$scratch/work-$1 start end
  mkdir -p "$work"
  : >"$virsh_times"
  start=$(now)
  in_zelvor_namespace zvbench "$scratch" "$lsmod_layer" "$scratch/virsh-timed" \
    "$repo/$build/zv_module_kvm" -1 -b "$domain" -d "$work" -n "$name" \
    -m bench-media -T bench >"$scratch/module.out" 2>&1 ||
    { sed 's/\x1b\[[0-9;]*m//g' "$scratch/module.out" >&2; echo "the module's backup failed" >&2; exit 1; }
  end=$(now)
  rm -rf "$work" "$opt/var/repositories"
  if [ -n "${TIMELINE:-}" ]; then
    awk -v t0="$start" '{ printf "    %7.3f %7.3f  %s\n", $1 - t0, $2 - $1, substr($0, index($0, $4)) }' \
      "$virsh_times" >&2
    sed 's/\x1b\[[0-9;]*m//g' "$scratch/module.out" | grep '^\[' | cut -c1-160 >&2
  fi
  awk -v start="$start" -v end="$end" '
    $4 == "snapshot-create-as" { snap_start = $1; snap_end = $2 }
    $4 == "blockcommit" && $2 > pivot { pivot = $2 }
    END {
      if (!snap_end || !pivot) { print "no snapshot or pivot seen" > "/dev/stderr"; exit 1 }
      printf "%.3f %.3f %.3f\n", snap_end - snap_start, pivot - snap_end, end - start
    }' "$virsh_times"
}

# The same by hand; prints "frozen overlays total".
hand_backup() {
  local name=$1 copy=$scratch/copy-$1 start snap_start snap_end pivot
  mkdir -p "$copy"
  local specs=()
  for i in "${!targets[@]}"; do
    specs+=(--diskspec "${targets[$i]},file=$disks/$name.snapshot.${targets[$i]}.qcow2,snapshot=external")
  done
  start=$(now)
  snap_start=$(now)
  virsh_ snapshot-create-as --domain "$domain" "$name" "${specs[@]}" \
    --disk-only --quiesce --atomic --no-metadata >/dev/null
  snap_end=$(now)
  cp --sparse=always "${images[@]}" "$copy/"
  # The archiver's backup is on disk when it ends; a copy still in the page cache is
  # not the same work (and removed at once it would never be written at all).
  sync "$copy"/*
  for target in "${targets[@]}"; do
    virsh_ blockcommit "$domain" "$target" --active --pivot --shallow >/dev/null
  done
  pivot=$(now)
  rm -f "$disks/$name".snapshot.*.qcow2
  local end
  end=$(now)
  rm -rf "$copy"
  awk -v a="$snap_start" -v b="$snap_end" -v p="$pivot" -v s="$start" -v e="$end" \
    'BEGIN { printf "%.3f %.3f %.3f\n", b - a, p - b, e - s }'
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

[ -c /dev/kvm ] || echo "This host has no KVM: the domain runs under emulation, and the module's host check is shown the kvm modules as loaded."
echo "backup of running domain $domain: vda 32 MiB, vdb 64 MiB, vdc $data_gib GiB of random data; $runs rounds"
: >"$scratch/module.times"
: >"$scratch/hand.times"
for round in $(seq 1 "$runs"); do
  m=$(module_backup "m$round")
  h=$(hand_backup "h$round")
  echo "$m" >>"$scratch/module.times"
  echo "$h" >>"$scratch/hand.times"
  printf 'round %d  module: frozen %s s, overlays %s s, total %s s   by hand: frozen %s s, overlays %s s, total %s s\n' \
    "$round" $m $h
done
column_median() { awk -v c="$1" '{ print $c }' "$2" | median; }
printf '\n%-9s %10s %10s %8s %s\n' "median" "module" "by hand" "ratio" "goal"
for spec in "1 frozen 1.1" "2 overlays -" "3 total 1.2"; do
  set -- $spec
  mm=$(column_median "$1" "$scratch/module.times")
  hh=$(column_median "$1" "$scratch/hand.times")
  awk -v n="$2" -v m="$mm" -v h="$hh" -v g="$3" \
    'BEGIN { printf "%-9s %9.3fs %9.3fs %8.2f %s\n", n, m, h, (h > 0 ? m / h : 0), (g == "-" ? "" : "<= " g) }'
done
