#!/usr/bin/env bash
# A throwaway single-node Ceph cluster for the tests, every file under one directory.
#
#   bash scripts/ceph_cluster.sh start DIR   bring it up, wait until it is clean, write DIR/ceph.env
#   bash scripts/ceph_cluster.sh stop DIR    stop the daemons that start launched (monitor last)
#
# One monitor, one manager, one BlueStore OSD on a sparse file, the pool "rbd" and
# radosgw with one S3 user; cephx on; 127.0.0.1 and free ports only. start refuses a
# directory whose daemons still run, and a non-empty directory that is not one of its
# own clusters; a stopped cluster of its own is cleared and started afresh.
#
# DIR/ceph.env holds shell assignments (source it, then export what a program needs):
#   CEPH_CONF        the cluster's configuration file; ceph, rbd and rados read it from
#                    this variable. Its keyring setting finds DIR/ceph.client.NAME.keyring
#                    for "--id NAME", so a user made with
#                    `ceph auth get-or-create client.NAME ... -o $CEPH_KEYRING_DIR/ceph.client.NAME.keyring`
#                    works with rbd --id NAME at once.
#   CEPH_KEYRING_DIR the directory of those keyrings (DIR)
#   CEPH_ADMIN_KEYRING  client.admin's keyring
#   CEPH_MON_HOST    the monitor's address (127.0.0.1)
#   CEPH_MON_PORT    its port (messenger v1)
#   CEPH_MON_ADDR    host:port
#   CEPH_FSID        the cluster id
#   S3_ENDPOINT      radosgw's URL, http://127.0.0.1:PORT
#   S3_REGION        the zone group's name ("default")
#   S3_ACCESS_KEY    the S3 user's access key
#   S3_SECRET_KEY    its secret key
#   S3_USER          its uid
# When start fails it prints the daemons' logs and exits non-zero.
set -euo pipefail

marker='# throwaway test cluster of scripts/ceph_cluster.sh'
# Stop order: the monitor last, so the others can still say goodbye to it.
daemons=(client.rgw.gw osd.0 mgr.x mon.a)

