#!/usr/bin/env bash
# The archiver zvfd backing up to and restoring from radosgw, against the store's own
# upload limit measured in the same run, printed as ratios:
#   data set: a 4 GiB sparse image; 16 islands of 64 MiB random data, one every
#   256 MiB; 64 MiB of compressible text (real text files, repeated) after each random
#   island; 64 MiB of written zeros at 192 MiB of every GiB. Then an incremental round
#   after 64 random 1 MiB extents are rewritten with random data.
#   reference: the bytes the full backup stored, uploaded again as objects of the
#   archiver's pack size (4 MiB) by parallel plain requests (curl, 16 at a time, as
#   many as the archiver keeps in flight), once before and once after the full backup;
#   the faster of the two counts, so that a moment of load on the machine does not
#   make the store look slower than it is.
# Goals: the full backup's stored-bytes throughput at least 0.8x the reference; the
# incremental uploads at most 1.2x the zstd-compressed size of the rewritten extents;
# the restored image identical to the source.
#
#   bash bench/s3_bench.sh [path/to/zvfd]     (default: build/zvfd)
# Needs root (page cache, mount namespace for zvfd's /opt/zelvor); starts a throwaway
# Ceph cluster of its own with scripts/ceph_cluster.sh and stops it at the end.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib/dataset.sh"
zvfd=$(bench_zvfd "${1:-}")
command -v zstd >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -q zstd >/dev/null

