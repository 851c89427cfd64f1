#!/usr/bin/env bash
# The archiver zvfd backing up to and restoring from radosgw, against the store's own
# limits measured in the same run, printed as ratios:
#   data set: a 4 GiB sparse image; 16 islands of 64 MiB random data, one every
#   256 MiB; 64 MiB of compressible text (real text files, repeated) after each random
#   island; 64 MiB of written zeros at 192 MiB of every GiB. Then an incremental round
#   after 64 random 1 MiB extents are rewritten with random data.
#   media servers: a plain bucket, and one with Object Lock whose media server locks
#   every object a record needs (retention_days=1); the same full and incremental
#   backups go to both.
#   reference: the store's limit as a client that keeps its connections and requests in
#   flight reaches it (build/bench/s3_reference: the archiver's own S3 client putting or
#   getting plain objects of the archiver's pack size, 4 MiB, 16 at a time, as many as
#   the archiver keeps in flight). Uploads: the bytes the full backup stored, once
#   before and once after the full backup; downloads: as many bytes of those objects
#   as the restore of the full backup fetches (every pack), once before and once after
#   the restore; the faster of each pair counts, so that a moment of load on the
#   machine does not make the store look slower than it is.
#   The image and the restored copy lie in a tmpfs: the ratios compare the archiver with
#   the store, not with this machine's disk.
# Goals: the full backup's stored-bytes throughput at least 0.8x the upload limit; the
# incremental uploads at most 1.2x the zstd-compressed size of the rewritten extents;
# the incremental on the locked media server within 1.3x the time of the same on the
# plain one; the restore's fetched-bytes throughput at least 0.8x the download limit;
# the restored image identical to the source.
#
#   bash bench/s3_bench.sh [path/to/zvfd]     (default: build/zvfd; needs the build's
#                                             bench/s3_reference beside it)
# Needs root (page cache, mount namespace for zvfd's /opt/zelvor); starts a throwaway
# Ceph cluster of its own with scripts/ceph_cluster.sh and stops it at the end.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib/dataset.sh"
zvfd=$(bench_zvfd "${1:-}")
reference=$(bench_tool "$(dirname "$zvfd")/bench/s3_reference")
command -v zstd >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -q zstd >/dev/null

work=$(mktemp -d "${BENCH_DIR:-/var/tmp}/s3-bench.XXXXXX")
cluster=$work/ceph
cleanup() {
  bash "$here/../scripts/ceph_cluster.sh" stop "$cluster" >/dev/null 2>&1 || true
  umount -l "$work/mem" 2>/dev/null || true  # lazily: another program may hold it open a moment
  rm -rf "$work"
}
trap cleanup EXIT
mib=$((1024 * 1024))
mkdir -p "$work/mem" "$work/opt/var/tasks" "$work/opt/etc"
mount -t tmpfs -o size=6g,mode=0700 zvbench-mem "$work/mem"
img=$work/mem/disk.img

echo "starting a throwaway Ceph cluster" >&2
bash "$here/../scripts/ceph_cluster.sh" start "$cluster" >&2
# shellcheck disable=SC1091
source "$cluster/ceph.env"
bucket=zvbench
locked_bucket=zvbench-locked
# curl reads the keys from a file, never from its command line.
curlrc=$work/curlrc
( umask 077; printf 'user = "%s:%s"\naws-sigv4 = "aws:amz:%s:s3"\nsilent\nshow-error\n' \
  "$S3_ACCESS_KEY" "$S3_SECRET_KEY" "$S3_REGION" >"$curlrc" )
s3() { curl -K "$curlrc" -H "x-amz-content-sha256: UNSIGNED-PAYLOAD" "$@"; }
s3 -X PUT "$S3_ENDPOINT/$bucket" -o /dev/null
s3 -X PUT -H "x-amz-bucket-object-lock-enabled: true" "$S3_ENDPOINT/$locked_bucket" -o /dev/null

