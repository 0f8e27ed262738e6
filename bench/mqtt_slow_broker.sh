#!/usr/bin/env bash
# The MQTT front-end's memory behind a broker that stops reading: mosquitto
# on a free loopback port is stopped (SIGSTOP) while its connections stay up,
# the front-end over the fake tag engine gets CYCLES scan cycles of three
# changes, and its resident memory before and after is printed with its
# statistics. Needs mosquitto (scripts/setup.sh) and mqtt_fakeline:
#   cmake --build build/native --target mqtt_fakeline
#   bench/mqtt_slow_broker.sh build/native/bin/mqtt_fakeline [CYCLES]
set -euo pipefail
fakeline=${1:?usage: $0 MQTT_FAKELINE [CYCLES]}
cycles=${2:-200000}
broker=$(command -v mosquitto || echo /usr/sbin/mosquitto)
dir=$(mktemp -d)
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
broker_pid=
line_pid=
cleanup() {
    [ -n "$broker_pid" ] && kill -CONT "$broker_pid" 2>/dev/null && kill "$broker_pid" 2>/dev/null
    [ -n "$line_pid" ] && kill "$line_pid" 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT
printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$port" >"$dir/broker.conf"
"$broker" -c "$dir/broker.conf" >/dev/null 2>&1 &
broker_pid=$!
sleep 0.5
cat >"$dir/line.toml" <<TOML
[mqtt]
broker = "mqtt://127.0.0.1:$port"
client_id = "slow-broker-bench"
keepalive_s = 60
[mqtt.sparkplug]
group_id = "plant"
edge_node_id = "line1"
[mqtt.json]
prefix = "vave8/line1"
TOML
mkfifo "$dir/in"
"$fakeline" "$dir/line.toml" <"$dir/in" >"$dir/out" 2>"$dir/err" &
line_pid=$!
exec 3>"$dir/in"
sleep 1
rss() { awk '/VmRSS/ { print $2 }' "/proc/$line_pid/status"; }
kill -STOP "$broker_pid"
before=$(rss)
for ((i = 1; i <= cycles; i++)); do echo "set count $i tank/level $((i % 60000)) flow $i"; done >&3
sleep 3
echo stats >&3
sleep 1
echo "resident memory: $before kB before, $(rss) kB after $cycles cycles with the broker stopped"
grep '^stats' "$dir/out" | tail -n 1
kill -CONT "$broker_pid"
echo quit >&3
exec 3>&-
wait "$line_pid" || true
line_pid=
