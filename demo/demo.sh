#!/usr/bin/env bash
# fieldbridge demo: the gateway's main job on simulated devices, on this machine only.
#
#   demo/demo.sh BUILD_DIR          (./run demo builds into build/ and runs this)
#
# It makes a temporary root prefix with the example configuration of demo/config, and starts in it:
# the bus daemon, the eventd/smsd/digital_io stand-ins, a Modbus TCP device and a Modbus RTU device
# on a pseudo-terminal pair linked at $ROOT/dev/RS485 (both modbus_sim, with registers that change),
# an MQTT broker and a mail sink on 127.0.0.1, and the applets: modbus_poll (one TCP and one RS485
# process), modbus_transport (connection 1: one JSON document per scan, connection 2: one message
# per value), modbus_alarm and email_notifier. It prints what the broker receives, the alarm
# notifications, the mails and a status table; after a few seconds it writes a register from the
# broker side. Ctrl-C stops every process it started and removes the root.
#
# Environment:
#   DEMO_SECONDS=N        stop by itself after N seconds (default: run until Ctrl-C)
#   DEMO_QUIET=1          do not print every MQTT message (notifications, writes, status still show)
#   DEMO_STATUS_EVERY=N   seconds between status tables (default 5)
#   DEMO_WRITE_AFTER=N    seconds after start of the automatic register write (default 10)
#   DEMO_KEEP_ROOT=1      keep the root (configuration, logs, caches) instead of removing it
set -euo pipefail

