#!/usr/bin/env bash
# Backs up and restores a sparse 4 GiB image holding 1 GiB of random data through the
# archiver, and prints its throughput against `cp --sparse=always` and
# `tar --sparse` of the same file, all measured in this run (median of RUNS runs, page
# cache warm, dirty pages flushed before each timed step), plus the restored image's
# allocated size against the original's. Every step ends with its output on the disk
# (a `sync` inside the timing): the archiver flushes what it writes before it ends,
# and a copy left in the page cache is not the same work.
#
#   bench/zvfd_bench.sh [path/to/zvfd]     (default: build/zvfd)
#   BENCH_DIR=/some/fs RUNS=5 bench/zvfd_bench.sh
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
zvfd=${1:-$here/../build/zvfd}
runs=${RUNS:-3}
[ -x "$zvfd" ] || { echo "no zvfd binary at $zvfd (build the target zvfd first)" >&2; exit 2; }

work=$(mktemp -d "${BENCH_DIR:-/var/tmp}/zvfd-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
src=$work/src
mkdir -p "$src"
img=$src/disk.img

# 16 islands of 64 MiB random data, one every 256 MiB.
truncate -s 4G "$img"
for i in $(seq 0 15); do
  head -c 64M /dev/urandom | dd of="$img" bs=1M seek=$((i * 256)) conv=notrunc status=none
done
data_bytes=$((1024 * 1024 * 1024))
printf 'ZVFD file list:\n%s : vda\n' "$img" > "$work/zvfd.list"
cat "$img" > /dev/null  # every contender starts from a warm page cache

now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }
# timed CMD...: prints the seconds the command took.
timed() {
  sync
  local t0 t1
  t0=$(now)
  "$@"
  sync
  t1=$(now)
  calc "$t1 - $t0"
}
quiet() { "$@" > /dev/null; }  # progress lines are not what is measured
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
allocated() { echo $(( $(stat -c %b "$1") * $(stat -c %B "$1") )); }

declare -A times
record() { times[$1]="${times[$1]:-} $2"; }

for _ in $(seq 1 "$runs"); do
  rm -rf "$work/out" && mkdir -p "$work/out"
  record cp "$(timed cp --sparse=always "$img" "$work/out/cp.img")"
  rm -f "$work/out/cp.img"

  record tar_create "$(timed tar --sparse -cf "$work/out/disk.tar" -C "$src" disk.img)"
  mkdir -p "$work/out/tar"
  record tar_extract "$(timed tar -xf "$work/out/disk.tar" -C "$work/out/tar")"
  rm -rf "$work/out/disk.tar" "$work/out/tar"

  record zvfd_backup "$(timed quiet "$zvfd" -a sha2 -2 -b 16384 -c "$work/zvfd.list" -n "$work/out/a.zvfd" \
                              -m "$work/out/a.meta")"
  record zvfd_restore "$(timed quiet "$zvfd" -a sha2 -2 -b 16384 -r "$work/out/a.zvfd" -d "$work/out/rest")"
done

cmp "$img" "$work/out/rest/vda" || { echo "restored image differs from the original" >&2; exit 1; }
orig_alloc=$(allocated "$img")
rest_alloc=$(allocated "$work/out/rest/vda")
arch_alloc=$(allocated "$work/out/a.zvfd")

declare -A secs
for k in cp tar_create tar_extract zvfd_backup zvfd_restore; do
  secs[$k]=$(tr ' ' '\n' <<< "${times[$k]}" | grep . | median)
done
mibs() { awk "BEGIN { printf \"%.1f\", $data_bytes / 1048576 / $1 }"; }
ratio() { awk "BEGIN { printf \"%.3f\", $2 / $1 }"; }  # throughput of the first against the second

echo "zvfd benchmark: 4 GiB sparse image, 1 GiB of data, median of $runs runs, in $work"
printf '%-26s %9s %11s\n' step seconds "MiB/s data"
for k in cp tar_create tar_extract zvfd_backup zvfd_restore; do
  printf '%-26s %9.3f %11s\n' "$k" "${secs[$k]}" "$(mibs "${secs[$k]}")"
done
tar_round=$(calc "${secs[tar_create]} + ${secs[tar_extract]}")
zvfd_round=$(calc "${secs[zvfd_backup]} + ${secs[zvfd_restore]}")
backup_vs_cp=$(ratio "${secs[zvfd_backup]}" "${secs[cp]}")
restore_vs_cp=$(ratio "${secs[zvfd_restore]}" "${secs[cp]}")
echo "throughput ratio zvfd backup / cp:          $backup_vs_cp"
echo "throughput ratio zvfd restore / cp:         $restore_vs_cp"
echo "throughput ratio zvfd round trip / tar round trip: $(ratio "$zvfd_round" "$tar_round")"
alloc_ratio=$(awk "BEGIN { printf \"%.4f\", $rest_alloc / $orig_alloc }")
echo "allocated bytes: original $orig_alloc, restored $rest_alloc (ratio $alloc_ratio), archive $arch_alloc"
ok=$(awk "BEGIN { print ($backup_vs_cp >= 0.8 && $restore_vs_cp >= 0.8 && $alloc_ratio >= 0.99 && $alloc_ratio <= 1.01) ? \"yes\" : \"no\" }")
echo "goal (>= 0.8 of cp's throughput both ways, allocated size within 1%): $ok"
