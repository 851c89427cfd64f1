# shellcheck shell=bash
# Sourced by the archiver benchmarks: the data set they back up.

# bench_zvfd [PATH]: the absolute path of the zvfd binary to measure (default
# build/zvfd), after checking it is there and that the bench runs as root (it drops the
# page cache and mounts in a namespace of its own). Exits the bench otherwise.
bench_zvfd() {
  local zvfd
  zvfd=$(bench_tool "${1:-$(dirname "${BASH_SOURCE[0]}")/../../build/zvfd}")
  [ "$(id -u)" = 0 ] || { echo "run as root: the bench drops the page cache" >&2; exit 2; }
  echo "$zvfd"
}

# bench_tool PATH: the absolute path of a benchmark program of the build, after checking
# it is there. Exits the bench otherwise.
bench_tool() {
  local tool
  tool=$(realpath -m "$1")
  [ -x "$tool" ] || { echo "no $(basename "$tool") at $tool (build the target $(basename "$tool") first)" >&2; exit 2; }
  echo "$tool"
}

# build_dataset WORK IMG: a 4 GiB sparse image with 16 islands of 64 MiB random data,
# one every 256 MiB, 64 MiB of compressible text (real text files, repeated) after each,
# and 64 MiB of written zeros at 192 MiB of every GiB.
build_dataset() {
  local work=$1 img=$2 mib=$((1024 * 1024)) text f i g
  echo "building the data set in $work" >&2
  text=$work/text64
  : >"$text.seed"
  for f in /usr/share/common-licenses/* /usr/share/doc/*/copyright; do
    [ -f "$f" ] && cat "$f" >>"$text.seed"
  done
  while [ "$(stat -c %s "$text.seed")" -lt $((64 * mib)) ]; do cat "$text.seed" "$text.seed" >"$text.tmp"; mv "$text.tmp" "$text.seed"; done
  head -c $((64 * mib)) "$text.seed" >"$text"
  rm -f "$text.seed"
  truncate -s 4G "$img"
  for i in $(seq 0 15); do
    head -c $((64 * mib)) /dev/urandom | dd of="$img" bs=1M seek=$((i * 256)) conv=notrunc status=none
    dd if="$text" of="$img" bs=1M seek=$((i * 256 + 64)) conv=notrunc status=none
  done
  for g in 0 1 2 3; do
    dd if=/dev/zero of="$img" bs=1M seek=$((g * 1024 + 192)) count=64 conv=notrunc status=none
  done
  rm -f "$text"
  sync
}