# "KEY SIZE" of every object under a prefix of a bucket, a line each.
object_sizes() {
  local bucket=$1 prefix=$2 token="" page line
  while :; do
    local query
    # Values go encoded: the signature covers the query as sent.
    query="list-type=2&prefix=$(python3 -c 'import sys,urllib.parse;print(urllib.parse.quote(sys.argv[1],safe=""))' "$prefix")"
    [ -n "$token" ] && query="continuation-token=$(python3 -c 'import sys,urllib.parse;print(urllib.parse.quote(sys.argv[1],safe=""))' "$token")&$query"
    page=$(s3 "$S3_ENDPOINT/$bucket?$query")
    token=""
    while read -r line; do
      case $line in
        "next "*) token=${line#next } ;;
        *) echo "$line" ;;
      esac
    done < <(python3 -c '
import sys, xml.etree.ElementTree as T
root = T.fromstring(sys.stdin.read()); ns = root.tag.split("}")[0] + "}" if root.tag.startswith("{") else ""
for e in root.iter(ns + "Contents"):
    print(e.findtext(ns + "Key"), e.findtext(ns + "Size"))
if root.findtext(ns + "IsTruncated") == "true":
    print("next", root.findtext(ns + "NextContinuationToken"))' <<<"$page")
    [ -n "$token" ] || break
  done
}
# Total bytes of the objects under a prefix (of the plain bucket unless another is given).
stored_bytes() { object_sizes "${2:-$bucket}" "$1" | awk '{ n += $2 } END { print n + 0 }'; }

# --- the data set -----------------------------------------------------------------------
build_dataset "$work" "$img"

# --- zvfd's /opt/zelvor: the two media servers on radosgw ---------------------------------
echo "secret of the bench task" >"$work/opt/var/tasks/task_secret_1"
head -c 32 /dev/urandom >"$work/opt/etc/bench.key"
keys=$work/opt/etc/bench.s3
( umask 077; printf 'access_key_id %s\nsecret_access_key %s\n' "$S3_ACCESS_KEY" "$S3_SECRET_KEY" >"$keys" )
{
  echo "bench = s3 endpoint=$S3_ENDPOINT bucket=$bucket region=$S3_REGION credentials=/opt/zelvor/etc/bench.s3 prefix=repo"
  echo "locked = s3 endpoint=$S3_ENDPOINT bucket=$locked_bucket region=$S3_REGION credentials=/opt/zelvor/etc/bench.s3 prefix=repo retention_days=1 retention_mode=governance"
} >"$work/opt/etc/zvfd-repositories.conf"
printf 'ZVFD file list:\n%s : disk.img\n' "$img" >"$work/list"
in_ns() {  # runs a command with $work/opt as /opt/zelvor
  unshare -m bash -c 'mount --make-rprivate / && mount -t tmpfs zvbench /opt && mkdir /opt/zelvor &&
    mount --bind "$0" /opt/zelvor && exec "$@"' "$work/opt" "$@"
}
drop_caches() { sync; echo 3 >/proc/sys/vm/drop_caches; }
# The shell's own clock: a Python started for each reading would add its start-up
# (0.03-0.15 s here) to every interval, which the reference's own clock leaves out.
seconds() { echo "$EPOCHREALTIME"; }
elapsed() { python3 -c "import sys; print(f'{float(sys.argv[2]) - float(sys.argv[1]):.3f}')" "$1" "$2"; }
ratio() { python3 -c "import sys; print(f'{float(sys.argv[1]) / float(sys.argv[2]):.2f}')" "$1" "$2"; }
rate() { python3 -c "import sys; print(float(sys.argv[1]) / float(sys.argv[2]))" "$1" "$2"; }
faster() { python3 -c "import sys; print(max(float(sys.argv[1]), float(sys.argv[2])))" "$1" "$2"; }
mibs() { python3 -c "import sys; print(f'{float(sys.argv[1]) / 1048576:.1f}')" "$1"; }