if [ $# -ne 1 ] || [ ! -d "$1/bin" ]; then
    echo "usage: $0 BUILD_DIR   (a build directory with bin/, e.g. build after ./run build)" >&2
    exit 2
fi
BUILD_DIR=$(cd "$1" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
DEMO_SECONDS=${DEMO_SECONDS:-0}
DEMO_QUIET=${DEMO_QUIET:-0}
DEMO_STATUS_EVERY=${DEMO_STATUS_EVERY:-5}
DEMO_WRITE_AFTER=${DEMO_WRITE_AFTER:-10}
DEMO_KEEP_ROOT=${DEMO_KEEP_ROOT:-0}
PY=/usr/bin/python3

# Ports of the example configuration; a busy one is replaced by a free one in the root's copy.
MODBUS_PORT=15020
MQTT_PORT=11883
SMTP_PORT=12525
WRITE_TOPIC=fieldbridge/write
WRITE_REQUEST='{"connection_index":1,"slave_id":1,"func_code":6,"reg_addr":10,"endian":"ab","value":"25"}'

missing=()
for prog in ubusd ubus usi install_into_root eventd smsd digital_io ch343_gpio_control modbus_sim \
    modbus_poll modbus_transport modbus_alarm email_notifier; do
    [ -x "$BUILD_DIR/bin/$prog" ] || missing+=("$BUILD_DIR/bin/$prog")
done
for prog in mosquitto mosquitto_sub mosquitto_pub socat msmtp stdbuf flock "$PY"; do
    command -v "$prog" >/dev/null 2>&1 || missing+=("$prog")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "demo: missing: ${missing[*]} (./run demo installs and builds what is needed)" >&2
    exit 1
fi
if ! "$PY" -c 'import aiosmtpd' 2>/dev/null; then
    echo "demo: $PY has no aiosmtpd (Debian package python3-aiosmtpd)" >&2
    exit 1
fi

ROOT=$(mktemp -d /tmp/fieldbridge-demo.XXXXXX)
LOGS=$ROOT/demo
mkdir -p "$LOGS"
export FIELDBRIDGE_ROOT=$ROOT
export PATH="$BUILD_DIR/bin:$PATH"
export FIELDBRIDGE_LOG_STDERR=1

PIDS=()
NAMES=()
POLL_PIDS=()
declare -A FD=() PARTIAL=() # output files followed by the main loop: descriptor, unfinished line

alive() { # pid: running and not a zombie (builtins only: Ctrl-C must not fool it)
    local stat
    { IFS= read -r stat <"/proc/$1/stat"; } 2>/dev/null || return 1
    stat=${stat##*) }
    [ -n "$stat" ] && [ "${stat:0:1}" != Z ]
}

cleanup() {
    local rc=$?
    trap - EXIT INT TERM
    echo
    echo "== stopping"
    # Last started first: the pollers send their last events while the bus is still there, and the
    # broker passes the transports' last will to the watcher, which is shown below.
    local i pid n f
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do
        pid=${PIDS[i]}
        alive "$pid" || continue
        kill -TERM "$pid" 2>/dev/null || continue
        for ((n = 0; n < 50; n++)); do
            alive "$pid" || break
            sleep 0.1
        done
        if alive "$pid"; then
            echo "   ${NAMES[i]} (pid $pid) did not stop on SIGTERM: SIGKILL"
            kill -KILL "$pid" 2>/dev/null || true
        fi
    done
    wait 2>/dev/null || true
    for f in "${!FD[@]}"; do
        drain "$f" || true
    done
    echo "   stopped ${#PIDS[@]} processes: ${PIDS[*]:-}"
    if [ "$DEMO_KEEP_ROOT" = 1 ]; then
        echo "   root kept: $ROOT (logs in $LOGS)"
    else
        rm -rf "$ROOT"
        echo "   removed $ROOT"
    fi
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

T0=$SECONDS
stamp() { printf '[%3ds]' $((SECONDS - T0)); }
say() { echo "$(stamp) $*"; }

# start NAME COMMAND...: runs COMMAND in the background with its output in $LOGS/NAME.out/.err.
start() {
    local name=$1
    shift
    "$@" >"$LOGS/$name.out" 2>"$LOGS/$name.err" &
    PIDS+=($!)
    NAMES+=("$name")
    printf '   %-18s pid %-7s %s\n' "$name" "$!" "$*"
    LAST_PID=$!
}

fail() {
    echo "demo: $*" >&2
    exit 1
}

# wait_for SECONDS DESCRIPTION COMMAND...: until COMMAND succeeds.
wait_for() {
    local limit=$1 what=$2
    shift 2
    local deadline=$((SECONDS + limit))
    until "$@" >/dev/null 2>&1; do
        if [ $SECONDS -ge $deadline ]; then
            if [ ${#NAMES[@]} -gt 0 ]; then # what the last process started said
                tail -n 5 "$LOGS/${NAMES[-1]}.err" >&2 2>/dev/null || true
            fi
            fail "$what did not come up within ${limit}s"
        fi
        sleep 0.1
    done
}

port_free() {
    "$PY" -c 'import socket,sys
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1])))' "$1" 2>/dev/null
}
any_free_port() {
    "$PY" -c 'import socket
s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
pick_port() { # default port -> that port or, when busy, a free one
    if port_free "$1"; then echo "$1"; else any_free_port; fi
}
log_has() { grep -q -- "$2" "$LOGS/$1" 2>/dev/null; }

echo "== fieldbridge demo"
echo "   root $ROOT"

# --- the root: example configuration, service stand-ins, router values ---------------------------
cp -R "$HERE/config/." "$ROOT/"
chmod 600 "$ROOT/etc/msmtprc"
install_into_root "$ROOT"
# Two demos on one machine (the test suite runs the demo of each build) must not both find the
# same port free: the one that picks its ports holds a lock on this script until its servers listen.
exec {PORT_LOCK}<"$HERE/demo.sh"
flock -w 120 "$PORT_LOCK" || fail "another demo holds the port lock"
move_port() { # file pattern-with-the-old-port text-with-the-new-port
    sed -i "s/$2/$3/" "$1"
    grep -qF -- "$3" "$1" || fail "could not set the port in $1"
}
p=$(pick_port $MODBUS_PORT)
if [ "$p" != $MODBUS_PORT ]; then
    move_port "$ROOT/etc/config/applications/modbus_poll" "\"server_port\": \"$MODBUS_PORT\"" "\"server_port\": \"$p\""
    MODBUS_PORT=$p
fi
p=$(pick_port $MQTT_PORT)
if [ "$p" != $MQTT_PORT ]; then
    move_port "$ROOT/etc/config/applications/modbus_transport" "\"server_port\": \"$MQTT_PORT\"" "\"server_port\": \"$p\""
    MQTT_PORT=$p
fi
p=$(pick_port $SMTP_PORT)
if [ "$p" != $SMTP_PORT ]; then
    move_port "$ROOT/etc/msmtprc" "^port $SMTP_PORT\$" "port $p"
    SMTP_PORT=$p
fi
echo "   Modbus TCP device 127.0.0.1:$MODBUS_PORT, MQTT broker 127.0.0.1:$MQTT_PORT, mail sink 127.0.0.1:$SMTP_PORT"

# The status file of modbus_poll with one row per enabled channel, as the router's status service
# creates it (modbus_poll only rewrites existing rows).
mkdir -p "$ROOT/tmp/.usi/applications"
"$PY" - "$ROOT/etc/config/applications/modbus_poll" >"$ROOT/tmp/.usi/applications/modbus_poll" <<'PY'
import json, sys
conf = json.load(open(sys.argv[1]))
n = sum(1 for c in conf["connection"] if c.get("enable") != "false"
        for ch in c.get("channel", []) if ch.get("enable") == "true")
print(json.dumps({"channel": [{"id": str(i), "status": "", "value": ""} for i in range(1, n + 1)]}, indent=2))
PY
STATUS_ROWS=$("$PY" -c 'import json,sys; print(len(json.load(open(sys.argv[1]))["channel"]))' \
    "$ROOT/tmp/.usi/applications/modbus_poll")

echo "== starting"
start ubusd ubusd
wait_for 5 "ubusd" test -S "$ROOT/var/run/ubus/ubus.sock"
# Values the router's own services keep in the status store.
usi set system.serial_number FB-DEMO-0001
usi set system.model FB-GW-1
usi set system.firmware_version 0.1.0
usi set active_link.type loopback
usi set active_link.ip 127.0.0.1 # the uplink address; the mail notifier sends only while there is one

# The mail sink prints every mail it gets; it takes a moment to start, so it goes first.
start mail_sink "$PY" -u -m aiosmtpd -n -l "127.0.0.1:$SMTP_PORT"
for s in eventd smsd digital_io; do
    start "$s" "$s"
done
wait_for 5 "the service stand-ins" sh -c 'ubus list eventd && ubus list smsd && ubus list digital_io'

MOSQ_CONF=$ROOT/etc/mosquitto.conf
{
    echo "listener $MQTT_PORT 127.0.0.1"
    echo "allow_anonymous true"
    echo "persistence false"
    # As root the broker would switch to its own user, which cannot enter the private root.
    [ "$(id -u)" -ne 0 ] || echo "user root"
} >"$MOSQ_CONF"
start mosquitto mosquitto -c "$MOSQ_CONF"
wait_for 5 "mosquitto" port_open "$MQTT_PORT"
start mqtt_watch stdbuf -oL mosquitto_sub -h 127.0.0.1 -p "$MQTT_PORT" -t '#' -v -d
wait_for 5 "the MQTT watcher" log_has mqtt_watch.out SUBACK

# Devices. Holding registers: 0 temperature (0.1 degC), 1 counter, 2-3 float (voltage, low word
# first), 10 setpoint; coil 0 a status bit. --demo changes 0-3 and the coil every second.
start device_tcp modbus_sim --tcp "$MODBUS_PORT" --slave 1 --demo --hr 0=215,0,0,17254 --hr 10=20
wait_for 5 "the Modbus TCP device" log_has device_tcp.err "modbus_sim: ready"
mkdir -p "$ROOT/dev"
start serial_line socat PTY,raw,echo=0,link="$ROOT/dev/RS485" PTY,raw,echo=0,link="$ROOT/dev/rs485_device"
wait_for 5 "the RS485 line" test -e "$ROOT/dev/RS485" -a -e "$ROOT/dev/rs485_device"
start device_rtu modbus_sim --rtu "$ROOT/dev/rs485_device" --baud 9600 --slave 2 --demo --hr 0=215,0,0,17254
wait_for 5 "the Modbus RTU device" log_has device_rtu.err "modbus_sim: ready"

wait_for 10 "the mail sink" port_open "$SMTP_PORT"
flock -u "$PORT_LOCK"
exec {PORT_LOCK}<&-

start modbus_alarm modbus_alarm
start email_notifier email_notifier
start transport_1 modbus_transport 1
start transport_2 modbus_transport 2
for i in 1 2; do
    wait_for 15 "modbus_transport $i (MQTT connection)" \
        sh -c "[ \"\$(usi get 'modbus_transport.connection[$i].status')\" = Connected ]"
done
start poll_tcp modbus_poll tcp 1
POLL_PIDS+=("$LAST_PID")
start poll_rs485 modbus_poll rs485 1
POLL_PIDS+=("$LAST_PID")

echo "== running (Ctrl-C stops everything)"
echo "   watch the broker:  mosquitto_sub -h 127.0.0.1 -p $MQTT_PORT -t '#' -v"
echo "   watch the bus:     FIELDBRIDGE_ROOT=$ROOT $BUILD_DIR/bin/ubus listen"
echo "   write a register:  mosquitto_pub -h 127.0.0.1 -p $MQTT_PORT -t $WRITE_TOPIC -m '$WRITE_REQUEST'"
echo "   logs:              $LOGS/*.err"

# --- following the output files ------------------------------------------------------------------
for f in mqtt_watch.out eventd.err smsd.err digital_io.err mail_sink.out device_tcp.out device_rtu.out; do
    exec {fd}<"$LOGS/$f"
    FD[$f]=$fd
    PARTIAL[$f]=""
done

SETPOINT=""
WRITE_SENT=0
MAIL_SUBJECT=""
MAIL_BODY=""
IN_MAIL=0

on_mqtt_watch.out() {
    local line=$1
    case $line in
    "Client "* | "Subscribed ("*) return ;; # mosquitto_sub's own debug lines
    esac
    [ "$DEMO_QUIET" = 1 ] || say "mqtt   $line"
    if [[ $line == "fieldbridge/boiler "* && $line =~ \"setpoint\":\ \"([-0-9]+)\" ]]; then
        local v=${BASH_REMATCH[1]}
        if [ -n "$SETPOINT" ] && [ "$v" != "$SETPOINT" ]; then
            say "write  setpoint changed on the device: $SETPOINT -> $v (read back by modbus_poll, published by modbus_transport)"
        fi
        SETPOINT=$v
    fi
}
on_notification() { # service line
    local text=${2#*]: }
    say "alarm  $1: $text"
}
on_eventd.err() { case $1 in *"event name="*) on_notification eventd "$1" ;; esac; }
on_smsd.err() { case $1 in *sendsms*) on_notification smsd "$1" ;; esac; }
on_digital_io.err() { case $1 in *"do id="*) on_notification digital_io "$1" ;; esac; }
on_mail_sink.out() { # the sink prints each mail between two marker lines
    local line=$1
    case $IN_MAIL in
    0) [[ $line != "---------- MESSAGE FOLLOWS"* ]] || { IN_MAIL=1 MAIL_SUBJECT="" MAIL_BODY=""; } ;;
    1)
        case $line in
        "Subject: "*) MAIL_SUBJECT=${line#Subject: } ;;
        "") IN_MAIL=2 ;;
        esac
        ;;
    2)
        if [[ $line == "------------ END MESSAGE"* ]]; then
            IN_MAIL=0
            say "mail   \"$MAIL_SUBJECT\": $MAIL_BODY"
        else
            MAIL_BODY+=${MAIL_BODY:+ }$line
        fi
        ;;
    esac
}
on_device() { # device line
    case $2 in
    "write "*)
        say "write  $1 device received: $2"
        ;;
    esac
}
on_device_tcp.out() { on_device "boiler (TCP)" "$1"; }
on_device_rtu.out() { on_device "meter (RTU)" "$1"; }

