#!/usr/bin/env bash
# Backup and restore of a running domain: the module against virtnbdbackup, what an
# administrator of a KVM host would run instead (Debian's package, installed here when
# missing: libvirt backup jobs over NBD, dirty bitmaps for its incrementals).
#
#   bash bench/backup_bench.sh     (root; RUNS=N rounds, default 3; BUILD_DIR, default
#                                   build; DATA_GIB=N size of the data disk, default 1;
#                                   CHANGE_MIB=N written before the incremental, default
#                                   64; TIMELINE=1 prints each step's timeline)
#
# Two identical running domains on the test guest, each with an extra data disk vdc of
# DATA_GIB GiB of random bytes (which neither compresses nor deduplicates): one for the
# module, one for virtnbdbackup, whose checkpoints would otherwise meet the module's
# snapshots. The module runs as it runs by default (the archiver zvfd built here,
# without -z, so with the archiver's own default compression, without encryption, into
# a fresh local media-server repository each round; scratch /opt/zelvor in a private
# mount namespace). Each round, both sides in turn (who goes first alternates), with the
# page cache dropped before each timed step and each side's output flushed to the disk
# inside its time:
#   full         module -1; virtnbdbackup -l full
#   incremental  after the guest wrote CHANGE_MIB MiB of random data at a random place
#                of vdc: module -2 -s with the full's snapshot file; virtnbdbackup -l inc
#   restore      of the incremental point: module -r with last:true into a folder (it
#                defines the restored domain); virtnbdrestore of the chain into a folder
# and a check that each side's restored vdc equals its source at the incremental's
# snapshot point. The guest writes nothing to vdc after the change (vdc carries no file
# system), and that point is copied from the image while the domain is paused after
# the change reached it (written with fsync).
# Also timed on the module's domain: a bare quiesced `virsh snapshot-create-as`, the
# reference for the module's frozen time (its snapshot command, start to end: the
# guest's file systems are frozen inside it). A small program in front of virsh inside
# the namespace (bench/virsh_timed.cpp) times the module's own virsh commands.
# Reported: medians over the rounds, the ratios module / virtnbdbackup, the bytes each
# side stored. Goals: full at most 1/3 (3x faster), restore at most 1/5, incremental at
# most 1.2 (at DATA_GIB=1), frozen at most 1.1 against the bare snapshot.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
runs=${RUNS:-3}
build=${BUILD_DIR:-build}
data_gib=${DATA_GIB:-1}
change_mib=${CHANGE_MIB:-64}
source scripts/lib/guest_domain.sh

[ $((data_gib * 1024)) -gt "$change_mib" ] || { echo "CHANGE_MIB must be smaller than DATA_GIB GiB" >&2; exit 2; }
bash scripts/setup.sh
bash scripts/start_libvirt.sh
command -v virtnbdbackup >/dev/null ||
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q virtnbdbackup >/dev/null
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$build" zv_module_kvm zvfd virsh_timed cold_read >/dev/null
guest=$(bash tests/guest/build_guest.sh | tail -n1)

now() { echo "$EPOCHREALTIME"; }

