#!/usr/bin/env bash
# Checks the relay services as systemd reads them, and where it can, as an operator uses them.
#   packaging/check-service.sh <installed relay path> <built relay> <built dialog program>
#                              <stream probe> <package folder> <unit>...
# 1. systemd-analyze verify on a copy of each unit whose program path points at the relay program
#    of this build (verify also checks that the program exists). The manual page it names is
#    installed only with the package, so it is not looked up here.
# 2. Where this runs as root and packages were built into <package folder>: systemd boots as the
#    first process of namespaces of its own over an overlay of this system. There the single
#    package of the earlier layout (built here from packaging/upgrade-from) is installed and runs a
#    relay, and the build's two packages upgrade it with dpkg alone: the relay comes back on the new
#    program and the administrator's edit of the shipped settings stays. Then two relays run from
#    two files and each carries a datagram, one is reloaded with another port and then with a
#    broken file (the reload fails, the relay goes on), an upgrade restarts both; streams outlive
#    the relay's process (a TCP stream through two restarts and an upgrade, four streams at once
#    through one relay across a restart and an upgrade, UDP datagrams through
#    two restarts, connections made during restarts, with the probes of <stream probe>); a third on a
#    taken port shows its bind error at priority err, and a purge leaves nothing of the packages
#    running or behind. Last, tarvel-relay is installed alone and relays. Only loopback addresses
#    inside the new network namespace are used; the namespaces, mounts and cgroups go when the
#    check ends.
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

installed=${1:?usage: check-service.sh <installed relay> <built relay> <built dialog program> <stream probe> <package folder> <unit>...}
built=${2:?}
dialog_program=${3:?}
stream_probe=${4:?}
packages=${5:?}
shift 5
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
relay_debs=("$packages"/tarvel-relay_*.deb)
dialog_debs=("$packages"/tarvel_*.deb)
{ [ -e "${relay_debs[0]}" ] && [ -e "${dialog_debs[0]}" ]; } ||
    skip "boot skipped: no packages in $packages (a sanitized build makes none)"
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

# The packages go in through a pipe: the build folder may lie below /tmp, which the new system
# sees as a file system of its own.
into() { ns sh -c "cat > $2" <"$1" || fail "cannot copy $1 into the new system"; }
relay_deb=/var/cache/tarvel-relay.deb
dialog_deb=/var/cache/tarvel.deb
old_deb=/var/cache/tarvel-old.deb
into "${relay_debs[0]}" $relay_deb
into "${dialog_debs[0]}" $dialog_deb
dpkg_in() { ns dpkg "$@" >>"$copy/dpkg.log" 2>&1 || { cat "$copy/dpkg.log" >&2; fail "dpkg $* failed"; }; }

# The single package of the earlier layout: the dialog's program ran the relays with --headless.
old=$copy/old
fixture=$(dirname "$0")/upgrade-from
mkdir -p "$old/DEBIAN" "$old/usr/libexec/tarvel" "$old/usr/lib/systemd/system" "$old/etc/tarvel"
cp "$fixture/control" "$fixture/conffiles" "$fixture/postinst" "$fixture/prerm" "$fixture/postrm" \
    "$old/DEBIAN/"
cp "$dialog_program" "$old/usr/libexec/tarvel/tarvel"
for unit in "$@"; do
    sed -e "s|^ExecStart=$installed |ExecStart=/usr/libexec/tarvel/tarvel --headless |" \
        -e "\\|^ExecReload=$installed |d" "$unit" >"$old/usr/lib/systemd/system/$(basename "$unit")"
done
cp "$fixture/tarvel.inf" "$old/etc/tarvel/"
dpkg-deb --root-owner-group --build "$old" "$copy/old.deb" >/dev/null
into "$copy/old.deb" $old_deb

# Installation enables and starts nothing.
dpkg_in -i $old_deb
[ "$(ns systemctl is-enabled tarvel-relay.service 2>&1)" = disabled ] ||
    fail "installation enabled tarvel-relay.service"
[ -z "$(ns systemctl list-units --no-legend --state=active 'tarvel-relay*')" ] ||
    fail "installation started a relay"