drain() { # file: hands every complete new line to on_<file>
    local f=$1 fd=${FD[$1]} line
    while :; do
        if IFS= read -r line <&"$fd"; then
            line=${PARTIAL[$f]}$line
            PARTIAL[$f]=""
            "on_$f" "$line"
        else
            PARTIAL[$f]+=$line
            break
        fi
    done
}

status_table() {
    # modbus_poll rewrites its status file on SIGUSR1, as the web interface asks it to.
    local pid
    for pid in "${POLL_PIDS[@]}"; do
        kill -USR1 "$pid" 2>/dev/null || true
    done
    sleep 0.3
    echo "$(stamp) status"
    "$PY" - "$ROOT" "$STATUS_ROWS" <<'PY'
import fcntl, json, shlex, signal, subprocess, sys
signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C belongs to the demo, which stops everything
root, rows = sys.argv[1], int(sys.argv[2])
store = {}
for line in subprocess.run(["usi", "show"], capture_output=True, text=True).stdout.splitlines():
    for word in shlex.split(line):
        key, _, value = word.partition("=")
        store[key] = value
with open(root + "/tmp/.usi/applications/modbus_poll") as f:
    fcntl.lockf(f, fcntl.LOCK_SH)
    status = {r.get("id"): r for r in json.load(f).get("channel", [])}
for i in (1, 2):
    k = "modbus_transport.connection[%d]." % i
    print("       transport %d  %-13s cached rows %s" % (i, store.get(k + "status", "-"), store.get(k + "storage_quantity", "-")))
print("       %-3s %-5s %-4s %-5s %-2s %-4s %-15s %-18s %s" % ("row", "type", "conn", "slave", "fc", "reg", "channel", "status", "value"))
for r in range(1, rows + 1):
    k = "modbus_poll.channel[%d]." % r
    s = status.get(str(r), {})
    print("       %-3d %-5s %-4s %-5s %-2s %-4s %-15s %-18s %s" % (
        r, store.get(k + "type", ""), store.get(k + "connection_index", ""), store.get(k + "slave_id", ""),
        store.get(k + "func_code", ""), store.get(k + "reg_address", ""), store.get(k + "desc", ""),
        s.get("status", ""), s.get("value", "")))
print("       last write %s; alarm notifications: %s events, %s SMS, %s output switches" % (
    store.get("modbus_write.result", "-"), store.get("eventd.event_count", "0"),
    store.get("smsd.sms_count", "0"), store.get("digital_io.do_count", "0")))
PY
}

