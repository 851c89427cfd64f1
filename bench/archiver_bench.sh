#!/usr/bin/env bash
# The archiver zvfd against restic and borg, and against the machine's own limit, on one
# data set, all measured in this run with the page cache dropped before each timed step
# and each step's output flushed to the disk within its time (zvfd flushes what it
# writes before it ends; restic and borg leave their restored files in the page cache),
# printed as ratios:
#   a 4 GiB sparse image; 16 islands of 64 MiB random data, one every 256 MiB; 64 MiB
#   of compressible text (real text files, repeated) after each random island; 64 MiB
#   of written zeros at 192 MiB of every GiB. Then an incremental round after 64
#   random 1 MiB extents are rewritten with random data; then a restore of the latest
#   state.
# The machine's limit: `cp --sparse=always` of the image plus its flush (what a full
# backup at best costs: read it all, write it all), and a cold read of its data ranges
# (bench/cold_read.cpp: SEEK_DATA/SEEK_HOLE, large direct reads; what an incremental that
# reads the whole image at best costs). Each is taken once before the contenders and
# once after them, and their mean is the reference.
# zvfd runs with its default compression and AES-256-GCM (restic and borg with repokey
# encrypt too); a second zvfd run with Kuznyechik is reported beside it.
# Goals: full backup at most 1.25x the copy and at least 3x faster than restic and borg,
# incremental at most 1.25x the cold read, restore at least 1.5x faster than restic,
# repository at most 1.05x restic's, the restored image identical with the same
# allocated size, peak memory under 512 MiB.
#
#   bash bench/archiver_bench.sh [path/to/zvfd]     (default: build/zvfd; the build
#                                                    directory's bench/cold_read with it)
#   BENCH_DIR=/some/fs bash bench/archiver_bench.sh
#   TIMELINE=1 bash bench/archiver_bench.sh         (each step's reads, writes and
#                                                    processor time as it runs)
# Needs root (page cache, mount namespace for zvfd's /opt/zelvor); installs restic,
# borgbackup and GNU time with apt-get when they are missing.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib/dataset.sh"
zvfd=$(bench_zvfd "${1:-}")
cold_read=$(bench_tool "$(dirname "$zvfd")/bench/cold_read")
[ -z "${TIMELINE:-}" ] || proc_timeline=$(bench_tool "$(dirname "$zvfd")/bench/proc_timeline")
missing=()
command -v restic >/dev/null || missing+=(restic)
command -v borg >/dev/null || missing+=(borgbackup)
[ -x /usr/bin/time ] || missing+=(time)
if [ "${#missing[@]}" -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >/dev/null
fi

work=$(mktemp -d "${BENCH_DIR:-/var/tmp}/archiver-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
mib=$((1024 * 1024))
img=$work/src/disk.img
mkdir -p "$work/src" "$work/opt/var/tasks" "$work/opt/etc" "$work/out"

# --- the data set -----------------------------------------------------------------------
build_dataset "$work" "$img"

# The incremental round: 64 random 1 MiB extents rewritten with random data.
change_image() {
  local i
  for i in $(seq 1 64); do
    head -c "$mib" /dev/urandom |
      dd of="$img" bs=1M seek=$(( $(od -An -N4 -tu4 /dev/urandom) % 4096 )) conv=notrunc status=none
  done
  sync
}

# --- timing -----------------------------------------------------------------------------
declare -A secs mem
now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.2f\", $1 }"; }
# timed KEY COMMAND...: drops the page cache, runs the command and flushes what it
# wrote, records seconds and peak resident memory (KiB). With TIMELINE=1 the command
# runs under bench/proc_timeline and its storage reads, writes and processor time are
# printed every quarter of a second, then how long the flush after it took.
timed() {
  local key=$1 start ran end watch=()
  shift
  [ -z "${TIMELINE:-}" ] || watch=("$proc_timeline" "$work/out/$key.timeline" 50)
  sync
  echo 3 >/proc/sys/vm/drop_caches
  start=$(now)
  # Through bash, so the steps that are functions of this script run under time too.
  /usr/bin/time -f %M -o "$work/mem" "${watch[@]}" bash -c '"$@"' timed "$@" >"$work/out/$key.log" 2>&1 ||
    { cat "$work/out/$key.log" >&2; echo "$key failed" >&2; exit 1; }
  ran=$(now)
  sync
  end=$(now)
  secs[$key]=$(calc "$end - $start")
  mem[$key]=$(tail -n1 "$work/mem")
  echo "  $key: ${secs[$key]} s, peak ${mem[$key]} KiB" >&2
  [ -n "${TIMELINE:-}" ] || return 0
  awk 'BEGIN { print "      seconds   read MiB  written MiB  cpu seconds" }
    { t = $1; line = sprintf("    %9.3f %10.1f %12.1f %12.2f", $1, $2, $3, $4) }
    t >= next_at { print line; next_at = t + 0.25; printed = NR }
    END { if (printed != NR) print line }' "$work/out/$key.timeline" >&2
  echo "      then the flush: $(calc "$end - $ran") s" >&2
}

# zvfd runs in a mount namespace where $work/opt stands for /opt/zelvor, so its
# repositories lie in $work/opt/var/repositories.
echo "bench task secret" >"$work/opt/var/tasks/task_secret_bench"
printf 'ZVFD file list:\n%s : vda\n' "$img" >"$work/zvfd.list"
head -c 64 /dev/urandom >"$work/key"
in_opt() {
  unshare --mount --propagation private /bin/sh -c \
    'mount -t tmpfs zvbench /opt && mkdir /opt/zelvor && mount --bind "$0" /opt/zelvor && exec "$@"' \
    "$work/opt" "$@"
}
zvfd_backup() {  # CIPHER MEDIA NAME [REFERENCE]
  local ref=()
  [ -z "${4:-}" ] || ref=(-S "$4")
  in_opt "$zvfd" -a sha2 -2 -b 16384 -c "$work/zvfd.list" "${ref[@]}" -M "$2" -N "$3" -T bench \
    -s /opt/zelvor/var/tasks//task_secret_bench -m "$work/$2-$3.meta" -C "$1" -k "$work/key"
}
zvfd_restore() {  # CIPHER MEDIA NAME DIR
  in_opt "$zvfd" -R "$3" -M "$2" -T bench -s /opt/zelvor/var/tasks//task_secret_bench \
    -m "$work/$2-$3.meta" -d "$4" -C "$1" -k "$work/key"
}
export -f in_opt zvfd_backup zvfd_restore
export zvfd work
export RESTIC_PASSWORD=bench-password BORG_PASSPHRASE=bench-password
export RESTIC_REPOSITORY=$work/restic BORG_REPO=$work/borg BORG_UNKNOWN_UNENCRYPTED_REPO_ACCESS_IS_OK=yes
export RESTIC_CACHE_DIR=$work/restic-cache BORG_BASE_DIR=$work/borg-base
restic init >/dev/null
borg init --encryption=repokey >/dev/null 2>&1

echo "full backups" >&2
timed copy_1 cp --sparse=always "$img" "$work/copy.img"
rm -f "$work/copy.img"
timed zvfd_full zvfd_backup aes-256-gcm aes full
timed zvfd_k_full zvfd_backup kuznyechik kuz full
timed restic_full restic backup "$img"
timed borg_full borg create ::full "$img"
timed copy_2 cp --sparse=always "$img" "$work/copy.img"
rm -f "$work/copy.img"

change_image
echo "incremental backups" >&2
timed cold_read_1 "$cold_read" "$img"
timed zvfd_incr zvfd_backup aes-256-gcm aes incr "$work/aes-full.meta"
timed zvfd_k_incr zvfd_backup kuznyechik kuz incr "$work/kuz-full.meta"
timed restic_incr restic backup "$img"
timed borg_incr borg create ::incr "$img"
timed cold_read_2 "$cold_read" "$img"

echo "restores of the latest state" >&2
timed zvfd_restore zvfd_restore aes-256-gcm aes incr "$work/r-zvfd"
timed zvfd_k_restore zvfd_restore kuznyechik kuz incr "$work/r-kuz"
timed restic_restore restic restore latest --target "$work/r-restic"
mkdir -p "$work/r-borg"
timed borg_restore sh -c 'cd "$0" && borg extract --sparse ::incr' "$work/r-borg"

size() { du -sb "$1" | cut -f1; }
allocated() { echo $(( $(stat -c %b "$1") * $(stat -c %B "$1") )); }
repo_aes=$(size "$work/opt/var/repositories/aes")
repo_kuz=$(size "$work/opt/var/repositories/kuz")
repo_restic=$(size "$work/restic")
repo_borg=$(size "$work/borg")
identical=yes
cmp -s "$img" "$work/r-zvfd/vda" || identical=no
cmp -s "$img" "$work/r-kuz/vda" || identical=no

ratio() { calc "$1 / $2"; }
echo
echo "data: 4 GiB image, $(( $(allocated "$img") / mib )) MiB allocated"
printf '%-34s %10s %10s %10s %10s\n' "seconds" zvfd-aes zvfd-kuz restic borg
for step in full incr restore; do
  printf '%-34s %10s %10s %10s %10s\n' "$step" "${secs[zvfd_$step]}" "${secs[zvfd_k_$step]}" \
    "${secs[restic_$step]}" "${secs[borg_$step]}"
done
printf '%-34s %10s %10s %10s %10s\n' "repository bytes after both rounds" "$repo_aes" "$repo_kuz" "$repo_restic" "$repo_borg"
peak=0
for k in zvfd_full zvfd_incr zvfd_restore zvfd_k_full zvfd_k_incr zvfd_k_restore; do
  [ "${mem[$k]}" -gt "$peak" ] && peak=${mem[$k]}
done
echo
copy=$(calc "(${secs[copy_1]} + ${secs[copy_2]}) / 2")
cold=$(calc "(${secs[cold_read_1]} + ${secs[cold_read_2]}) / 2")
echo "the machine: cp --sparse=always plus sync ${secs[copy_1]} s and ${secs[copy_2]} s (mean $copy s);"
echo "             cold read of the data ranges ${secs[cold_read_1]} s and ${secs[cold_read_2]} s (mean $cold s)"
echo
echo "ratios (goal in brackets)"
for z in zvfd zvfd_k; do
  echo "$z:"
  echo "  full backup, zvfd / copy:          $(ratio "${secs[${z}_full]}" "$copy") (<= 1.25)"
  echo "  full backup, restic / zvfd:        $(ratio "${secs[restic_full]}" "${secs[${z}_full]}") (>= 3)"
  echo "  full backup, borg / zvfd:          $(ratio "${secs[borg_full]}" "${secs[${z}_full]}") (>= 3)"
  echo "  incremental, zvfd / cold read:     $(ratio "${secs[${z}_incr]}" "$cold") (<= 1.25)"
  echo "  incremental, restic / zvfd:        $(ratio "${secs[restic_incr]}" "${secs[${z}_incr]}")"
  echo "  incremental, borg / zvfd:          $(ratio "${secs[borg_incr]}" "${secs[${z}_incr]}")"
  echo "  restore, restic / zvfd:            $(ratio "${secs[restic_restore]}" "${secs[${z}_restore]}") (>= 1.5)"
done
echo "repository, zvfd-aes / restic:       $(ratio "$repo_aes" "$repo_restic") (<= 1.05)"
echo "repository, zvfd-kuz / restic:       $(ratio "$repo_kuz" "$repo_restic") (<= 1.05)"
echo "restored images identical (cmp):     $identical"
echo "allocated bytes: original $(allocated "$img"), zvfd $(allocated "$work/r-zvfd/vda"), restic $(allocated "$work/r-restic/$img" 2>/dev/null || echo ?), borg $(allocated "$work/r-borg/$img" 2>/dev/null || echo ?)"
echo "zvfd peak memory:                    $((peak / 1024)) MiB (< 512)"
