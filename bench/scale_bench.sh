#!/usr/bin/env bash
# The archiver at scale: a backup into a repository that holds many blocks already (its
# index only, built by the synthetic_repo target), and backups of large images, each
# with its time and peak resident memory; the binary measured and, when given, a binary
# from before beside it in the same run.
# On the local backend:
#   - start-up: a 20 KB backup, end to end; a 1 GiB backup (random data): seconds to
#     its first progress line with data done, its whole time and peak;
#   - the large image: IMAGE_GIB GiB of random data, peak memory (the disk holds the
#     image and the repository: twice IMAGE_GIB of free space);
#   - a large sparse image whose data ranges are many: SPARSE_GIB GiB with 64 KiB of
#     random data at the start of every MiB (SPARSE_GIB * 1024 ranges, a sixteenth of
#     it allocated; the disk holds that twice), time and peak memory;
#   - the binary's first backup into a repository of the first format (one index
#     object per pack), which it reads once into segments, and its second.
# With RADOSGW=1, on radosgw instead (a throwaway Ceph cluster of scripts/ceph_cluster.sh,
# started and stopped by the bench): a repository of each size of S3_BLOCKS, built as
# above and uploaded into a bucket, then a 20 KB and a 1 GiB backup into each, with the
# requests radosgw logged for the run: those it received before the run's first pack
# upload (the requests at start) and all of them. The binary from before, when given,
# backs up into a repository of the first format of BEFORE_BLOCKS blocks there.
# Goals: 1 GiB into 64 M blocks starts in under 1 s and peaks under 256 MiB; a large
# dense image, or a sparse one of 100 GiB, peaks under 512 MiB; on radosgw the requests
# at start do not grow with the repository. Figures taken on a busy machine are noisy.
#
#   bash bench/scale_bench.sh [path/to/zvfd [path/to/zvfd-before]]
#   BLOCKS=67108864 BEFORE_BLOCKS=1048576 IMAGE_GIB=16 SPARSE_GIB=100 BENCH_DIR=/var/tmp bash bench/scale_bench.sh
#   RADOSGW=1 S3_BLOCKS="1048576 16777216" bash bench/scale_bench.sh
# IMAGE_GIB=0 or SPARSE_GIB=0 leaves that image out. Needs root (a mount namespace for
# zvfd's /opt/zelvor) and GNU time.
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
sparse_gib=${SPARSE_GIB:-100}
radosgw=${RADOSGW:-0}
s3_blocks=${S3_BLOCKS:-1048576 16777216}

