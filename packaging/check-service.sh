#!/usr/bin/env bash
# Checks the relay services as systemd reads them, and where it can, as an operator uses them.
#   packaging/check-service.sh <installed program path> <built program> <package folder> <unit>...
# 1. systemd-analyze verify on a copy of each unit whose program path points at the program of
#    this build (verify also checks that the program exists). The manual page it names is
#    installed only with the package, so it is not looked up here.
# 2. Where this runs as root and a package was built into <package folder>: systemd boots as the
#    first process of namespaces of its own over an overlay of this system, the package is
#    installed there, two relays run from two files and each carries a datagram, one is reloaded
#    with another port, a third one on a taken port shows its bind error at priority err, and a
#    purge leaves nothing of the package running or behind. Only loopback addresses inside the new
#    network namespace are used; the namespaces, mounts and cgroups go when the check ends.
# Exits 77 (skipped), with the reason, where a part cannot run here.
set -euo pipefail

if [ "${1:-}" = --boot-inside ]; then
    # The first process of the new namespaces: an overlay root, then systemd in its place.
    base=$2
    mount --make-rprivate /
    mount -t tmpfs -o mode=755 tmpfs "$base"
    mkdir "$base/upper" "$base/work" "$base/root"
    mount -t overlay overlay -o "lowerdir=/,upperdir=$base/upper,workdir=$base/work" "$base/root"
    root=$base/root
    mount -t proc proc "$root/proc"
    # Read-only, so that systemd leaves out what only a real machine needs (device management).
    mount -t sysfs -o ro sysfs "$root/sys"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs -o mode=755 tmpfs "$root/run"
    mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
    # A machine's own policy, not a container image's that forbids every service action.
    rm -f "$root/usr/sbin/policy-rc.d"
    # Boots to the journal and nothing else.
    cat >"$root/etc/systemd/system/tarvel-check.target" <<'TARGET'
[Unit]
Description=Tarvel service check
Wants=systemd-journald.socket
TARGET
    exec chroot "$root" /usr/bin/env -i container=other PATH=/usr/sbin:/usr/bin:/sbin:/bin \
        /lib/systemd/systemd --unit=tarvel-check.target
fi

