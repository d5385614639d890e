#!/usr/bin/env bash
# Builds linecast and publishes a few lines through it. With neither --host nor --port given it
# starts a throw-away mosquitto on a free loopback port; otherwise it uses your broker (port
# 1883 and host localhost unless given). A subscriber shows what arrived.
#   scripts/demo.sh [linecast options...]        e.g. scripts/demo.sh --qos 1 --maxdatalen 8
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target linecast >/dev/null

host="" port="" broker=""
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
  case "${args[i]}" in
    --host) host=${args[i + 1]:-} ;;
    --port) port=${args[i + 1]:-} ;;
  esac
done
# linecast's own defaults: the subscriber must look where linecast publishes.
own_broker=""
if [ -z "$host" ] && [ -z "$port" ]; then own_broker=yes; fi
host=${host:-localhost}
port=${port:-1883}
tmp=$(mktemp -d)
cleanup() {
  [ -n "$broker" ] && kill "$broker" 2>/dev/null && wait "$broker" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT

if [ -n "$own_broker" ]; then
  host=127.0.0.1
  # A random high port; mosquitto refuses to start when it is taken, and we try another.
  for _ in $(seq 20); do
    port=$((20000 + RANDOM % 40000))
    printf 'user root\nlistener %s 127.0.0.1\nallow_anonymous true\n' "$port" >"$tmp/mosquitto.conf"
    mosquitto -c "$tmp/mosquitto.conf" >"$tmp/broker.log" 2>&1 &
    broker=$!
    sleep 0.3
    kill -0 "$broker" 2>/dev/null && break
    broker=""
  done
  [ -n "$broker" ] || { echo "could not start mosquitto" >&2; exit 1; }
  args+=(--host "$host" --port "$port")
  echo "Started a throw-away mosquitto on $host:$port"
fi

topic=linecast/demo
mosquitto_sub -h "$host" -p "$port" -t "$topic" -v -W 10 >"$tmp/received" 2>&1 &
sub=$!
sleep 0.3
echo "--- linecast says:"
printf 'first line\nsecond line\na line longer than the record limit of the defaults, so that it gets cut after one hundred bytes exactly\nlast line without a line feed' |
  build/linecast "$topic" "${args[@]}"
sleep 0.5
kill "$sub" 2>/dev/null || true
wait "$sub" 2>/dev/null || true
echo "--- the subscriber received (topic, then payload):"
cat "$tmp/received"
