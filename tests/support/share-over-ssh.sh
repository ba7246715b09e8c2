#!/usr/bin/env bash
# One folder that several copies of the program reach as two laptops reach
# a network share: DIR/share served by an sshd of its own on 127.0.0.1 (a
# throwaway key, a free port) and mounted with sshfs at DIR/a, DIR/b and
# DIR/c; DIR/cloud is the same folder under a file-system type the program
# does not know, as a cloud drive's mount would be.
#   share-over-ssh.sh start DIR    exit 77 with the reason where the machine cannot
#   share-over-ssh.sh kill MOUNT   ends one mount's sshfs at once, as a dropped link would
#   share-over-ssh.sh stop DIR
set -euo pipefail
cmd="$1"
dir="$2"

mounts=(a b c cloud)

case "$cmd" in
start)
    [ -c /dev/fuse ] || { echo "no FUSE device on this machine"; exit 77; }
    for tool in sshfs /usr/sbin/sshd ssh-keygen fusermount3; do
        command -v "$tool" >/dev/null || { echo "$tool is not installed"; exit 77; }
    done
    mkdir -p "$dir/share" "$dir/run"
    ssh-keygen -q -t ed25519 -N '' -f "$dir/host_key"
    ssh-keygen -q -t ed25519 -N '' -f "$dir/client_key"
    cp "$dir/client_key.pub" "$dir/authorized_keys"
    chmod 600 "$dir/authorized_keys"
    [ "$(id -u)" -ne 0 ] || mkdir -p /run/sshd
    # A free port: tried until one can be bound.
    for _ in $(seq 20); do
        port="$(shuf -i 20000-60000 -n 1)"
        cat >"$dir/sshd_config" <<CONF
ListenAddress 127.0.0.1
Port $port
HostKey $dir/host_key
AuthorizedKeysFile $dir/authorized_keys
PidFile $dir/run/sshd.pid
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
Subsystem sftp internal-sftp
CONF
        rm -f "$dir/run/sshd.pid"
        /usr/sbin/sshd -f "$dir/sshd_config" -E "$dir/sshd.log" || continue
        for _ in $(seq 50); do [ -s "$dir/run/sshd.pid" ] && break; sleep 0.1; done
        [ -s "$dir/run/sshd.pid" ] && break
    done
    [ -s "$dir/run/sshd.pid" ] || { cat "$dir/sshd.log" >&2; exit 1; }
    user="$(id -un)"
    options="port=$port,IdentityFile=$dir/client_key,StrictHostKeyChecking=no"
    options="$options,UserKnownHostsFile=/dev/null,BatchMode=yes,LogLevel=ERROR"
    for m in "${mounts[@]}"; do
        mkdir -p "$dir/$m"
        extra=""
        [ "$m" = cloud ] && extra=",subtype=clouddrive"
        sshfs -o "$options$extra" "$user@127.0.0.1:$dir/share" "$dir/$m"
    done
    ;;
kill)
    # The mount point is the sshfs's last argument.
    pkill -KILL -f "sshfs .* $dir\$" || true
    fusermount3 -u -z "$dir" 2>/dev/null || true
    ;;
stop)
    for m in "${mounts[@]}"; do
        fusermount3 -u -z "$dir/$m" 2>/dev/null || true
    done
    [ -s "$dir/run/sshd.pid" ] && kill "$(cat "$dir/run/sshd.pid")" 2>/dev/null || true
    ;;
esac