installed=${1:?usage: check-service.sh <installed program> <built program> <package folder> <unit>...}
built=${2:?}
packages=${3:?}
shift 3
[ $# -gt 0 ] || { echo "check-service: no unit given" >&2; exit 2; }

skip() {
    echo "check-service: $*" >&2
    exit 77
}

# 1. The units as systemd reads them.
if ! command -v systemd-analyze >/dev/null 2>&1; then
    skip "skipped, systemd-analyze is not installed"
fi
copy=$(mktemp -d)
cleanups=("rm -rf '$copy'")
cleanup() {
    local i
    for ((i = ${#cleanups[@]} - 1; i >= 0; i--)); do
        eval "${cleanups[i]}" || true
    done
}
trap cleanup EXIT
for unit in "$@"; do
    name=$(basename "$unit")
    sed "s|$installed|$built|g" "$unit" >"$copy/$name"
    # A template is read as one of its instances.
    [[ $name == *@.service ]] && mv "$copy/$name" "$copy/${name/@./@check.}" && name=${name/@./@check.}
    if ! output=$(systemd-analyze verify --man=no "$copy/$name" 2>&1); then
        # Without a running systemd some machines cannot load units at all.
        if grep -q -e 'Failed to initialize manager' -e 'Failed to setup working directory' <<<"$output"; then
            skip "skipped, systemd-analyze cannot run here: $output"
        fi
        echo "$output" >&2
        exit 1
    fi
    if [ -n "$output" ]; then
        echo "$output" >&2
        echo "check-service: systemd-analyze has remarks on $name" >&2
        exit 1
    fi
    echo "check-service: $name passes systemd-analyze verify"
done

# 2. The package under a systemd of its own.
debs=("$packages"/*.deb)
[ -e "${debs[0]}" ] || skip "boot skipped: no package in $packages (a sanitized build makes none)"
[ "$(id -u)" -eq 0 ] || skip "boot skipped: booting systemd in namespaces needs root"
for tool in unshare nsenter chroot socat; do
    command -v "$tool" >/dev/null 2>&1 || skip "boot skipped: $tool is not installed"
done
grep -qw overlay /proc/filesystems || skip "boot skipped: the kernel has no overlay file system"

# The new systemd's cgroups go below folders of this check's own in each hierarchy it may use.
cgroups=()
for hierarchy in /sys/fs/cgroup/unified /sys/fs/cgroup/systemd /sys/fs/cgroup; do
    if [ -e "$hierarchy/cgroup.procs" ] && [ -w "$hierarchy" ]; then
        folder="$hierarchy/tarvel-check-$$"
        mkdir "$folder" || skip "boot skipped: cannot make a cgroup in $hierarchy"
        cgroups+=("$folder")
        cleanups+=("find '$folder' -depth -type d -exec rmdir {} +")
    fi
    # A machine with only the unified hierarchy has it at the top.
    [ "$hierarchy" = /sys/fs/cgroup/systemd ] && [ ${#cgroups[@]} -gt 0 ] && break
done
[ ${#cgroups[@]} -gt 0 ] || skip "boot skipped: no writable cgroup hierarchy"

base=$(mktemp -d /tmp/tarvel-check-boot.XXXXXX)
cleanups+=("rmdir '$base'")
log=$copy/boot.log
(
    for folder in "${cgroups[@]}"; do
        echo "$BASHPID" >"$folder/cgroup.procs"
    done
    exec setsid unshare --pid --mount --net --uts --ipc --cgroup --fork --mount-proc \
        "$0" --boot-inside "$base"
) >"$log" 2>&1 </dev/null &
launcher=$!
cleanups+=("stop_systemd")
stop_systemd() {
    if kill -0 "$launcher" 2>/dev/null; then
        [ -n "${pid1:-}" ] && kill -s SIGRTMIN+4 "$pid1" 2>/dev/null
        for _ in $(seq 100); do kill -0 "$launcher" 2>/dev/null || break; sleep 0.1; done
        kill -s KILL "$launcher" 2>/dev/null
        [ -n "${pid1:-}" ] && kill -s KILL "$pid1" 2>/dev/null
        wait "$launcher" 2>/dev/null
    fi
    return 0
}

# Until `command` succeeds, at most `seconds` long.
within() {
    local seconds=$1
    shift
    local deadline=$((SECONDS + seconds))
    until "$@"; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.2
    done
}
first_child() { pid1=$(ps -o pid= --ppid "$launcher" | tr -d ' ' | head -n1); [ -n "$pid1" ]; }
within 10 first_child || { cat "$log" >&2; skip "boot skipped: the namespaces could not be made"; }
ns() { nsenter -t "$pid1" -a -r -w "$@"; }
booted() { [[ $(ns systemctl is-system-running 2>/dev/null) =~ ^(running|degraded)$ ]]; }
if ! within 30 booted; then
    cat "$log" >&2
    skip "boot skipped: systemd did not boot in the namespaces: $(ns systemctl is-system-running 2>&1 || true)"
fi
echo "check-service: systemd booted in namespaces of its own (pid $pid1 here)"

fail() {
    echo "check-service: $*" >&2
    ns journalctl --no-pager -n 40 -u 'tarvel-relay*' >&2 || true
    exit 1
}

# The package goes in through a pipe: the build folder may lie below /tmp, which the new system
# sees as a file system of its own.
deb=/var/cache/tarvel-check.deb
ns sh -c "cat > $deb" <"${debs[0]}" || fail "cannot copy the package into the new system"

# Installation enables and starts nothing.
ns dpkg -i "$deb" >"$copy/dpkg.log" 2>&1 || { cat "$copy/dpkg.log" >&2; fail "the package does not install"; }
[ "$(ns systemctl is-enabled tarvel-relay.service 2>&1)" = disabled ] ||
    fail "installation enabled tarvel-relay.service"
[ -z "$(ns systemctl list-units --no-legend --state=active 'tarvel-relay*')" ] ||
    fail "installation started a relay"

# One UDP relay per file, from the client side (127.0.0.2) to a receiver on the server side.
settings() { # <file> <relay port> <receiver port>
    printf '[ClientOrServer]\nNumber=0\n[UDpOrTCp]\nNumber=1\n[IP]\nNumber=1\n[Client1]\nIP=127.0.0.2\n[ClientPost1]\nPost=%s\n[Server1]\nIP=127.0.0.3\n[ServerPost1]\nPost=%s\n' \
        "$2" "$3" | ns tee "/etc/tarvel/$1.inf" >/dev/null
}
# Sends `text` to the relay's port and prints what reached the receiver, without the zero after it.
through() { # <relay port> <receiver port> <text>
    local received=$copy/received
    ns timeout 5 socat -u UDP-RECVFROM:"$2",bind=127.0.0.3 STDOUT >"$received" &
    local receiver=$!
    # Again until it arrives: the receiver may not be bound yet.
    for _ in $(seq 25); do
        sleep 0.1
        printf '%s' "$3" | ns socat -u STDIN UDP-SENDTO:127.0.0.2:"$1"
        [ -s "$received" ] && break
    done
    wait "$receiver" || true
    tr -d '\0' <"$received"
}
settings alpha 5001 6001
settings beta 5002 6002
ns systemctl start tarvel-relay@alpha.service tarvel-relay@beta.service || fail "the relays do not start"
[ "$(through 5001 6001 one)" = one ] || fail "tarvel-relay@alpha relays nothing"
[ "$(through 5002 6002 two)" = two ] || fail "tarvel-relay@beta relays nothing"
echo "check-service: tarvel-relay@alpha and tarvel-relay@beta each carried a datagram"

# A reload with another port: the relay moves there.
settings alpha 5003 6001
ns systemctl reload tarvel-relay@alpha.service || fail "tarvel-relay@alpha does not reload"
reloaded() { ns journalctl --no-pager -u tarvel-relay@alpha.service | grep -q '设置已改变'; }
within 10 reloaded || fail "tarvel-relay@alpha did not read its file again"
[ "$(through 5003 6001 three)" = three ] || fail "tarvel-relay@alpha relays nothing on its new port"
echo "check-service: tarvel-relay@alpha reloaded onto port 5003"

# An upgrade (the same package again) restarts the relays that run on the new program.
main_pids() { ns systemctl show -P MainPID tarvel-relay@alpha.service tarvel-relay@beta.service | xargs; }
before=$(main_pids)
ns dpkg -i "$deb" >>"$copy/dpkg.log" 2>&1 || { cat "$copy/dpkg.log" >&2; fail "the package does not upgrade"; }
after=$(main_pids)
for pid in $after; do
    [ "$pid" != 0 ] || fail "a relay did not come back after the upgrade ($before -> $after)"
done
for pid in $before; do
    [[ " $after " != *" $pid "* ]] || fail "a relay was not restarted by the upgrade ($before -> $after)"
done
[ "$(through 5003 6001 four)" = four ] || fail "tarvel-relay@alpha relays nothing after the upgrade"
echo "check-service: the upgrade restarted both relays (main processes $before -> $after)"

# A third relay on beta's port cannot bind: the journal has it at priority err.
settings gamma 5002 6003
if ns systemctl start tarvel-relay@gamma.service 2>/dev/null; then
    fail "tarvel-relay@gamma started on a taken port"
fi
bind_error() { ns journalctl --no-pager -p err -u tarvel-relay@gamma.service | grep -q '无法绑定: 地址已被占用'; }
within 10 bind_error || fail "journalctl -p err does not show gamma's bind error"
echo "check-service: journalctl -p err: $(ns journalctl --no-pager -o cat -p err -u tarvel-relay@gamma.service | head -n1)"
ns systemctl stop tarvel-relay@gamma.service

# Purge: the relays stop, and the package leaves nothing behind but the administrator's files.
ns systemctl enable tarvel-relay@beta.service 2>/dev/null
ns test -L /etc/systemd/system/multi-user.target.wants/tarvel-relay@beta.service ||
    fail "enabling tarvel-relay@beta made no link"
ns dpkg --purge tarvel >>"$copy/dpkg.log" 2>&1 || { cat "$copy/dpkg.log" >&2; fail "the package does not purge"; }
[ -z "$(ns systemctl list-units --no-legend --state=active,activating,reloading,deactivating 'tarvel-relay*')" ] ||
    fail "relays still run after the purge: $(ns systemctl list-units --no-legend 'tarvel-relay*')"
if ns pgrep -f /usr/libexec/tarvel/ >/dev/null; then
    fail "a program of the package still runs after the purge"
fi
left=$(ns sh -c 'ls -d /etc/systemd/system/*.wants/tarvel-relay* /var/lib/tarvel /var/lib/private/tarvel \
    /usr/libexec/tarvel /lib/systemd/system/tarvel-relay* /usr/lib/systemd/system/tarvel-relay* \
    /etc/tarvel/tarvel.inf 2>/dev/null' || true)
[ -z "$left" ] || fail "the purge left: $left"
echo "check-service: after the purge nothing of the package runs or stays (/etc/tarvel keeps: $(ns ls /etc/tarvel | tr '\n' ' '))"