usage() { echo "usage: $0 start|stop DIR" >&2; exit 2; }
[ $# -eq 2 ] || usage
action=$1
case $2 in
  /*) dir=$2 ;;
  *) dir=$(pwd)/$2 ;;
esac
dir=${dir%/}
[ -n "$dir" ] || { echo "ceph_cluster: refusing /" >&2; exit 2; }

# The pid in a pid file of ours, when that process still runs the daemon we started.
live_pid() {
  local file=$dir/run/$1.pid pid
  [ -f "$file" ] || return 1
  pid=$(tr -dc 0-9 <"$file")
  [ -n "$pid" ] && [ -r "/proc/$pid/cmdline" ] || return 1
  tr '\0' ' ' <"/proc/$pid/cmdline" | grep -q -- "$dir/ceph.conf" || return 1
  echo "$pid"
}

any_running() {
  local d
  for d in "${daemons[@]}"; do live_pid "$d" >/dev/null && return 0; done
  return 1
}

stop_cluster() {
  local d pid i
  for d in "${daemons[@]}"; do
    pid=$(live_pid "$d") || continue
    kill -TERM "$pid" 2>/dev/null || true
    for i in $(seq 1 100); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid" 2>/dev/null || true; fi
    rm -f "$dir/run/$d.pid"
  done
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

fail() {
  echo "ceph_cluster: $*" >&2
  local f
  for f in "$dir"/log/*.log; do
    [ -f "$f" ] || continue
    echo "----- $f (last 60 lines)" >&2
    tail -n 60 "$f" >&2
  done
  stop_cluster
  exit 1
}

# Runs the ceph tool as client.admin against this cluster, never for ever.
cephc() { timeout 30 ceph -c "$dir/ceph.conf" --connect-timeout 20 "$@"; }

wait_until() {  # seconds description command...
  local deadline=$((SECONDS + $1)) what=$2
  shift 2
  while [ $SECONDS -lt $deadline ]; do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.25
  done
  fail "timed out waiting for $what"
}

pgs_clean() {
  local stat
  stat=$(cephc pg stat 2>/dev/null) || return 1
  # "56 pgs: 56 active+clean; ..." and nothing else
  [[ $stat =~ ^([0-9]+)\ pgs:\ ([0-9]+)\ active\+clean\; ]] &&
    [ "${BASH_REMATCH[1]}" = "${BASH_REMATCH[2]}" ]
}

health_ok() { [ "$(cephc health 2>/dev/null)" = HEALTH_OK ]; }

clean_and_healthy() { health_ok && pgs_clean; }

rgw_listens() { timeout 2 bash -c "exec 3<>/dev/tcp/127.0.0.1/$1"; }

start_cluster() {
  if [ -d "$dir" ]; then
    any_running && { echo "ceph_cluster: a cluster is running in $dir; stop it first" >&2; exit 1; }
    if [ -n "$(ls -A "$dir")" ]; then
      head -n 1 "$dir/ceph.conf" 2>/dev/null | grep -qxF "$marker" ||
        { echo "ceph_cluster: $dir is not empty and holds no cluster of this script" >&2; exit 1; }
      rm -rf "$dir/mon.a" "$dir/mgr.x" "$dir/osd.0" "$dir/rgw.gw" "$dir/run" "$dir/log" \
        "$dir/crash" "$dir/monmap" "$dir/ceph.env" "$dir/ceph.conf" "$dir"/ceph.*.keyring
    fi
  fi
  mkdir -p "$dir/run" "$dir/log" "$dir/crash" "$dir/mon.a" "$dir/mgr.x" "$dir/osd.0" "$dir/rgw.gw"

  local fsid mon_port rgw_port conf=$dir/ceph.conf
  fsid=$(cat /proc/sys/kernel/random/uuid)
  mon_port=$(free_port)
  rgw_port=$(free_port)
  while [ "$rgw_port" = "$mon_port" ]; do rgw_port=$(free_port); done

  cat >"$conf" <<EOF
$marker
[global]
fsid = $fsid
mon host = [v1:127.0.0.1:$mon_port]
ms bind msgr2 = false
ms bind ipv6 = false
ms bind ipv4 = true
public addr = 127.0.0.1
cluster addr = 127.0.0.1
public network = 127.0.0.0/8
cluster network = 127.0.0.0/8
auth cluster required = cephx
auth service required = cephx
auth client required = cephx
auth allow insecure global id reclaim = false
keyring = $dir/ceph.\$name.keyring
run dir = $dir/run
pid file = $dir/run/\$name.pid
admin socket = $dir/run/\$name.asok
crash dir = $dir/crash
log file = $dir/log/\$name.log
log to stderr = false
err to stderr = false
mon cluster log file = $dir/log/cluster.log
osd pool default size = 1
osd pool default min size = 1
osd pool default pg num = 8
osd pool default pgp num = 8
osd pool default pg autoscale mode = off
osd crush chooseleaf type = 0
mon allow pool size one = true
mon allow pool delete = true
mon warn on pool no redundancy = false
mon data avail warn = 2
mon max pg per osd = 500

[mon]
mon data = $dir/\$name
keyring = $dir/\$name/keyring

[mgr]
mgr data = $dir/\$name
mgr initial modules = iostat

[osd]
osd data = $dir/\$name
osd objectstore = bluestore
bluestore block create = true
bluestore block size = 8589934592
osd memory target = 939524096

[client.rgw.gw]
rgw data = $dir/rgw.gw
rgw frontends = beast endpoint=127.0.0.1:$rgw_port
rgw dns name = 127.0.0.1
EOF

  # Monitor: keys, map, store, then the daemon.
  ceph-authtool --create-keyring "$dir/mon.keyring" --gen-key -n mon. --cap mon 'allow *' >/dev/null
  ceph-authtool --create-keyring "$dir/ceph.client.admin.keyring" --gen-key -n client.admin \
    --cap mon 'allow *' --cap osd 'allow *' --cap mgr 'allow *' --cap mds 'allow *' >/dev/null
  ceph-authtool "$dir/mon.keyring" --import-keyring "$dir/ceph.client.admin.keyring" >/dev/null
  monmaptool --create --fsid "$fsid" --addv a "[v1:127.0.0.1:$mon_port]" "$dir/monmap" >/dev/null
  rm -rf "$dir/mon.a"
  ceph-mon -c "$conf" --mkfs -i a --monmap "$dir/monmap" --keyring "$dir/mon.keyring" ||
    fail "ceph-mon --mkfs failed"
  rm -f "$dir/mon.keyring" "$dir/monmap"
  ceph-mon -c "$conf" -i a || fail "ceph-mon did not start"
  wait_until 30 "the monitor" cephc mon stat

  echo "${SECONDS}s: monitor up" >>"$dir/log/setup.log"
  # Manager.
  cephc auth get-or-create mgr.x mon 'allow profile mgr' osd 'allow *' mds 'allow *' \
    -o "$dir/mgr.x/keyring" >/dev/null || fail "no key for the manager"
  ceph-mgr -c "$conf" -i x --keyring "$dir/mgr.x/keyring" || fail "ceph-mgr did not start"

  echo "${SECONDS}s: manager started" >>"$dir/log/setup.log"
  # Pools first: the monitor records them while the OSD starts. rbd for disks; radosgw's
  # bucket pools made here too, so none appears in the middle of a test.
  # One ceph process for all of them: each start of the tool costs a second or more.
  local p commands="osd pool create rbd 8 8"$'\n'"osd pool application enable rbd rbd"$'\n'
  for p in default.rgw.buckets.index default.rgw.buckets.data default.rgw.buckets.non-ec; do
    commands+="osd pool create $p 8 8"$'\n'"osd pool application enable $p rgw"$'\n'
  done
  printf '%s' "$commands" | cephc >>"$dir/log/setup.log" 2>&1 || fail "cannot create the pools"
  # The tool reads commands on and ends well whatever each one said: look at the result.
  local pools
  pools=$(cephc osd pool ls 2>>"$dir/log/setup.log") || fail "cannot list the pools"
  for p in rbd default.rgw.buckets.index default.rgw.buckets.data default.rgw.buckets.non-ec; do
    grep -qxF "$p" <<<"$pools" || fail "the pool $p is missing"
  done
  echo "${SECONDS}s: pools made" >>"$dir/log/setup.log"
  # OSD on a sparse file that BlueStore creates itself.
  local osd_uuid osd_key osd_id
  osd_uuid=$(cat /proc/sys/kernel/random/uuid)
  osd_key=$(ceph-authtool --gen-print-key)
  osd_id=$(echo "{\"cephx_secret\": \"$osd_key\"}" |
    cephc osd new "$osd_uuid" -i - 2>>"$dir/log/setup.log") || fail "ceph osd new failed"
  [ "$osd_id" = 0 ] || fail "unexpected OSD id $osd_id"
  ceph-authtool --create-keyring "$dir/osd.0/keyring" --name osd.0 --add-key "$osd_key" >/dev/null
  ceph-osd -c "$conf" -i 0 --mkfs --osd-uuid "$osd_uuid" --keyring "$dir/osd.0/keyring" \
    >>"$dir/log/setup.log" 2>&1 || fail "ceph-osd --mkfs failed"
  ceph-osd -c "$conf" -i 0 --keyring "$dir/osd.0/keyring" || fail "ceph-osd did not start"

  echo "${SECONDS}s: OSD started" >>"$dir/log/setup.log"
  # radosgw and its S3 user.
  cephc auth get-or-create client.rgw.gw mon 'allow rw' osd 'allow rwx' mgr 'allow rw' \
    -o "$dir/ceph.client.rgw.gw.keyring" >>"$dir/log/setup.log" 2>&1 || fail "no key for radosgw"
  radosgw -c "$conf" -n client.rgw.gw || fail "radosgw did not start"
  wait_until 90 "radosgw to listen" rgw_listens "$rgw_port"
  local access secret
  access=ZV$(head -c 1024 /dev/urandom | tr -dc A-Z0-9 | head -c 18)
  secret=$(head -c 1024 /dev/urandom | tr -dc A-Za-z0-9 | head -c 40)
  timeout 60 radosgw-admin -c "$conf" user create --uid=zvtest --display-name="Zelvor tests" \
    --access-key="$access" --secret-key="$secret" >>"$dir/log/setup.log" 2>&1 ||
    fail "cannot create the S3 user"

  echo "${SECONDS}s: S3 user made" >>"$dir/log/setup.log"
  # HEALTH_OK can come before radosgw's own pools are clean: wait for both.
  wait_until 120 "HEALTH_OK with every placement group active+clean" clean_and_healthy

  cat >"$dir/ceph.env.tmp" <<EOF
CEPH_CONF=$conf
CEPH_KEYRING_DIR=$dir
CEPH_ADMIN_KEYRING=$dir/ceph.client.admin.keyring
CEPH_MON_HOST=127.0.0.1
CEPH_MON_PORT=$mon_port
CEPH_MON_ADDR=127.0.0.1:$mon_port
CEPH_FSID=$fsid
S3_ENDPOINT=http://127.0.0.1:$rgw_port
S3_REGION=default
S3_ACCESS_KEY=$access
S3_SECRET_KEY=$secret
S3_USER=zvtest
EOF
  mv "$dir/ceph.env.tmp" "$dir/ceph.env"
  echo "${SECONDS}s: clean" >>"$dir/log/setup.log"
  echo "ceph cluster up in $dir: monitor 127.0.0.1:$mon_port, S3 http://127.0.0.1:$rgw_port"
}

case $action in
  start) start_cluster ;;
  stop)
    [ -d "$dir" ] || exit 0
    stop_cluster
    rm -f "$dir/ceph.env"
    ;;
  *) usage ;;
esac
