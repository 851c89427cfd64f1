# shellcheck shell=bash
# Sourced by scripts/demo.sh and bench/backup_bench.sh: a throwaway domain on the
# small test guest, and the module run inside a private mount namespace over a
# scratch /opt/zelvor, so the host's own installation is untouched.
guest_lib_repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

virsh_() { LANG=C /usr/bin/virsh -c qemu:///system "$@"; }

# guest_domain_xml NAME DIR CONSOLE TARGET=IMAGE...: the domain on the guest's
# kernel and initrd in DIR, one virtio qcow2 disk a TARGET=IMAGE pair.
guest_domain_xml() {
  local name=$1 dir=$2 console=$3 disk
  shift 3
  cat <<XML
<domain type='qemu'>
  <name>$name</name>
  <memory unit='MiB'>192</memory>
  <vcpu>1</vcpu>
  <os>
    <type arch='x86_64' machine='pc'>hvm</type>
    <kernel>$dir/vmlinuz</kernel>
    <initrd>$dir/initrd.img</initrd>
    <cmdline>console=ttyS0 panic=-1 loglevel=4</cmdline>
  </os>
  <features><acpi/></features>
  <on_poweroff>destroy</on_poweroff>
  <on_reboot>destroy</on_reboot>
  <devices>
    <emulator>/usr/bin/qemu-system-x86_64</emulator>
XML
  for disk in "$@"; do
    cat <<XML
    <disk type='file' device='disk'>
      <driver name='qemu' type='qcow2'/>
      <source file='${disk#*=}'/>
      <target dev='${disk%%=*}' bus='virtio'/>
    </disk>
XML
  done
  cat <<XML
    <controller type='virtio-serial' index='0'/>
    <channel type='unix'>
      <target type='virtio' name='org.qemu.guest_agent.0'/>
    </channel>
    <serial type='file'>
      <source path='$console'/>
      <target port='0'/>
    </serial>
    <memballoon model='none'/>
  </devices>
</domain>
XML
}

# guest_domain_start NAME XML_FILE: defines and starts the domain; fails unless its
# guest agent answers within about 90 s.
guest_domain_start() {
  virsh_ -q define "$2" >/dev/null || return
  virsh_ -q start "$1" >/dev/null || return
  for _ in $(seq 1 300); do
    virsh_ qemu-agent-command "$1" '{"execute":"guest-ping"}' >/dev/null 2>&1 && break
    sleep 0.3
  done
  virsh_ qemu-agent-command "$1" '{"execute":"guest-ping"}' >/dev/null
}

guest_domain_remove() {
  virsh_ destroy "$1" >/dev/null 2>&1 || true
  virsh_ undefine "$1" --snapshots-metadata >/dev/null 2>&1 || true
}

# lsmod_layer_for SCRATCH: the module refuses a host without the kvm kernel modules.
# The throwaway domains run under emulation (type 'qemu') in any case, so on a host
# without the KVM device the layer laid over /sbin lists them; the module's own check
# is unchanged. With the device but without /proc/modules (a container) lsmod cannot
# answer, and the stand-in, which reports the kvm modules when the device is there, is
# laid over /sbin. Prints the layer's directory, nothing when lsmod works as it is;
# fails when the host has the device but no kvm module is loaded.
lsmod_layer_for() {
  if [ ! -c /dev/kvm ]; then
    mkdir -p "$1/lsmod-layer" && cat >"$1/lsmod-layer/lsmod" <<'LSMOD' &&
#!/bin/sh
echo "Module                  Size  Used by"
printf '%-22s %7s  %s\n' kvm_intel 0 0 kvm 0 "1 kvm_intel"
LSMOD
      chmod 0755 "$1/lsmod-layer/lsmod" && echo "$1/lsmod-layer"
    return
  fi
  if [ -r /proc/modules ]; then
    lsmod | grep -q '^kvm' && return
  else
    mkdir -p "$1/lsmod-layer" &&
      cp "$guest_lib_repo/standins/lsmod/lsmod" "$1/lsmod-layer/lsmod" &&
      "$1/lsmod-layer/lsmod" | grep -q '^kvm' && echo "$1/lsmod-layer" && return
  fi
  echo "no kvm kernel module on this host: the module does not work here" >&2
  return 1
}

# guest_exec DOMAIN SCRIPT: runs SCRIPT with /bin/sh in the guest through its agent and
# prints what it wrote on standard output; fails when it does not end with status 0
# within about 30 s.
guest_exec() {
  local request reply pid exited=false
  request=$(printf '{"execute":"guest-exec","arguments":{"path":"/bin/sh","arg":["-c","%s"],"capture-output":true}}' \
    "$(printf '%s' "$2" | sed 's/\\/\\\\/g; s/"/\\"/g')")
  reply=$(virsh_ qemu-agent-command "$1" "$request") || return
  pid=$(printf '%s' "$reply" | sed -n 's/.*"pid":\([0-9]*\).*/\1/p')
  [ -n "$pid" ] || return
  for _ in $(seq 1 100); do
    reply=$(virsh_ qemu-agent-command "$1" \
      "{\"execute\":\"guest-exec-status\",\"arguments\":{\"pid\":$pid}}") || return
    case $reply in *'"exited":true'*) exited=true; break ;; esac
    sleep 0.3
  done
  $exited || return
  case $reply in *'"exitcode":0'*) ;; *) return 1 ;; esac
  printf '%s' "$reply" | sed -n 's/.*"out-data":"\([^"]*\)".*/\1/p' | base64 -d
}

# zelvor_scratch_opt SCRATCH ZVFD TASK SECRET: SCRATCH/opt, which stands for
# /opt/zelvor, with the archiver and the task's secret.
zelvor_scratch_opt() {
  local opt=$1/opt
  mkdir -p "$opt"/{bin,etc,log,var/tasks,var/zelvor-modules,keys,scripts} "$1/mnt/zelvor"
  cp "$2" "$opt/bin/zvfd"
  echo "$4" >"$opt/var/tasks/task_secret_$3"
}

# in_zelvor_namespace LABEL SCRATCH LSMOD_LAYER VIRSH_WRAPPER COMMAND...: runs COMMAND
# with SCRATCH/opt as /opt/zelvor. A VIRSH_WRAPPER stands in for /usr/bin/virsh,
# with the real one at SCRATCH/virsh.real.
in_zelvor_namespace() {
  local label=$1
  [ -z "$4" ] || touch "$2/virsh.real"
  unshare --mount --propagation private bash -c '
    set -e
    label=$0; scratch=$1; lsmod_layer=$2; virsh_wrapper=$3; shift 3
    mount --make-rprivate /
    mount -t overlay "$label" -o lowerdir="$scratch/mnt:/opt" /opt
    mount --bind "$scratch/opt" /opt/zelvor
    if [ -n "$lsmod_layer" ]; then
      sbin=$(realpath /sbin)
      mount -t overlay "$label-sbin" -o lowerdir="$lsmod_layer:$sbin" "$sbin"
    fi
    if [ -n "$virsh_wrapper" ]; then
      mount --bind /usr/bin/virsh "$scratch/virsh.real"
      mount --bind "$virsh_wrapper" /usr/bin/virsh
    fi
    exec "$@"
  ' "$label" "${@:2}"
}