work=$(mktemp -d "${BENCH_DIR:-/var/tmp}/scale-bench.XXXXXX")
cluster=$work/ceph
cleanup() {
  [ "$radosgw" = 0 ] || bash "$here/../scripts/ceph_cluster.sh" stop "$cluster" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
repos=$work/opt/var/repositories
mkdir -p "$work/opt/var/tasks" "$work/opt/etc" "$work/src" "$repos"
echo "bench task secret" >"$work/opt/var/tasks/task_secret_bench"
head -c 20000 /dev/urandom >"$work/src/small"
head -c $((1 << 30)) /dev/urandom >"$work/src/gib"
for f in small gib; do printf 'ZVFD file list:\n%s : vda\n' "$work/src/$f" >"$work/$f.list"; done

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

report() {  # LABEL FIGURES (none when the run failed: the bench stops)
  [ -n "$2" ] || exit 1
  read -r secs first peak <<<"$2"
  printf '  %-52s %8s s  first data %6s s  peak %5s MiB\n' "$1" "$secs" "$first" "$peak"
}

# --- radosgw --------------------------------------------------------------------------
radosgw_bench() {
  echo "starting a throwaway Ceph cluster" >&2
  bash "$here/../scripts/ceph_cluster.sh" start "$cluster" >&2
  # shellcheck disable=SC1091
  source "$cluster/ceph.env"
  local bucket=zvscale n
  rgw_log=$cluster/log/client.rgw.gw.log
  # curl reads the keys from a file, never from its command line.
  curlrc=$work/curlrc
  ( umask 077; printf 'user = "%s:%s"\naws-sigv4 = "aws:amz:%s:s3"\nsilent\nshow-error\n' \
    "$S3_ACCESS_KEY" "$S3_SECRET_KEY" "$S3_REGION" >"$curlrc" )
  s3() { curl -K "$curlrc" -H "x-amz-content-sha256: UNSIGNED-PAYLOAD" "$@"; }
  s3 -X PUT "$S3_ENDPOINT/$bucket" -o /dev/null --fail
  ( umask 077; printf 'access_key_id %s\nsecret_access_key %s\n' "$S3_ACCESS_KEY" "$S3_SECRET_KEY" >"$work/opt/etc/scale.s3" )
  media() {  # NAME: a media server on the bucket, its keys under the prefix NAME
    echo "$1 = s3 endpoint=$S3_ENDPOINT bucket=$bucket region=$S3_REGION credentials=/opt/zelvor/etc/scale.s3 prefix=$1" \
      >>"$work/opt/etc/zvfd-repositories.conf"
  }
  # upload DIR PREFIX: every object of a repository directory, 16 requests at a time;
  # prints how many and the seconds taken.
  upload() {
    local dir=$1 prefix=$2 t0 failed count
    ( cd "$dir" && find . -path ./.tmp -prune -o -type f -printf '%P\n' ) |
      awk -v dir="$dir" -v url="$S3_ENDPOINT/$bucket/$prefix" \
        '{ printf "upload-file = \"%s/%s\"\nurl = \"%s/%s\"\noutput = \"/dev/null\"\n", dir, $0, url, $0 }' \
        >"$work/upload.curl"
    count=$(grep -c '^url' "$work/upload.curl")
    t0=$(now)
    failed=$(s3 --no-progress-meter --parallel --parallel-max 16 -K "$work/upload.curl" -w '%{http_code}\n' | grep -cvx 200 || true)
    [ "$failed" = 0 ] || { echo "uploading $dir: $failed of $count objects refused" >&2; exit 1; }
    echo "$count $(calc "$(now) - $t0")"
  }
  # build_and_upload NAME BLOCKS [first]: prints a line about it.
  build_and_upload() {
    local up
    "$builder" "$work/stage" "${@:2}" 2>>"$work/build.log"
    up=$(upload "$work/stage" "$1")
    rm -rf "$work/stage"
    media "$1"
    echo "  $1: $2 blocks${3:+ of the first format}, ${up% *} objects uploaded in ${up#* } s" >&2
  }
  # s3_run BINARY MEDIA NAME LIST: run's figures, then the requests radosgw logged for
  # it: "at-start all kinds-at-start", requests at start being those begun before the
  # run's first pack upload (all of them when it uploads none).
  s3_run() {
    local mark figures
    mark=$(stat -c %s "$rgw_log")
    figures=$(run "$@")
    timeout 30 ceph --admin-daemon "$cluster/run/client.rgw.gw.asok" log flush >/dev/null
    echo "$figures $(tail -c +$((mark + 1)) "$rgw_log" | python3 -c '
import re, sys
from datetime import datetime
packs = "/" + sys.argv[1] + "/" + sys.argv[2] + "/packs/"
seen = []
for line in sys.stdin:
    m = re.search(r" beast: \S+ \S+ - \S+ \[([^\]]+)\] \"(\S+) (\S+) ", line)
    if not m:
        continue
    kind, path = m.group(2), m.group(3)
    if kind == "GET" and re.search(r"[?&](list-type|versions)", path):
        kind = "LIST"
    seen.append((datetime.strptime(m.group(1), "%d/%b/%Y:%H:%M:%S.%f %z"), kind, path))
first = min((t for t, kind, path in seen if kind == "PUT" and path.startswith(packs)), default=None)
start = [kind for t, kind, path in seen if first is None or t < first]
kinds = ",".join(f"{k}:{start.count(k)}" for k in sorted(set(start)))
print(len(start), len(seen), kinds or "-")' "$bucket" "$2")"
  }
  s3_report() {  # LABEL FIGURES
    local secs first peak at_start all kinds
    [ -n "$2" ] || exit 1
    read -r secs first peak at_start all kinds <<<"$2"
    printf '  %-22s %7s s  first data %6s s  peak %5s MiB  requests at start %4s (%s), in all %5s\n' \
      "$1" "$secs" "$first" "$peak" "$at_start" "${kinds//,/ }" "$all"
  }

  echo "building repositories and uploading them into the bucket $bucket:" >&2
  for n in $s3_blocks; do build_and_upload "b$n" "$n"; done
  [ -z "$before" ] || build_and_upload first "$before_blocks" first
  for n in $s3_blocks; do
    echo "on radosgw, into a repository of $n blocks (index segments):"
    s3_report "20 KB backup" "$(s3_run "$zvfd" "b$n" small_1 "$work/small.list")"
    s3_report "1 GiB backup" "$(s3_run "$zvfd" "b$n" gib_1 "$work/gib.list")"
  done
  if [ -n "$before" ]; then
    echo "on radosgw, the binary from before, into a repository of $before_blocks blocks of the first format:"
    s3_report "20 KB backup" "$(s3_run "$before" first small_1 "$work/small.list")"
    s3_report "1 GiB backup" "$(s3_run "$before" first gib_1 "$work/gib.list")"
  fi
}
if [ "$radosgw" != 0 ]; then
  radosgw_bench
  exit 0
fi

# --- the local backend --------------------------------------------------------------------
echo "building repositories: $blocks blocks in index segments, $before_blocks in the first format" >&2
"$builder" "$repos/big" "$blocks" 2>"$work/build.log"
"$builder" "$repos/first" "$before_blocks" first 2>>"$work/build.log"
# The first format's repository as the binary from before found it, and a copy for
# the binary measured, which reads it once.
cp -a "$repos/first" "$repos/upgraded"

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

# large_image LABEL FILE MEDIA: backs the image up into an empty repository, by the
# binary measured and then, when given, by the binary from before; then removes both.
large_image() {
  echo "$1, into an empty repository:"
  printf 'ZVFD file list:\n%s : vda\n' "$2" >"$work/image.list"
  report "backup" "$(run "$zvfd" "$3" image_1 "$work/image.list")"
  if [ -n "$before" ]; then
    rm -rf "${repos:?}/$3"
    report "backup by the binary from before" "$(run "$before" "$3" image_1 "$work/image.list")"
  fi
  rm -rf "${repos:?}/$3" "$2"
}
if [ "$image_gib" != 0 ]; then
  dd if=/dev/urandom of="$work/src/image" bs=1M count=$((image_gib * 1024)) status=none
  large_image "a $image_gib GiB dense image of random data" "$work/src/image" dense
fi
if [ "$sparse_gib" != 0 ]; then
  # One process writes every range: a program started per range would take longer than
  # the backup.
  perl -e '
    my ($path, $gib) = @ARGV;
    my $size = $gib << 30;
    open(my $random, "<:raw", "/dev/urandom") or die "/dev/urandom: $!";
    open(my $image, ">:raw", $path) or die "$path: $!";
    truncate($image, $size) or die "$path: $!";
    my $data;
    for (my $at = 0; $at < $size; $at += 1 << 20) {
      sysread($random, $data, 65536) == 65536 or die "/dev/urandom: short read";
      sysseek($image, $at, 0) or die "$path: $!";
      syswrite($image, $data) == 65536 or die "$path: $!";
    }
    close($image) or die "$path: $!";' "$work/src/sparse" "$sparse_gib"
  large_image "a $sparse_gib GiB sparse image, $((sparse_gib * 1024)) data ranges of 64 KiB" "$work/src/sparse" sparse
fi