write_register() {
    echo "$(stamp) write  a register write from the broker side (holding register 10, the setpoint, to 25):"
    echo "       \$ mosquitto_pub -h 127.0.0.1 -p $MQTT_PORT -t $WRITE_TOPIC -m '$WRITE_REQUEST'"
    mosquitto_pub -h 127.0.0.1 -p "$MQTT_PORT" -t "$WRITE_TOPIC" -m "$WRITE_REQUEST" ||
        say "write  mosquitto_pub failed"
}

# --- main loop -----------------------------------------------------------------------------------
next_status=$((SECONDS + DEMO_STATUS_EVERY))
while :; do
    for f in "${!FD[@]}"; do
        drain "$f"
    done
    for i in "${!PIDS[@]}"; do
        if ! alive "${PIDS[i]}"; then
            # After Ctrl-C the processes may go before the shell runs its trap: let it run first.
            sleep 0.5
            echo "demo: ${NAMES[i]} (pid ${PIDS[i]}) exited; the end of its log:" >&2
            tail -n 15 "$LOGS/${NAMES[i]}.err" >&2 || true
            exit 1
        fi
    done
    if [ $WRITE_SENT = 0 ] && [ $((SECONDS - T0)) -ge "$DEMO_WRITE_AFTER" ]; then
        WRITE_SENT=1
        write_register
    fi
    if [ $SECONDS -ge $next_status ]; then
        status_table
        next_status=$((SECONDS + DEMO_STATUS_EVERY))
    fi
    if [ "$DEMO_SECONDS" -gt 0 ] && [ $((SECONDS - T0)) -ge "$DEMO_SECONDS" ]; then
        status_table
        echo "$(stamp) demo time of ${DEMO_SECONDS}s is over"
        break
    fi
    sleep 0.25
done