module_domain="zv-bench-$$-module"
peer_domain="zv-bench-$$-peer"
scratch=$(mktemp -d /var/tmp/zv-bench-XXXXXX)
chmod 0755 "$scratch"
# The module's restores define domains named after its own ("...-0").
restored_domains() {
  virsh_ list --all --name | grep -E "^${module_domain}-[0-9]+\$" || true
}
cleanup() {
  trap - EXIT
  local d
  for d in $(restored_domains) "$module_domain"; do guest_domain_remove "$d"; done
  virsh_ destroy "$peer_domain" >/dev/null 2>&1 || true
  virsh_ undefine "$peer_domain" --checkpoints-metadata >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# --- the domains ----------------------------------------------------------------------
# Random bytes: a pattern would shrink to one stored block in the archiver, and the
# two sides would no longer move the same data.
head -c "${data_gib}G" /dev/urandom >"$scratch/big.raw"
qemu-img convert -f raw -O qcow2 "$scratch/big.raw" "$scratch/big.qcow2"
rm -f "$scratch/big.raw"
targets=(vda vdb vdc)
images=(system.qcow2 data.qcow2 big.qcow2)
for side in module peer; do
  dir=$scratch/$side
  mkdir -p "$dir"
  chmod 0755 "$dir"
  cp "$guest/vmlinuz" "$guest/initrd.img" "$guest/system.qcow2" "$guest/data.qcow2" "$scratch/big.qcow2" "$dir/"
  pairs=()
  for i in "${!targets[@]}"; do pairs+=("${targets[$i]}=$dir/${images[$i]}"); done
  name=${side}_domain
  guest_domain_xml "${!name}" "$dir" "$scratch/$side-console.log" "${pairs[@]}" >"$scratch/$side.xml"
  guest_domain_start "${!name}" "$scratch/$side.xml"
done
rm -f "$scratch/big.qcow2"

# --- the module's side ------------------------------------------------------------------
opt=$scratch/opt
media=bench-media
zelvor_scratch_opt "$scratch" "$build/zvfd" bench "bench task secret"
lsmod_layer=$(lsmod_layer_for "$scratch")
virsh_times=$scratch/virsh-times
cp "$build/bench/virsh_timed" "$scratch/virsh-timed"
export ZV_BENCH_VIRSH_REAL=$scratch/virsh.real ZV_BENCH_VIRSH_TIMES=$virsh_times

drop_caches() { sync; echo 3 >/proc/sys/vm/drop_caches; }
# What a step wrote must be on the disk within its time (zvfd flushes its own before it
# ends, tar and virtnbdbackup do not): one flush of the file system the outputs lie on
# (all of them on the scratch directory's). Not a flush of each file: on ext4 that asks
# the disk to empty its cache once a file, even for a file that is clean, and the
# module's repository holds hundreds of them.
sync_files() { sync -f "$scratch"; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f\n", b - a }'; }
strip() { sed 's/\x1b\[[0-9;]*m//g' "$@"; }

# stamp: each line read, after the time it was read at; a timeline of a program's
# output even where its own log counts whole seconds.
stamp() { local line; while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "$line"; done; }

# module_run LOG COMMAND-ARGS...: one module run in the namespace, its output stamped
# into LOG and its virsh commands timed into $virsh_times; prints its start time.
module_run() {
  local log=$1 start
  shift
  : >"$virsh_times"
  start=$(now)
  in_zelvor_namespace zvbench "$scratch" "$lsmod_layer" "$scratch/virsh-timed" \
    "$repo/$build/zv_module_kvm" "$@" 2>&1 | stamp >"$log" ||
    { strip "$log" >&2; echo "the module failed: $*" >&2; exit 1; }
  echo "$start"
}
# module_timeline START END LOG: the module's virsh commands (start, duration, command)
# and its output lines (when read), in seconds from START.
module_timeline() {
  [ -n "${TIMELINE:-}" ] || return 0
  {
    awk -v t0="$1" '{ printf "%9.3f %7.3f  virsh %s\n", $1 - t0, $2 - $1, substr($0, index($0, $4)) }' "$virsh_times"
    strip "$3" | awk -v t0="$1" '{ t = $1; sub(/^[^ ]* /, ""); sub(/^\[[0-9: -]*\] /, ""); printf "%9.3f %7s  %s\n", t - t0, "", $0 }'
  } | sort -s -n -k1,1 | cut -c1-180 >&2
  printf '%9.3f %7s  (output flushed)\n' "$(seconds "$1" "$2")" "" >&2
}
peer_timeline() {
  [ -n "${TIMELINE:-}" ] || return 0
  # Its log lines only, without the metadata it dumps between them.
  awk -v t0="$2" '{ t = $1; sub(/^[^ ]* /, "") } /^\[/ { sub(/^\[[0-9: -]*\] [A-Z]* [a-z]* [a-z]* - /, ""); printf "%9.3f %7s  %s\n", t - t0, "", $0 }' \
    "$1" | cut -c1-180 >&2
  printf '%9.3f %7s  (output flushed)\n' "$(seconds "$2" "$3")" "" >&2
}

# The module's full backup of round R; prints "frozen total".
module_full() {
  local work=$scratch/work-$1 start end frozen
  mkdir -p "$work"
  drop_caches
  start=$(module_run "$scratch/module-full.log" -1 -b "$module_domain" -d "$work" \
    -n "bench_full_$1" -m "$media" -T bench)
  sync_files
  end=$(now)
  [ -z "${TIMELINE:-}" ] || echo "  module, full backup:" >&2
  module_timeline "$start" "$end" "$scratch/module-full.log"
  frozen=$(awk '$4 == "snapshot-create-as" { printf "%.3f", $2 - $1 }' "$virsh_times")
  [ -n "$frozen" ] || { echo "the module's full backup took no snapshot" >&2; exit 1; }
  echo "$frozen $(seconds "$start" "$end")"
}
module_incremental() {
  local work=$scratch/work-$1 start end
  drop_caches
  start=$(module_run "$scratch/module-incr.log" -2 -b "$module_domain" -d "$work" \
    -n "bench_incr_$1" -m "$media" -T bench -s "$work/bench_full_$1.snap")
  sync_files
  end=$(now)
  [ -z "${TIMELINE:-}" ] || echo "  module, incremental backup:" >&2
  module_timeline "$start" "$end" "$scratch/module-incr.log"
  seconds "$start" "$end"
}
# The restore defines the domain again under a free name, with its images copied
# beside the originals; those copies are its output.
module_restore() {
  local work=$scratch/work-$1 start end
  mkdir -p "$scratch/restore-$1"
  ls "$scratch/module" >"$scratch/module-images.before"
  drop_caches
  start=$(module_run "$scratch/module-restore.log" -r "bench_incr_$1" -M "$work/bench_incr_$1.snap" \
    -d "$scratch/restore-$1" -m "$media" -T bench -e last:true)
  sync_files
  end=$(now)
  ls "$scratch/module" | grep -vxF -f "$scratch/module-images.before" | sed "s|^|$scratch/module/|" \
    >"$scratch/module-images.new" || { echo "the module's restore copied no image" >&2; exit 1; }
  [ -z "${TIMELINE:-}" ] || echo "  module, restore:" >&2
  module_timeline "$start" "$end" "$scratch/module-restore.log"
  seconds "$start" "$end"
}

# --- virtnbdbackup's side ---------------------------------------------------------------
peer_step() {  # NAME COMMAND...; prints the seconds
  local name=$1 start end
  shift
  drop_caches
  start=$(now)
  "$@" 2>&1 | stamp >"$scratch/peer-$name.log" ||
    { cat "$scratch/peer-$name.log" >&2; echo "virtnbdbackup failed: $*" >&2; exit 1; }
  sync_files
  end=$(now)
  [ -z "${TIMELINE:-}" ] || echo "  virtnbdbackup, $name:" >&2
  peer_timeline "$scratch/peer-$name.log" "$start" "$end"
  seconds "$start" "$end"
}
peer_full() { peer_step full virtnbdbackup -n -d "$peer_domain" -l full -o "$scratch/vnb-$1"; }
peer_incremental() { peer_step incremental virtnbdbackup -n -d "$peer_domain" -l inc -o "$scratch/vnb-$1"; }
peer_restore() {
  peer_step restore virtnbdrestore -n -i "$scratch/vnb-$1" -o "$scratch/vnbr-$1" \
    -L "$scratch/vnbr-$1.log"
}

# A bare quiesced snapshot of the module's domain, merged back untimed; prints its seconds.
hand_snapshot() {
  local specs=() start end target
  for target in "${targets[@]}"; do
    specs+=(--diskspec "$target,file=$scratch/module/hand.snapshot.$target.qcow2,snapshot=external")
  done
  # No cache dropped here: the module's snapshot command, too, finds virsh and its
  # libraries in the page cache, after the virsh commands it runs before it.
  start=$(now)
  virsh_ snapshot-create-as --domain "$module_domain" hand "${specs[@]}" \
    --disk-only --quiesce --atomic --no-metadata >/dev/null
  end=$(now)
  for target in "${targets[@]}"; do
    virsh_ blockcommit "$module_domain" "$target" --active --pivot --shallow >/dev/null
  done
  rm -f "$scratch/module/hand.snapshot".*.qcow2
  seconds "$start" "$end"
}

# The guest of SIDE writes CHANGE_MIB MiB of random data at 4 KiB block OFFSET of vdc
# and flushes it; then vdc is copied while the domain is paused: what the incrementals
# must restore.
change_and_capture() {
  local side=$1 offset=$2 name=${1}_domain
  guest_exec "${!name}" "dd if=/dev/urandom of=/dev/vdc bs=4096 seek=$offset count=$((change_mib * 256)) conv=fsync,notrunc 2>/dev/null" \
    >/dev/null || { echo "the guest of ${!name} could not write its change" >&2; exit 1; }
  virsh_ suspend "${!name}" >/dev/null
  qemu-img convert -U -f qcow2 -O raw "$scratch/$side/big.qcow2" "$scratch/$side-point.raw"
  virsh_ resume "${!name}" >/dev/null
}

# Bytes of the paths, and the restored vdc of each side against its point.
bytes() { du -scb "$@" | tail -n1 | cut -f1; }
same_as_point() { qemu-img compare -q -f raw -F qcow2 "$scratch/$1-point.raw" "$2"; }

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
mib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }

[ -c /dev/kvm ] || echo "This host has no KVM: the domains run under emulation, and the module's host check is shown the kvm modules as loaded."
echo "backup of two running domains (vda 32 MiB, vdb 64 MiB, vdc $data_gib GiB of random data), $change_mib MiB changed before the incremental; $runs rounds; load average $(cut -d' ' -f1-3 /proc/loadavg)"
: >"$scratch/module.times"
: >"$scratch/peer.times"
: >"$scratch/hand.times"
checks=ok
for round in $(seq 1 "$runs"); do
  order=(module peer)
  [ $((round % 2)) = 1 ] || order=(peer module)
  for side in "${order[@]}"; do
    case $side in module) m_full=$(module_full "$round") ;; peer) p_full=$(peer_full "$round") ;; esac
  done
  h=$(hand_snapshot)
  # The snapshot file is stored too (the client keeps it); the incremental, which is
  # given it, removes it.
  m_full_repo=$(bytes "$opt/var/repositories/$media")
  m_full_bytes=$(( m_full_repo + $(bytes "$scratch/work-$round/bench_full_$round.snap") ))
  p_full_bytes=$(bytes "$scratch/vnb-$round")

  offset=$(( $(od -An -N4 -tu4 /dev/urandom) % ((data_gib * 1024 - change_mib) * 256) ))
  change_and_capture module "$offset"
  change_and_capture peer "$offset"
  for side in "${order[@]}"; do
    case $side in module) m_incr=$(module_incremental "$round") ;; peer) p_incr=$(peer_incremental "$round") ;; esac
  done
  if [ -n "${TIMELINE:-}" ]; then
    # What the module's incremental cannot go below: its archiver reads every image whole.
    drop_caches
    echo "  cold read of the module's images (bench/cold_read): $("$build/bench/cold_read" "${images[@]/#/$scratch/module/}" |
      awk '{ printf "%.1f MiB in %s s", $1 / 1048576, $2 }')" >&2
  fi
  m_incr_bytes=$(( $(bytes "$opt/var/repositories/$media" "$scratch/work-$round/bench_incr_$round.snap") - m_full_repo ))
  p_incr_bytes=$(( $(bytes "$scratch/vnb-$round") - p_full_bytes ))

  for side in "${order[@]}"; do
    case $side in module) m_restore=$(module_restore "$round") ;; peer) p_restore=$(peer_restore "$round") ;; esac
  done
  restored_vdc=$(virsh_ domblklist "$(restored_domains | head -n1)" | awk '$1 == "vdc" { print $2 }')
  m_check=identical
  same_as_point module "$restored_vdc" || { m_check=DIFFERENT; checks=failed; }
  p_check=identical
  same_as_point peer "$scratch/vnbr-$round/big.qcow2" || { p_check=DIFFERENT; checks=failed; }

  echo "$m_full $m_incr $m_restore" >>"$scratch/module.times"
  echo "$p_full $p_incr $p_restore" >>"$scratch/peer.times"
  echo "$h" >>"$scratch/hand.times"
  printf 'round %d  module: frozen %s s, full %s s, incremental %s s, restore %s s, restored vdc %s\n' \
    "$round" $m_full "$m_incr" "$m_restore" "$m_check"
  printf '         virtnbdbackup: full %s s, incremental %s s, restore %s s, restored vdc %s; bare snapshot %s s\n' \
    "$p_full" "$p_incr" "$p_restore" "$p_check" "$h"

  # The next round starts from nothing on both sides.
  for d in $(restored_domains); do guest_domain_remove "$d"; done
  xargs -r rm -f <"$scratch/module-images.new"
  rm -rf "$opt/var/repositories" "$scratch/work-$round" "$scratch/restore-$round" \
    "$scratch/vnb-$round" "$scratch/vnbr-$round" "$scratch/vnbr-$round.log" "$scratch"/*-point.raw
done

column_median() { awk -v c="$1" '{ print $c }' "$2" | median; }
printf '\n%-12s %10s %14s %8s %s\n' "median" "module" "virtnbdbackup" "ratio" "goal"
print_row() {  # NAME MODULE PEER GOAL
  awk -v n="$1" -v m="$2" -v p="$3" -v g="$4" \
    'BEGIN { printf "%-12s %9.3fs %13.3fs %8.2f <= %s\n", n, m, p, (p > 0 ? m / p : 0), g }'
}
print_row full "$(column_median 2 "$scratch/module.times")" "$(column_median 1 "$scratch/peer.times")" "0.33"
print_row incremental "$(column_median 3 "$scratch/module.times")" "$(column_median 2 "$scratch/peer.times")" "1.2"
print_row restore "$(column_median 4 "$scratch/module.times")" "$(column_median 3 "$scratch/peer.times")" "0.2"
awk -v m="$(column_median 1 "$scratch/module.times")" -v h="$(median <"$scratch/hand.times")" \
  'BEGIN { printf "%-12s %9.3fs %13.3fs %8.2f <= 1.1  (against a bare quiesced snapshot)\n", "frozen", m, h, m / h }'
printf '\nstored (last round, MiB)  module  virtnbdbackup\n'
printf '%-24s %7s %14s\n' "full" "$(mib "$m_full_bytes")" "$(mib "$p_full_bytes")"
printf '%-24s %7s %14s\n' "incremental" "$(mib "$m_incr_bytes")" "$(mib "$p_incr_bytes")"
echo "restored vdc equal to the source at the incremental's snapshot point, every round: $checks"
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
[ "$checks" = ok ]
