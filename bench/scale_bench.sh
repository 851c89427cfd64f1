#!/usr/bin/env bash
# The archiver at scale, on the local backend: a backup into a repository that holds
# many blocks already (its index only, built by the synthetic_repo target), and a
# backup of a large dense image, each with its time and peak resident memory; the
# binary measured and, when given, a binary from before beside it in the same run.
#   - start-up: a 20 KB backup, end to end; a 1 GiB backup (random data): seconds to
#     its first progress line with data done, its whole time and peak;
#   - the large image: IMAGE_GIB GiB of random data, peak memory (the disk holds the
#     image and the repository: twice IMAGE_GIB of free space);
#   - the binary's first backup into a repository of the first format (one index
#     object per pack), which it reads once into segments, and its second.
# Goals: 1 GiB into 64 M blocks starts in under 1 s and peaks under 256 MiB; a large
# dense image peaks under 512 MiB. Figures taken on a busy machine are noisy.
#
#   bash bench/scale_bench.sh [path/to/zvfd [path/to/zvfd-before]]
#   BLOCKS=67108864 BEFORE_BLOCKS=1048576 IMAGE_GIB=16 BENCH_DIR=/var/tmp bash bench/scale_bench.sh
# Needs root (a mount namespace for zvfd's /opt/zelvor) and GNU time.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib/dataset.sh"
zvfd=$(bench_zvfd "${1:-}")
before=${2:-}
[ -z "$before" ] || before=$(bench_zvfd "$before")
builder=$(realpath "$here/../build/bench/synthetic_repo")
[ -x "$builder" ] || { echo "build the target synthetic_repo first" >&2; exit 2; }
[ -x /usr/bin/time ] || DEBIAN_FRONTEND=noninteractive apt-get install -y -q time >/dev/null
blocks=${BLOCKS:-67108864}
before_blocks=${BEFORE_BLOCKS:-1048576}
image_gib=${IMAGE_GIB:-16}

work=$(mktemp -d "${BENCH_DIR:-/var/tmp}/scale-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
repos=$work/opt/var/repositories
mkdir -p "$work/opt/var/tasks" "$work/src" "$repos"
echo "bench task secret" >"$work/opt/var/tasks/task_secret_bench"
head -c 20000 /dev/urandom >"$work/src/small"
head -c $((1 << 30)) /dev/urandom >"$work/src/gib"
for f in small gib; do printf 'ZVFD file list:\n%s : vda\n' "$work/src/$f" >"$work/$f.list"; done

echo "building repositories: $blocks blocks in index segments, $before_blocks in the first format" >&2
"$builder" "$repos/big" "$blocks" 2>"$work/build.log"
"$builder" "$repos/first" "$before_blocks" first 2>>"$work/build.log"
# The first format's repository as the binary from before found it, and a copy for
# the binary measured, which reads it once.
cp -a "$repos/first" "$repos/upgraded"

in_opt() {
  unshare --mount --propagation private /bin/sh -c \
    'mount -t tmpfs zvbench /opt && mkdir /opt/zelvor && mount --bind "$0" /opt/zelvor && exec "$@"' \
    "$work/opt" "$@"
}
now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.2f\", $1 }"; }
# run BINARY MEDIA NAME LIST: one backup; prints "seconds first-data-seconds peak-MiB".
run() {
  local bin=$1 media=$2 name=$3 list=$4 start first="" line
  sync
  start=$(now)
  while IFS= read -r line; do
    case $line in
      Packed:\ 0\ of*) ;;
      Packed:*) [ -n "$first" ] || first=$(now) ;;
    esac
  done < <(/usr/bin/time -f %M -o "$work/mem" bash -c '"$@"' run in_opt "$bin" -a sha2 -2 -b 16384 -c "$list" \
             -z None -M "$media" -N "$name" -T bench -s /opt/zelvor/var/tasks//task_secret_bench \
             -m "$work/$media-$name.meta" 2>&1)
  local end
  end=$(now)
  [ -f "$work/$media-$name.meta" ] || { echo "backup $name into $media failed" >&2; exit 1; }
  echo "$(calc "$end - $start") $(calc "${first:-$end} - $start") $(( $(tail -n1 "$work/mem") / 1024 ))"
}
export -f in_opt
export work

report() {  # LABEL FIGURES
  read -r secs first peak <<<"$2"
  printf '  %-52s %8s s  first data %6s s  peak %5s MiB\n' "$1" "$secs" "$first" "$peak"
}

echo "into a repository of $blocks blocks (index segments):"
report "20 KB backup" "$(run "$zvfd" big small_1 "$work/small.list")"
report "1 GiB backup" "$(run "$zvfd" big gib_1 "$work/gib.list")"
report "1 GiB backup again (unchanged: every block found)" "$(run "$zvfd" big gib_2 "$work/gib.list")"
echo "into a repository of $before_blocks blocks of the first format:"
report "20 KB backup, the first: reads the index once" "$(run "$zvfd" upgraded small_1 "$work/small.list")"
report "20 KB backup, the second" "$(run "$zvfd" upgraded small_2 "$work/small.list")"
report "1 GiB backup" "$(run "$zvfd" upgraded gib_1 "$work/gib.list")"
if [ -n "$before" ]; then
  echo "the binary from before, same repository of the first format:"
  report "20 KB backup" "$(run "$before" first small_1 "$work/small.list")"
  report "1 GiB backup" "$(run "$before" first gib_1 "$work/gib.list")"
fi
rm -rf "$repos/big" "$repos/upgraded" "$repos/first"

echo "a $image_gib GiB dense image of random data, into an empty repository:"
dd if=/dev/urandom of="$work/src/image" bs=1M count=$((image_gib * 1024)) status=none
printf 'ZVFD file list:\n%s : vda\n' "$work/src/image" >"$work/image.list"
report "backup" "$(run "$zvfd" dense image_1 "$work/image.list")"
if [ -n "$before" ]; then
  rm -rf "$repos/dense"
  report "backup by the binary from before" "$(run "$before" dense image_1 "$work/image.list")"
fi
