#!/usr/bin/env bash
# Builds the tiny test guest the libvirt tests boot under TCG, and caches it.
#
#   tests/guest/build_guest.sh        -> prints the guest directory on stdout
#
# The guest directory holds:
#   vmlinuz       Debian 12 cloud kernel, booted directly (<kernel>/<initrd>)
#   initrd.img    busybox-static, the host's qemu-ga with its libraries, the virtio
#                 modules; the initramfs is the root file system (no root disk)
#   system.qcow2  template of the system disk (vda): ext4, not mounted by the guest
#   data.qcow2    template of the data disk (vdb): ext4, mounted at /data, written
#                 every second and frozen by qemu-ga's guest-fsfreeze-freeze
#   info          key=value lines: kernel version, module list, build time
#
# Cache: ${ZV_GUEST_CACHE:-/var/cache/zelvor-kvm-tests}/guest-<kernel>-<hash>, where the
# hash covers this script and the versions of the host packages copied into the guest,
# so changing either builds a new guest. Concurrent callers wait on a lock; a guest is
# published by an atomic rename, so a half-built one is never seen.
set -euo pipefail

cache_root=${ZV_GUEST_CACHE:-/var/cache/zelvor-kvm-tests}
kernel_meta=linux-image-cloud-amd64
needed_modules=(virtio_pci virtio_blk virtio_console ext4)

log() { echo "build_guest: $*" >&2; }
die() { log "$*"; exit 1; }

for tool in apt-cache apt-get dpkg dpkg-query cpio gzip mkfs.ext4 qemu-img modprobe depmod \
            ldd sha256sum flock; do
    command -v "$tool" >/dev/null || die "missing tool: $tool (run scripts/setup.sh)"
done
[ -x /bin/busybox ] || die "missing /bin/busybox (package busybox-static)"
[ -x /usr/sbin/qemu-ga ] || die "missing /usr/sbin/qemu-ga (package qemu-guest-agent)"

# The versioned kernel package behind the meta package, e.g. linux-image-6.1.0-57-cloud-amd64.
kernel_pkg=$(apt-cache depends "$kernel_meta" 2>/dev/null |
             sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n1)
if [ -z "$kernel_pkg" ]; then
    log "no package lists for $kernel_meta; running apt-get update"
    apt-get update -qq >/dev/null 2>&1 || true
    kernel_pkg=$(apt-cache depends "$kernel_meta" 2>/dev/null |
                 sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n1)
fi
[ -n "$kernel_pkg" ] || die "cannot resolve the kernel package behind $kernel_meta"
kernel_version=${kernel_pkg#linux-image-}
kernel_pkg_version=$(apt-cache policy "$kernel_pkg" | sed -n 's/^ *Candidate: //p')

host_versions=$(dpkg-query -W -f='${Package}=${Version}\n' qemu-guest-agent busybox-static \
                libc6 libglib2.0-0 2>/dev/null || true)
hash=$( { cat "$0"; echo "$kernel_pkg=$kernel_pkg_version"; echo "$host_versions"; } |
        sha256sum | cut -c1-12)
guest_dir=$cache_root/guest-$kernel_version-$hash

if [ -f "$guest_dir/info" ]; then
    echo "$guest_dir"
    exit 0
fi

mkdir -p "$cache_root"
exec 9>"$cache_root/.build.lock"
flock 9
if [ -f "$guest_dir/info" ]; then  # built by another caller while we waited
    echo "$guest_dir"
    exit 0
fi

started=$(date +%s.%N)
work=$(mktemp -d "$cache_root/.build.XXXXXX")
trap 'rm -rf "$work"' EXIT
log "building $guest_dir"

# --- kernel -------------------------------------------------------------------------
(cd "$work" && apt-get download -qq -o APT::Sandbox::User=root "$kernel_pkg" >/dev/null) ||
    die "apt-get download $kernel_pkg failed"
dpkg -x "$work"/"$kernel_pkg"_*.deb "$work/kernel"
kroot=$work/kernel
moddir=lib/modules/$kernel_version
[ -f "$kroot/boot/vmlinuz-$kernel_version" ] || die "no vmlinuz in $kernel_pkg"
depmod -b "$kroot" "$kernel_version"

# --- initramfs tree -----------------------------------------------------------------
root=$work/root
mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,etc,proc,sys,dev,run,tmp,data,var,root}
mkdir -p "$root/opt/zelvor/scripts" "$root/$moddir"
ln -s ../run "$root/var/run"
chmod 1777 "$root/tmp"

cp /bin/busybox "$root/bin/busybox"
# Every applet as a link, at the path busybox gives it (usr/bin/test among them).
while read -r applet; do
    applet=${applet#/}
    [ -n "$applet" ] && [ "$applet" != bin/busybox ] || continue
    [ -e "$root/$applet" ] && continue
    mkdir -p "$root/$(dirname "$applet")"
    ln -s /bin/busybox "$root/$applet"
done < <(/bin/busybox --list-full)
[ -L "$root/usr/bin/test" ] || die "busybox has no test applet"

# qemu-ga and every library ldd lists, at the same paths, plus the program interpreter.
cp /usr/sbin/qemu-ga "$root/usr/sbin/qemu-ga"
ldd /usr/sbin/qemu-ga | awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }' |
while read -r lib; do
    mkdir -p "$root/$(dirname "$lib")"
    cp -L "$lib" "$root/$lib"
done
[ -e "$root/lib64/ld-linux-x86-64.so.2" ] || die "qemu-ga's program interpreter was not copied"