# One UDP relay per file, from the client side (127.0.0.2) to a receiver on the server side; with
# PROTOCOL=0 a TCP relay the same way, and with FORWARD=Bytes the bytes as they are.
settings() { # <file> <relay port> <receiver port> [client port text]
    {
        printf '[ClientOrServer]\nNumber=0\n[UDpOrTCp]\nNumber=%s\n[IP]\nNumber=1\n[Client1]\nIP=127.0.0.2\n[ClientPost1]\nPost=%s\n[Server1]\nIP=127.0.0.3\n[ServerPost1]\nPost=%s\n' \
            "${PROTOCOL:-1}" "${4:-$2}" "$3"
        [ -z "${FORWARD:-}" ] || printf '[Forward]\nMode=%s\n' "$FORWARD"
        [ -z "${STREAMS:-}" ] || printf '[Relay]\nStreams=%s\n' "$STREAMS"
    } | ns tee "/etc/tarvel/$1.inf" >/dev/null
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
main_pids() { ns systemctl show -P MainPID "$@" | xargs; }
program_of() { ns readlink "/proc/$(main_pids "$1")/exe"; }

# The earlier layout runs a relay, and the administrator has edited the shipped settings.
settings alpha 5001 6001
ns systemctl start tarvel-relay@alpha.service || fail "the earlier layout's relay does not start"
[ "$(through 5001 6001 old)" = old ] || fail "the earlier layout's relay relays nothing"
echo '; kept across the upgrade' | ns tee -a /etc/tarvel/tarvel.inf >/dev/null
before=$(main_pids tarvel-relay@alpha.service)

# The upgrade to the two packages, with dpkg alone: the relay comes back on the relay program.
# The shipped settings changed too; unattended, as here, dpkg keeps the administrator's version and
# puts the new one beside it.
dpkg_in -i --force-confold $relay_deb $dialog_deb
after=$(main_pids tarvel-relay@alpha.service)
{ [ "$after" != 0 ] && [ "$after" != "$before" ]; } ||
    fail "the relay did not come back after the upgrade from the earlier layout ($before -> $after)"
# The link may be read with the path of the new system's root in front.
[[ $(program_of tarvel-relay@alpha.service) == *"$installed" ]] ||
    fail "after the upgrade the relay runs $(program_of tarvel-relay@alpha.service)"
[ "$(through 5001 6001 new)" = new ] || fail "the relay relays nothing after the upgrade"
ns grep -q '^; kept across the upgrade$' /etc/tarvel/tarvel.inf ||
    fail "the upgrade lost the administrator's edit of /etc/tarvel/tarvel.inf"
ns cmp -s /etc/tarvel/tarvel.inf.dpkg-dist <(dpkg-deb --fsys-tarfile "${relay_debs[0]}" |
    tar -xO ./etc/tarvel/tarvel.inf) || fail "the new shipped settings are not beside the edited ones"
[ "$(ns dpkg -S /etc/tarvel/tarvel.inf | cut -d: -f1)" = tarvel-relay ] ||
    fail "/etc/tarvel/tarvel.inf is not tarvel-relay's after the upgrade"
echo "check-service: the upgrade from the earlier layout brought the relay back on $installed" \
    "(main process $before -> $after) and kept the edited settings"

settings beta 5002 6002
ns systemctl start tarvel-relay@beta.service || fail "the relays do not start"
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

# A reload of a broken file fails and says why; the relay goes on as it was.
settings alpha 5003 6001 abc
if ns systemctl reload tarvel-relay@alpha.service 2>/dev/null; then
    fail "a reload of a broken file succeeded"
fi
broken() { ns journalctl --no-pager -u tarvel-relay@alpha.service | grep -q '\[ClientPost1\] Post=abc: 不是整数'; }
within 10 broken || fail "the failed reload does not say why"
[ "$(ns systemctl is-active tarvel-relay@alpha.service)" = active ] ||
    fail "tarvel-relay@alpha is not active after a failed reload"
[ "$(through 5003 6001 four)" = four ] || fail "tarvel-relay@alpha stopped relaying after a failed reload"
settings alpha 5003 6001
echo "check-service: a reload of a broken file failed ($(ns journalctl --no-pager -o cat -u tarvel-relay@alpha.service | grep -m1 'Post=abc')) and the relay went on"

# A reload onto a port another process holds fails before the running relay is touched: systemctl
# reload says so, the journal has the reason at err, and the relay goes on where it was.
# The holder runs as a unit of the booted system, so that nothing of it is left to this script.
ns systemd-run --quiet --unit=port-holder socat -u UDP-RECV:5009,bind=127.0.0.2 /dev/null ||
    fail "the check's own holder of port 5009 does not start"
held() { ns ss -Hlun 'sport = :5009' | grep -q .; }
within 10 held || fail "the check's own holder of port 5009 did not bind"
settings alpha 5009 6001
if ns systemctl reload tarvel-relay@alpha.service 2>/dev/null; then
    fail "a reload onto a port another process holds succeeded"
fi
taken() { ns journalctl --no-pager -p err -u tarvel-relay@alpha.service | grep -q '5009 无法绑定: 地址已被占用'; }
within 10 taken || fail "the failed reload's reason is not in the journal at err"
[ "$(ns systemctl is-active tarvel-relay@alpha.service)" = active ] ||
    fail "tarvel-relay@alpha is not active after a reload onto a taken port"
[ "$(through 5003 6001 five)" = five ] || fail "tarvel-relay@alpha stopped relaying after a reload onto a taken port"
ns systemctl stop port-holder.service
settings alpha 5003 6001
echo "check-service: a reload onto a taken port failed ($(ns journalctl --no-pager -o cat -p err -u tarvel-relay@alpha.service | grep -m1 '5009 无法绑定')) and the relay went on"

# An upgrade (the same packages again) restarts the relays that run on the new program.
before=$(main_pids tarvel-relay@alpha.service tarvel-relay@beta.service)
dpkg_in -i $relay_deb $dialog_deb
after=$(main_pids tarvel-relay@alpha.service tarvel-relay@beta.service)
for pid in $after; do
    [ "$pid" != 0 ] || fail "a relay did not come back after the upgrade ($before -> $after)"
done
for pid in $before; do
    [[ " $after " != *" $pid "* ]] || fail "a relay was not restarted by the upgrade ($before -> $after)"
done
[ "$(through 5003 6001 five)" = five ] || fail "tarvel-relay@alpha relays nothing after the upgrade"
echo "check-service: the upgrade restarted both relays (main processes $before -> $after)"
echo "check-service: $(ns systemd-analyze security --no-pager tarvel-relay@alpha.service | tail -n1)"

# Streams outlive the relay's process: a restart, and the restart of an upgrade, hand them to the
# next process through systemd's descriptor store.
into "$stream_probe" /usr/local/bin/stream_probe
ns chmod 755 /usr/local/bin/stream_probe
probe() { ns /usr/local/bin/stream_probe "$@"; }
tcp_settings() { PROTOCOL=0 FORWARD=Bytes settings "$@"; } # TCP, the bytes as they are
restart() { ns systemctl restart "tarvel-relay@$1.service" || fail "tarvel-relay@$1 does not restart"; }
resumed() { ns journalctl --no-pager -o cat -u "tarvel-relay@$1.service" | grep -c '已接续' || true; }
# A probe in the background, one of each kind at a time; `finished` waits for it and fails the
# check unless it saw nothing lost, and `said` gives its line.
declare -A probe_pids
start_probe() { probe "$@" >"$copy/$1" 2>&1 & probe_pids[$1]=$!; } # <kind> <its arguments>
finished() { wait "${probe_pids[$1]}" || fail "$2: $(said "$1")"; } # <kind> <what went wrong>
said() { cat "$copy/$1"; }

# 48 MiB over one TCP connection at 4 MB/s, through two restarts and an upgrade.
tcp_settings stream 5010 6010
ns systemctl start tarvel-relay@stream.service || fail "tarvel-relay@stream does not start"
ns sh -c 'head -c 48M /dev/urandom >/var/cache/stream.bin'
start_probe tcp-receive 127.0.0.3 6010 /var/cache/stream.out 60
sleep 0.3
start_probe tcp-send 127.0.0.2 5010 /var/cache/stream.bin 4000000
sleep 1.5
restart stream
sleep 1.5
dpkg_in -i $relay_deb
sleep 1
restart stream
finished tcp-send "the source's connection did not survive"
sent=$(said tcp-send)
finished tcp-receive "the destination's connection did not survive"
received=$(said tcp-receive)
[ "$(ns sha256sum /var/cache/stream.bin | cut -d" " -f1)" = "$(ns sha256sum /var/cache/stream.out | cut -d" " -f1)" ] ||
    fail "the stream arrived changed: $received"
[ "$(resumed stream)" -eq 3 ] || fail "the stream was taken over $(resumed stream) times, not 3"
echo "check-service: through two restarts and an upgrade the source $sent; the destination $received, sha256 equal"
echo "check-service: the journal of the first restart:"
ns journalctl --no-pager -o short-precise -u tarvel-relay@stream.service |
    sed -n '/收到 SIGUSR2/,/已接续/p' | sed -n '1,/已接续/p' | sed 's/^/    /'

# Four streams at once through one relay, 12 MiB each at 1.5 MB/s, through a restart and an
# upgrade: each arrives whole over its own connections (which destination connection carried which
# source is the relay's order of accepting, so the files are matched by their sums).
STREAMS=4 tcp_settings streams 5014 6014
ns systemctl start tarvel-relay@streams.service || fail "tarvel-relay@streams does not start"
for k in 0 1 2 3; do ns sh -c "head -c 12M /dev/urandom >/var/cache/streams.in.$k"; done
start_probe tcp-receive-each 127.0.0.3 6014 /var/cache/streams.out 4 60
sleep 0.3
senders=()
for k in 0 1 2 3; do
    probe tcp-send 127.0.0.2 5014 "/var/cache/streams.in.$k" 1500000 >"$copy/streams-send.$k" 2>&1 &
    senders+=($!)
done
sleep 1.5
restart streams
sleep 1.5
dpkg_in -i $relay_deb
for k in 0 1 2 3; do
    wait "${senders[$k]}" || fail "stream $k's source did not survive: $(cat "$copy/streams-send.$k")"
done
finished tcp-receive-each "the destinations' connections did not survive"
sums() { ns sh -c "sha256sum $1 | cut -d' ' -f1 | sort"; }
[ "$(sums '/var/cache/streams.in.*')" = "$(sums '/var/cache/streams.out.*')" ] ||
    fail "the four streams arrived changed: $(said tcp-receive-each)"
[ "$(resumed streams)" -eq 8 ] || fail "the four streams were taken over $(resumed streams) times, not 8"
echo "check-service: four streams at once through a restart and an upgrade: $(said tcp-receive-each), each whole"

# 20 000 datagrams a second for 3 seconds, through two restarts.
settings datagrams 5011 6011
ns systemctl start tarvel-relay@datagrams.service || fail "tarvel-relay@datagrams does not start"
start_probe udp-receive 127.0.0.3 6011 60000 20
sleep 0.3
start_probe udp-send 127.0.0.2 5011 20000 60000
sleep 0.8
restart datagrams
sleep 1
restart datagrams
finished udp-send "the datagrams were not all sent"
sent=$(said udp-send)
finished udp-receive "datagrams were lost across the restarts"
received=$(said udp-receive)
[ "$(resumed datagrams)" -eq 2 ] || fail "the UDP relay was taken over $(resumed datagrams) times, not 2"
echo "check-service: through two restarts the UDP relay $received ($sent)"

# Connections made again and again during two restarts: none is refused.
tcp_settings knock 5012 6012
ns systemctl start tarvel-relay@knock.service || fail "tarvel-relay@knock does not start"
start_probe tcp-sink 127.0.0.3 6012 6
sleep 0.3
start_probe tcp-knock 127.0.0.2 5012 4
sleep 1
restart knock
sleep 1.5
restart knock
finished tcp-knock "connections were refused during the restarts"
knocked=$(said tcp-knock)
finished tcp-sink "the knocks' far end failed"
echo "check-service: during two restarts $knocked"
ns systemctl stop tarvel-relay@stream.service tarvel-relay@streams.service tarvel-relay@datagrams.service tarvel-relay@knock.service

# A third relay on beta's port cannot bind: the journal has it at priority err.
settings gamma 5002 6003
if ns systemctl start tarvel-relay@gamma.service 2>/dev/null; then
    fail "tarvel-relay@gamma started on a taken port"
fi
bind_error() { ns journalctl --no-pager -p err -u tarvel-relay@gamma.service | grep -q '无法绑定: 地址已被占用'; }
within 10 bind_error || fail "journalctl -p err does not show gamma's bind error"
echo "check-service: journalctl -p err: $(ns journalctl --no-pager -o cat -p err -u tarvel-relay@gamma.service | head -n1)"
ns systemctl stop tarvel-relay@gamma.service

# Purge: the relays stop, and the packages leave nothing behind but the administrator's files.
ns systemctl enable tarvel-relay@beta.service 2>/dev/null
ns test -L /etc/systemd/system/multi-user.target.wants/tarvel-relay@beta.service ||
    fail "enabling tarvel-relay@beta made no link"
dpkg_in --purge tarvel tarvel-relay
[ -z "$(ns systemctl list-units --no-legend --state=active,activating,reloading,deactivating 'tarvel-relay*')" ] ||
    fail "relays still run after the purge: $(ns systemctl list-units --no-legend 'tarvel-relay*')"
if ns pgrep -f "$installed|/usr/libexec/tarvel/" >/dev/null; then
    fail "a program of the packages still runs after the purge"
fi
left=$(ns sh -c 'ls -d /etc/systemd/system/*.wants/tarvel-relay* /var/lib/tarvel /var/lib/private/tarvel \
    /usr/libexec/tarvel /usr/bin/tarvel-relay /lib/systemd/system/tarvel-relay* \
    /usr/lib/systemd/system/tarvel-relay* /etc/tarvel/tarvel.inf 2>/dev/null' || true)
[ -z "$left" ] || fail "the purge left: $left"
echo "check-service: after the purge nothing of the packages runs or stays (/etc/tarvel keeps: $(ns ls /etc/tarvel | tr '\n' ' '))"

# The relay package alone, as on a server without a desktop.
dpkg_in -i $relay_deb
ns dpkg -s tarvel >/dev/null 2>&1 && fail "installing tarvel-relay installed tarvel"
ns systemctl start tarvel-relay@beta.service || fail "tarvel-relay alone does not start a relay"
[ "$(through 5002 6002 alone)" = alone ] || fail "tarvel-relay alone relays nothing"
dpkg_in --purge tarvel-relay
echo "check-service: tarvel-relay installed alone ran tarvel-relay@beta and carried a datagram"