work=$(mktemp -d "${BENCH_DIR:-/var/tmp}/s3-bench.XXXXXX")
cluster=$work/ceph
cleanup() {
  bash "$here/../scripts/ceph_cluster.sh" stop "$cluster" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
mib=$((1024 * 1024))
img=$work/src/disk.img
mkdir -p "$work/src" "$work/opt/var/tasks" "$work/opt/etc" "$work/out" "$work/ref"

echo "starting a throwaway Ceph cluster" >&2
bash "$here/../scripts/ceph_cluster.sh" start "$cluster" >&2
# shellcheck disable=SC1091
source "$cluster/ceph.env"
bucket=zvbench
# curl reads the keys from a file, never from its command line.
curlrc=$work/curlrc
( umask 077; printf 'user = "%s:%s"\naws-sigv4 = "aws:amz:%s:s3"\nsilent\nshow-error\n' \
  "$S3_ACCESS_KEY" "$S3_SECRET_KEY" "$S3_REGION" >"$curlrc" )
s3() { curl -K "$curlrc" -H "x-amz-content-sha256: UNSIGNED-PAYLOAD" "$@"; }
s3 -X PUT "$S3_ENDPOINT/$bucket" -o /dev/null

# Total bytes of the objects under a prefix.
stored_bytes() {
  local prefix=$1 token="" total=0 page
  while :; do
    local query
    # Values go encoded: the signature covers the query as sent.
    query="list-type=2&prefix=$(python3 -c 'import sys,urllib.parse;print(urllib.parse.quote(sys.argv[1],safe=""))' "$prefix")"
    [ -n "$token" ] && query="continuation-token=$(python3 -c 'import sys,urllib.parse;print(urllib.parse.quote(sys.argv[1],safe=""))' "$token")&$query"
    page=$(s3 "$S3_ENDPOINT/$bucket?$query")
    read -r size truncated token < <(python3 -c '
import sys, xml.etree.ElementTree as T
root = T.fromstring(sys.stdin.read()); ns = root.tag.split("}")[0] + "}" if root.tag.startswith("{") else ""
sizes = sum(int(e.text) for e in root.iter(ns + "Size"))
trunc = root.findtext(ns + "IsTruncated") or "false"
token = root.findtext(ns + "NextContinuationToken") or "-"
print(sizes, trunc, token)' <<<"$page")
    total=$((total + size))
    [ "$truncated" = true ] || break
  done
  echo "$total"
}

# --- the data set -----------------------------------------------------------------------
build_dataset "$work" "$img"

# --- zvfd's /opt/zelvor: the media server on radosgw -----------------------------------
echo "secret of the bench task" >"$work/opt/var/tasks/task_secret_1"
head -c 32 /dev/urandom >"$work/opt/etc/bench.key"
( umask 077; printf 'access_key_id %s\nsecret_access_key %s\n' "$S3_ACCESS_KEY" "$S3_SECRET_KEY" >"$work/opt/etc/bench.s3" )
echo "bench = s3 endpoint=$S3_ENDPOINT bucket=$bucket region=$S3_REGION credentials=/opt/zelvor/etc/bench.s3 prefix=repo" \
  >"$work/opt/etc/zvfd-repositories.conf"
printf 'ZVFD file list:\n%s : disk.img\n' "$img" >"$work/list"
in_ns() {  # runs a command with $work/opt as /opt/zelvor
  unshare -m bash -c 'mount --make-rprivate / && mount -t tmpfs zvbench /opt && mkdir /opt/zelvor &&
    mount --bind "$0" /opt/zelvor && exec "$@"' "$work/opt" "$@"
}
drop_caches() { sync; echo 3 >/proc/sys/vm/drop_caches; }
seconds() { python3 -c 'import time; print(time.monotonic())'; }
elapsed() { python3 -c "import sys; print(f'{float(sys.argv[2]) - float(sys.argv[1]):.3f}')" "$1" "$2"; }
ratio() { python3 -c "import sys; print(f'{float(sys.argv[1]) / float(sys.argv[2]):.2f}')" "$1" "$2"; }

backup() {  # name [reference]
  local extra=()
  [ $# -gt 1 ] && extra=(-S "$work/$2.meta")
  in_ns "$zvfd" -a sha2 -2 -b 16384 -c "$work/list" "${extra[@]}" -M bench -N "$1" -T 1 \
    -s /opt/zelvor/var/tasks/task_secret_1 -m "$work/$1.meta" -C aes-256-gcm -k /opt/zelvor/etc/bench.key \
    >"$work/$1.out" 2>&1 || { cat "$work/$1.out" >&2; exit 1; }
}

# --- the store's own limit: pack-sized objects, 16 requests at a time ----------------------
pack=$((4 * mib))
head -c $pack /dev/urandom >"$work/ref/object"
reference_upload() {  # tag count: uploads count objects, prints the seconds taken
  local t0 t1
  drop_caches
  t0=$(seconds)
  seq 1 "$2" | xargs -P 16 -I{} curl -K "$curlrc" -H "x-amz-content-sha256: UNSIGNED-PAYLOAD" \
    -T "$work/ref/object" -o /dev/null "$S3_ENDPOINT/$bucket/ref/$1/{}"
  t1=$(seconds)
  [ "$(stored_bytes "ref/$1/")" = $(($2 * pack)) ] || { echo "the reference uploads did not all arrive" >&2; exit 1; }
  elapsed "$t0" "$t1"
}
rate() { python3 -c "import sys; print(float(sys.argv[1]) / float(sys.argv[2]))" "$1" "$2"; }
before_count=256
before_time=$(reference_upload before $before_count)

# --- full backup ------------------------------------------------------------------------
drop_caches
t0=$(seconds); backup full; t1=$(seconds)
full_time=$(elapsed "$t0" "$t1")
full_bytes=$(stored_bytes repo/)

count=$(((full_bytes + pack - 1) / pack))
after_time=$(reference_upload after "$count")
before_rate=$(rate $((before_count * pack)) "$before_time")
after_rate=$(rate $((count * pack)) "$after_time")
ref_rate=$(python3 -c "import sys; print(max(float(sys.argv[1]), float(sys.argv[2])))" "$before_rate" "$after_rate")

# --- incremental ------------------------------------------------------------------------
: >"$work/changed"
for i in $(seq 1 64); do
  at=$(( (RANDOM * 32768 + RANDOM) % 4095 ))
  head -c $mib /dev/urandom | tee -a "$work/changed" | dd of="$img" bs=1M seek="$at" conv=notrunc status=none
done
sync
changed_compressed=$(zstd -3 -q -c "$work/changed" | wc -c)
drop_caches
t0=$(seconds); backup incremental full; t1=$(seconds)
inc_time=$(elapsed "$t0" "$t1")
inc_bytes=$(( $(stored_bytes repo/) - full_bytes ))

# --- restore ----------------------------------------------------------------------------
drop_caches
t0=$(seconds)
in_ns "$zvfd" -a sha2 -2 -b 16384 -R 1 -M bench -T 1 -s /opt/zelvor/var/tasks/task_secret_1 \
  -m "$work/incremental.meta" -d "$work/out" -C aes-256-gcm -k /opt/zelvor/etc/bench.key >"$work/restore.out" 2>&1 ||
  { cat "$work/restore.out" >&2; exit 1; }
t1=$(seconds)
restore_time=$(elapsed "$t0" "$t1")
identical=no
cmp -s "$img" "$work/out/disk.img" && identical=yes

full_rate=$(rate "$full_bytes" "$full_time")
mibs() { python3 -c "import sys; print(f'{float(sys.argv[1]) / 1048576:.1f}')" "$1"; }
echo "store's upload limit:   $(mibs "$ref_rate") MiB/s, the faster of $(mibs "$before_rate") MiB/s before the full backup ($before_count objects of 4 MiB in ${before_time} s) and $(mibs "$after_rate") MiB/s after it ($count objects in ${after_time} s), 16 requests at a time"
echo "full backup:            stored $(mibs "$full_bytes") MiB in ${full_time} s: $(mibs "$full_rate") MiB/s"
echo "full backup throughput: $(ratio "$full_rate" "$ref_rate")x the store's limit (goal >= 0.8)"
echo "incremental:            stored $(mibs "$inc_bytes") MiB in ${inc_time} s; changed data compresses to $(mibs "$changed_compressed") MiB"
echo "incremental upload:     $(ratio "$inc_bytes" "$changed_compressed")x the compressed change (goal <= 1.2)"
echo "restore:                ${restore_time} s; restored image identical: $identical"