# Kernel modules the guest needs, with their dependencies, in load order; built-in
# ones (ext4 in the cloud kernel) need nothing.
: >"$root/etc/modules.order"
for module in "${needed_modules[@]}"; do
    modprobe -d "$kroot" -S "$kernel_version" --show-depends "$module" |
    while read -r kind path _; do
        [ "$kind" = insmod ] || continue
        rel=${path#"$kroot"/}
        grep -qxF "$rel" "$root/etc/modules.order" && continue
        mkdir -p "$root/$(dirname "$rel")"
        cp "$path" "$root/$rel"
        echo "$rel" >>"$root/etc/modules.order"
    done
done

cat >"$root/etc/inittab" <<'EOF'
::sysinit:/etc/rc.sysinit
::respawn:/usr/sbin/qemu-ga -m virtio-serial -p /dev/virtio-ports/org.qemu.guest_agent.0 -f /run/qemu-ga.pid -t /run
::respawn:/usr/local/bin/zv-writer
::ctrlaltdel:/bin/poweroff -f
EOF

cat >"$root/etc/rc.sysinit" <<'EOF'
#!/bin/sh
export PATH=/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev 2>/dev/null
mkdir -p /dev/pts && mount -t devpts devpts /dev/pts
mount -t tmpfs -o mode=0755 tmpfs /run
while read -r module; do
    insmod "/$module" || echo "zv-guest: insmod $module failed"
done </etc/modules.order
hostname zvguest

# No udev: name the virtio-serial ports the way udev would.
mkdir -p /dev/virtio-ports
for i in $(seq 50); do
    for port in /sys/class/virtio-ports/*; do
        [ -f "$port/name" ] || continue
        ln -sf "../${port##*/}" "/dev/virtio-ports/$(cat "$port/name")"
    done
    [ -e /dev/virtio-ports/org.qemu.guest_agent.0 ] && [ -b /dev/vdb ] && break
    sleep 0.1
done

# The data disk is the second disk. It is mounted read-write so qemu-ga freezes it.
if mount -t ext4 -o rw /dev/vdb /data; then
    echo "zv-guest: data disk mounted"
else
    echo "zv-guest: cannot mount /dev/vdb on /data"
fi
echo "zv-guest: ready"
EOF

# Appends one numbered line a second to /data/counter and syncs it, so a backup
# window always has writes in flight. Blocks (as it should) while /data is frozen.
mkdir -p "$root/usr/local/bin"
cat >"$root/usr/local/bin/zv-writer" <<'EOF'
#!/bin/sh
n=0
[ -f /data/counter ] && n=$(wc -l </data/counter)
while :; do
    n=$((n + 1))
    if grep -q " /data " /proc/mounts; then
        echo "$n $(date +%s)" >>/data/counter
        sync
    fi
    sleep 1
done
EOF

# The default in-guest program of the module. Records each call ("<epoch> <args>")
# in /tmp/zelvor-kvm.calls (always writable) and /data/zelvor-kvm.calls (so a backup
# shows the call). A test makes a call fail or hang by writing an exit code to
# /tmp/zelvor-kvm.<arg>.exit or a number of seconds to /tmp/zelvor-kvm.<arg>.sleep.
cat >"$root/opt/zelvor/scripts/zelvor-kvm.sh" <<'EOF'
#!/bin/sh
line="$(date +%s) $*"
echo "$line" >>/tmp/zelvor-kvm.calls
if grep -q " /data " /proc/mounts; then
    echo "$line" >>/data/zelvor-kvm.calls
    sync
fi
control=/tmp/zelvor-kvm.$1
[ -f "$control.sleep" ] && sleep "$(cat "$control.sleep")"
[ -f "$control.exit" ] && exit "$(cat "$control.exit")"
exit 0
EOF

chmod 0755 "$root/etc/rc.sysinit" "$root/usr/local/bin/zv-writer" \
           "$root/opt/zelvor/scripts/zelvor-kvm.sh"
ln -s /bin/busybox "$root/init"
echo "root:x:0:0:root:/root:/bin/sh" >"$root/etc/passwd"
echo "root:x:0:" >"$root/etc/group"

(cd "$root" && find . -print0 | cpio --null -o -H newc --quiet) | gzip -1 >"$work/out.initrd.img"

# --- disks --------------------------------------------------------------------------
make_disk() {  # name label size
    local raw=$work/$1.raw
    truncate -s "$3" "$raw"
    mkfs.ext4 -q -F -L "$2" -E lazy_itable_init=0,lazy_journal_init=0 "$raw"
    qemu-img convert -q -f raw -O qcow2 "$raw" "$work/out.$1.qcow2"
    rm -f "$raw"
}
make_disk system zvsystem 32M
make_disk data zvdata 64M

out=$work/out
mkdir "$out"
cp "$kroot/boot/vmlinuz-$kernel_version" "$out/vmlinuz"
mv "$work/out.initrd.img" "$out/initrd.img"
mv "$work/out.system.qcow2" "$out/system.qcow2"
mv "$work/out.data.qcow2" "$out/data.qcow2"
chmod 0644 "$out"/*
chmod 0755 "$out"
finished=$(date +%s.%N)
{
    echo "kernel_version=$kernel_version"
    echo "kernel_package=$kernel_pkg=$kernel_pkg_version"
    echo "modules=$(tr '\n' ' ' <"$root/etc/modules.order")"
    echo "build_seconds=$(awk -v a="$started" -v b="$finished" 'BEGIN { printf "%.1f", b - a }')"
} >"$out/info"

mv "$out" "$guest_dir"
chmod 0755 "$cache_root"
log "built $guest_dir in $(sed -n 's/^build_seconds=//p' "$guest_dir/info") s"
echo "$guest_dir"