timed_backup() {  # media-server record-name [reference-name]: prints the seconds taken
  local extra=() t0 t1
  [ $# -gt 2 ] && extra=(-S "$work/$3.meta")
  drop_caches
  t0=$(seconds)
  in_ns "$zvfd" -a sha2 -2 -b 16384 -c "$work/list" "${extra[@]}" -M "$1" -N "$2" -T 1 \
    -s /opt/zelvor/var/tasks/task_secret_1 -m "$work/$2.meta" -C aes-256-gcm -k /opt/zelvor/etc/bench.key \
    >"$work/$2.out" 2>&1 || { cat "$work/$2.out" >&2; exit 1; }
  t1=$(seconds)
  elapsed "$t0" "$t1"
}

# --- the store's own limits: pack-sized objects, 16 requests at a time ----------------------
pack=$((4 * mib))
reference_run() {  # put|get tag count: prints the bytes per second
  local out
  drop_caches
  out=$("$reference" "$1" "$S3_ENDPOINT" "$bucket" "$S3_REGION" "$keys" "ref/$2" "$3" "$pack" 16)
  rate "${out#* }" "${out% *}"
}
before_count=256
up_before=$(reference_run put before $before_count)

# --- full backup, and its restore -------------------------------------------------------
full_time=$(timed_backup bench full)
full_bytes=$(stored_bytes repo/)
count=$(((full_bytes + pack - 1) / pack))
up_after=$(reference_run put after "$count")
up_rate=$(faster "$up_before" "$up_after")

# The restore fetches every pack its record names, whole: all that the full backup
# stored into the empty repository. The same bytes again as plain objects are the
# first of the upload reference's own.
restore_bytes=$(stored_bytes repo/packs/)
down_count=$(((restore_bytes + pack - 1) / pack))
down_before=$(reference_run get after "$down_count")
drop_caches
t0=$(seconds)
in_ns "$zvfd" -a sha2 -2 -b 16384 -R 1 -M bench -T 1 -s /opt/zelvor/var/tasks/task_secret_1 \
  -m "$work/full.meta" -d "$work/mem/out" -C aes-256-gcm -k /opt/zelvor/etc/bench.key >"$work/restore.out" 2>&1 ||
  { cat "$work/restore.out" >&2; exit 1; }
t1=$(seconds)
restore_time=$(elapsed "$t0" "$t1")
down_after=$(reference_run get after "$down_count")
down_rate=$(faster "$down_before" "$down_after")
identical=no
cmp -s "$img" "$work/mem/out/disk.img" && identical=yes
rm -rf "$work/mem/out"

locked_full_time=$(timed_backup locked locked_full)

# --- incrementals -----------------------------------------------------------------------
: >"$work/changed"
for i in $(seq 1 64); do
  at=$(( (RANDOM * 32768 + RANDOM) % 4095 ))
  head -c $mib /dev/urandom | tee -a "$work/changed" | dd of="$img" bs=1M seek="$at" conv=notrunc status=none
done
sync
changed_compressed=$(zstd -3 -q -c "$work/changed" | wc -c)
inc_time=$(timed_backup bench incremental full)
inc_bytes=$(( $(stored_bytes repo/) - full_bytes ))
locked_inc_time=$(timed_backup locked locked_incremental locked_full)

full_rate=$(rate "$full_bytes" "$full_time")
restore_rate=$(rate "$restore_bytes" "$restore_time")
echo "store's upload limit:     $(mibs "$up_rate") MiB/s, the faster of $(mibs "$up_before") MiB/s before the full backup ($before_count objects of 4 MiB) and $(mibs "$up_after") MiB/s after it ($count objects), 16 requests at a time on kept connections"
echo "full backup:              stored $(mibs "$full_bytes") MiB in ${full_time} s: $(mibs "$full_rate") MiB/s"
echo "full backup throughput:   $(ratio "$full_rate" "$up_rate")x the store's upload limit (goal >= 0.8)"
echo "full backup, locked:      ${locked_full_time} s ($(ratio "$locked_full_time" "$full_time")x the plain media server's)"
echo "incremental:              stored $(mibs "$inc_bytes") MiB in ${inc_time} s; changed data compresses to $(mibs "$changed_compressed") MiB"
echo "incremental upload:       $(ratio "$inc_bytes" "$changed_compressed")x the compressed change (goal <= 1.2)"
echo "incremental, locked:      ${locked_inc_time} s: $(ratio "$locked_inc_time" "$inc_time")x the plain media server's (goal <= 1.3)"
echo "store's download limit:   $(mibs "$down_rate") MiB/s, the faster of $(mibs "$down_before") MiB/s before the restore and $(mibs "$down_after") MiB/s after it ($down_count objects of 4 MiB), 16 requests at a time on kept connections"
echo "restore of the full:      fetched $(mibs "$restore_bytes") MiB in ${restore_time} s: $(mibs "$restore_rate") MiB/s; restored image identical: $identical"
echo "restore throughput:       $(ratio "$restore_rate" "$down_rate")x the store's download limit (goal >= 0.8)"
