#!/usr/bin/env bash
# End-to-end benchmark: linecast beside a raw-socket reference publisher and mosquitto_pub -l
# (and MQTT.js when installed) through a throw-away mosquitto on loopback, over plain TCP, TLS and
# WebSocket (plain and TLS), at MQTT 3.1.1 and 5; writes bench/out/. Environment knobs are listed in bench/README.md;
# BENCH_QUICK=1 is a short smoke run.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
out=${BENCH_OUT:-$here/out}

quick=${BENCH_QUICK:-0}
if [[ $quick == 1 ]]; then
  d_lines=20000 d_runs=1 d_mem_lines=100000 d_big_bytes=$((64 << 20)) d_js_lines=2000
  d_tls_lines=20000 d_v5_lines=20000 d_strace_lines=20000 d_topics_lines=20000 d_ws_lines=20000
  d_spool_lines=20000 d_backlog_bytes=$((64 << 20))
else
  d_lines=200000 d_runs=3 d_mem_lines=1000000 d_big_bytes=$((1 << 30)) d_js_lines=20000
  d_tls_lines=60000 d_v5_lines=60000 d_strace_lines=100000 d_topics_lines=100000 d_ws_lines=60000
  d_spool_lines=100000 d_backlog_bytes=$((1 << 30))
fi
lines=${BENCH_LINES:-$d_lines}
runs=${BENCH_RUNS:-$d_runs}
mem_lines=${BENCH_MEM_LINES:-$d_mem_lines}
big_bytes=${BENCH_BIG_BYTES:-$d_big_bytes}
# mosquitto_pub -l loses records past 65,535 lines at QoS 1 and 2, so it gets fewer there.
peer_q12_lines=${BENCH_PEER_QOS12_LINES:-60000}
js_lines=${BENCH_MQTTJS_LINES:-$d_js_lines}
# The TLS and MQTT 5 tables get as many lines as mosquitto_pub -l takes at QoS 1 and 2, so that
# every row of them has the same input, and the whole run stays short.
tls_lines=${BENCH_TLS_LINES:-$d_tls_lines}
v5_lines=${BENCH_V5_LINES:-$d_v5_lines}
# The per-record topic table: lines sNNN:LINE cycling over 1,000 subtopics.
topics_lines=${BENCH_TOPICS_LINES:-$d_topics_lines}
topics_qos=${BENCH_TOPICS_QOS:-0 1}
# The spool table: linecast without a spool, with --spool and with --spool-sync always.
spool_lines=${BENCH_SPOOL_LINES:-$d_spool_lines}
spool_qos=${BENCH_SPOOL_QOS:-0 1 2}
# The backlog case: a spool filled to this size with no broker, then drained on start-up.
backlog_bytes=${BENCH_SPOOL_BACKLOG_BYTES:-$d_backlog_bytes}
drain_s=${BENCH_SPOOL_DRAIN_S:-10}
# The pacing case: a spool of this many lines drained at --rate records a second.
pace_rate=${BENCH_RATE:-2000}
pace_lines=${BENCH_RATE_LINES:-$((quick == 1 ? 5000 : 20000))}
# A second linecast binary (e.g. an older commit) that runs beside the first as "linecast-base".
linecast_base=${BENCH_LINECAST_BASE:-}
# linecast over WebSocket, plain (ws) and in TLS (wss, only with the TLS listener).
ws_lines=${BENCH_WS_LINES:-$d_ws_lines}
strace_on=${BENCH_STRACE:-0}
strace_lines=${BENCH_STRACE_LINES:-$d_strace_lines}
strace_qos=${BENCH_STRACE_QOS:-1 0}
strace_pubs=${BENCH_STRACE_PUBLISHERS:-linecast ceiling}
qos_list=${BENCH_QOS:-0 1 2}
idle_ms=${BENCH_IDLE_MS:-10000}
mqttjs_dir=$out/mqttjs

log() { printf '[bench %(%H:%M:%S)T] %s\n' -1 "$*" >&2; }
die() {
  log "error: $*"
  exit 1
}
as_root() { if [[ $(id -u) == 0 ]]; then "$@"; else sudo "$@"; fi; }

# --- tools ------------------------------------------------------------------------------------
install_missing() {
  local missing=() p
  for p in mosquitto mosquitto-clients libmosquitto-dev cmake g++ pkg-config; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
  done
  command -v gnuplot >/dev/null || missing+=(gnuplot-nox)
  ((tls_lines > 0)) && ! command -v openssl >/dev/null && missing+=(openssl)
  [[ $strace_on == 1 ]] && ! command -v strace >/dev/null && missing+=(strace)
  if [[ ${BENCH_MQTTJS:-0} == 1 ]] && ! command -v npm >/dev/null; then missing+=(nodejs npm); fi
  if ((${#missing[@]})); then
    log "installing ${missing[*]}"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >&2 ||
      { as_root apt-get update -q >&2 && as_root env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -q "${missing[@]}" >&2; }
  fi
}

build() {
  local bdir=$root/build-bench
  if [[ -n ${BENCH_LINECAST:-} ]]; then
    linecast=$BENCH_LINECAST
  else
    log "building linecast (Release) in $bdir"
    cmake -S "$root" -B "$bdir" -DCMAKE_BUILD_TYPE=Release -DLINECAST_TESTS=OFF >/dev/null
    cmake --build "$bdir" --target linecast -j2 >/dev/null
    linecast=$bdir/linecast
  fi
  [[ -x $linecast ]] || die "no linecast binary at $linecast"
  [[ -z $linecast_base || -x $linecast_base ]] || die "no linecast binary at $linecast_base"
  # The tools configure on their own, whether or not the root project includes bench/.
  cmake -S "$here" -B "$bdir/bench-tools" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$bdir/bench-tools" -j2 >/dev/null
  tools=$bdir/bench-tools
}

setup_mqttjs() {
  mqttjs=""
  if [[ ${BENCH_MQTTJS:-0} == 1 && ! -x $mqttjs_dir/node_modules/.bin/mqtt ]]; then
    log "installing MQTT.js into $mqttjs_dir"
    mkdir -p "$mqttjs_dir"
    [[ -f $mqttjs_dir/package.json ]] || echo '{"private": true}' >"$mqttjs_dir/package.json"
    npm install --prefix "$mqttjs_dir" --no-audit --no-fund --silent mqtt@5 >&2
  fi
  if [[ -x $mqttjs_dir/node_modules/.bin/mqtt ]] && command -v node >/dev/null; then
    mqttjs=$mqttjs_dir/node_modules/.bin/mqtt
  fi
}

# --- broker -----------------------------------------------------------------------------------
# make_certificates: a CA and a server certificate for localhost and 127.0.0.1 in $tmp/tls, with
# EC keys, which make the handshake cheap.
make_certificates() {
  local d=$tmp/tls ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
  mkdir -p "$d"
  openssl req -x509 "${ec[@]}" -keyout "$d/ca.key" -out "$d/ca.crt" -days 2 -subj /CN=bench-ca \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign 2>/dev/null
  openssl req -new "${ec[@]}" -keyout "$d/server.key" -out "$d/server.csr" -subj /CN=localhost \
    2>/dev/null
  printf '%s\n' subjectAltName=DNS:localhost,IP:127.0.0.1 basicConstraints=CA:FALSE \
    extendedKeyUsage=serverAuth >"$d/server.ext"
  openssl x509 -req -in "$d/server.csr" -CA "$d/ca.crt" -CAkey "$d/ca.key" -CAcreateserial \
    -days 2 -extfile "$d/server.ext" -out "$d/server.crt" 2>/dev/null
  cafile=$d/ca.crt
}

# listener_config PORT [tls] [websockets]: the config of one more loopback listener. mosquitto 2.0.11
# serves WebSocket only beside a plain listener, and on IPv4 only when told so.
listener_config() {
  echo "listener $1 127.0.0.1"
  [[ " $* " == *" websockets "* ]] && printf '%s\n' "protocol websockets" "socket_domain ipv4"
  if [[ " $* " == *" tls "* ]]; then
    printf '%s\n' "cafile $cafile" "certfile $tmp/tls/server.crt" "keyfile $tmp/tls/server.key"
  fi
}

start_broker() {
  tls_port="" ws_port="" wss_port=""
  ((tls_lines > 0)) && make_certificates
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    port=$((20000 + RANDOM % 40000))
    # No limits on queues or in-flight windows: at QoS 0 a busy subscriber must not make the
    # broker drop, and at QoS 2 a limited in-flight count makes it drop a fast publisher's
    # records without telling anyone.
    # It stays the invoking user: as root it would switch to "mosquitto" before reading the TLS
    # key in this private directory. Notices are one line per connection with the listener's
    # port and the protocol level, which every run checks.
    cat >"$tmp/mosquitto.conf" <<EOF
user $(id -un)
listener $port 127.0.0.1
allow_anonymous true
persistence false
max_queued_messages 0
max_queued_bytes 0
max_inflight_messages 0
max_inflight_bytes 0
sys_interval 0
log_dest stderr
log_type error
log_type warning
log_type notice
EOF
    ((tls_lines > 0)) && tls_port=$((port + 1))
    ((ws_lines > 0)) && ws_port=$((port + 2))
    ((ws_lines > 0 && tls_lines > 0)) && wss_port=$((port + 3))
    {
      [[ -z $tls_port ]] || listener_config "$tls_port" tls
      [[ -z $ws_port ]] || listener_config "$ws_port" websockets
      [[ -z $wss_port ]] || listener_config "$wss_port" websockets tls
    } >>"$tmp/mosquitto.conf"
    mosquitto -c "$tmp/mosquitto.conf" 2>"$tmp/mosquitto.log" &
    broker_pid=$!
    for _ in $(seq 50); do
      local p open=1
      for p in $port $tls_port $ws_port $wss_port; do
        (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || open=0
      done
      ((open)) && return 0
      kill -0 "$broker_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$broker_pid" 2>/dev/null || true
    wait "$broker_pid" 2>/dev/null || true
    broker_pid=""
  done
  die "mosquitto did not start: $(tail -3 "$tmp/mosquitto.log")"
}

# publisher_connection OFFSET: "PROTOCOL LISTENER" of the last connection other than the
# subscriber's that the broker logged past byte OFFSET of its log, e.g. "5 tls"; "? ?" for none.
# mosquitto logs no "New connection" line for a WebSocket client: its listener is "ws", plain
# or TLS alike.
publisher_connection() {
  tail -c +$(($1 + 1)) "$tmp/mosquitto.log" | awk -v tls="$tls_port" '
    / New connection from / { split($0, a, " on port "); listener[$5] = a[2] + 0 }
    / New client connected from / && $8 !~ /^bench-sub-/ && match($0, /\(p[0-9]+,/) {
      p = substr($0, RSTART + 2, RLENGTH - 3)
      l = !($6 in listener) ? "ws" : listener[$6] == tls ? "tls" : "tcp"
      last = (p == 2 ? "3.1.1" : p == 1 ? "3.1" : p) " " l
    }
    END { print (last == "" ? "? ?" : last) }'
}

cleanup() {
  [[ -n ${sub_pid:-} ]] && kill "$sub_pid" 2>/dev/null
  if [[ -n ${broker_pid:-} ]]; then
    kill "$broker_pid" 2>/dev/null
    wait "$broker_pid" 2>/dev/null
  fi
  [[ -n ${tmp:-} ]] && rm -rf "$tmp"
  return 0
}

# --- one measured run -------------------------------------------------------------------------
# field NAME FILE: the number after NAME= in FILE, 0 when absent (a process that died early).
field() {
  local v
  v=$({ grep -o "\b$1=[0-9-]*" "$2" 2>/dev/null || true; } | head -1 | cut -d= -f2)
  echo "${v:-0}"
}

# pub_cmd KIND NAME QOS TOPIC EXTRA...: fills the array `cmd` with the publisher's command line.
# NAME is a publisher, or in the MQTT 5 table linecast-v5, linecast-3.1.1 or mosquitto_pub-v5,
# or in the topics table linecast[-v5]-1topic or linecast[-v5]-1000topics (which splits records
# at ':'), or in the spool table linecast-spool[-always]; linecast-base* runs
# BENCH_LINECAST_BASE. KIND tls points it at the TLS listener, ws and wss at the WebSocket ones,
# KIND strace runs it under strace.
pub_cmd() {
  local kind=$1 name=$2 qos=$3 topic=$4
  shift 4
  local p=$port tls=()
  [[ $kind == tls ]] && p=$tls_port tls=(--cafile "$cafile")
  [[ $kind == ws ]] && p=$ws_port tls=(--ws-path /mqtt)
  [[ $kind == wss ]] && p=$wss_port tls=(--ws-path /mqtt --cafile "$cafile")
  case $name in
    ceiling)
      local window=10000
      [[ $qos == 2 ]] && window=1000
      cmd=("$tools/bench_ceiling" 127.0.0.1 "$p" "$topic" "$qos" --window "$window" "$@") ;;
    linecast*)
      local bin=$linecast
      [[ $name == linecast-base* ]] && bin=$linecast_base
      cmd=("$bin" "$topic" --host 127.0.0.1 --port "$p" --qos "$qos" "${tls[@]}" "$@")
      [[ $name == *-v5* ]] && cmd+=(--protocol-version 5)
      [[ $name == *-1000topics ]] && cmd+=(--topic-separator :)
      # A fresh spool directory per run; run_round removes it after the run.
      [[ $name == *-spool* ]] && cmd+=(--spool "$tmp/spool-$run_no")
      [[ $name == *-spool-always ]] && cmd+=(--spool-sync always)
      ;;
    mosquitto_pub*)
      cmd=(mosquitto_pub -h 127.0.0.1 -p "$p" -t "$topic" -q "$qos" -l "${tls[@]}")
      [[ $name == mosquitto_pub-v5 ]] && cmd+=(-V 5) ;;
    mqttjs) cmd=("$mqttjs" pub -h 127.0.0.1 -p "$p" -t "$topic" -q "$qos" -s -M) ;;
  esac
  if [[ $kind == strace ]]; then
    cmd=(strace -f -c -S calls -o "$out/strace-qos$qos-$name.txt" "${cmd[@]}")
  fi
}

run_no=0
# measure KIND QOS PUB SOURCE [--linger-ms N] [--wide]
#   SOURCE: file:PATH or gen-bytes:N. Appends one line to runs.tsv.
measure() {
  local kind=$1 qos=$2 pub=$3 source=$4
  shift 4
  local linger=0 wide=0
  while (($#)); do
    case $1 in
      --linger-ms) linger=$2; shift 2 ;;
      --wide) wide=1; shift ;;
    esac
  done
  run_no=$((run_no + 1))
  local topic="bench/$run_no" strip=0 feed sub_src pub_extra=() shape=() split=()
  # A 40-byte topic, so that what the protocol does with the topic shows.
  [[ $kind == v5 ]] && topic=$(printf 'bench/forty-byte-topic/run-%013d' "$run_no")
  local sub_topic=$topic
  if [[ $pub == *-1000topics ]]; then
    # Runs do not overlap, so bench/# sees only this run's records.
    topic=bench/ sub_topic='bench/#' split=(--topic-separator : --topic-prefix bench/)
  fi
  # The line-mode peers publish lines without the line feed.
  [[ $pub == mosquitto_pub* || $pub == mqttjs ]] && strip=1
  if ((wide)); then
    # 1 GiB as ~4 KB lines: the same bytes in far fewer messages than this broker could pass
    # in the time budget.
    shape=(--body-min 3000 --body-span 2000)
    pub_extra=(--maxdatalen 8192)
  fi
  case $source in
    file:*) feed=(--input "${source#file:}") sub_src=$source ;;
    gen-bytes:*) feed=(--gen-bytes "${source#gen-bytes:}" "${shape[@]}") sub_src=$source ;;
  esac
  local sub_opts=(--strip-delimiter "$strip" --idle-ms "$idle_ms" "${shape[@]}" "${split[@]}")
  ((wide)) && sub_opts+=(--maxdatalen 8192)
  [[ $pub == linecast ]] || pub_extra=()
  local cmd=()
  pub_cmd "$kind" "$pub" "$qos" "$topic" "${pub_extra[@]}"
  # What the broker must see of the publisher's connection.
  local want_proto=3.1.1 want_listener=tcp
  [[ $pub == *-v5* ]] && want_proto=5
  [[ $kind == tls ]] && want_listener=tls
  [[ $kind == ws* ]] && want_listener=ws
  local log_from
  log_from=$(stat -c %s "$tmp/mosquitto.log")

  "$tools/bench_subscriber" 127.0.0.1 "$port" "$sub_topic" "$qos" 0 "$sub_src" "${sub_opts[@]}" \
    >"$tmp/sub.out" 2>"$tmp/sub.err" &
  sub_pid=$!
  await_subscriber "$tmp/sub.out" 1000
  "$tools/bench_runpub" --report "$tmp/pub.report" "${feed[@]}" --linger-ms "$linger" \
    --timeout-s 300 -- "${cmd[@]}" >"$tmp/pub.out" 2>"$tmp/pub.err"
  wait "$sub_pid" || true
  sub_pid=""

  local r=$tmp/pub.report s=$tmp/sub.out
  local expected received distinct ok first last start eof exit_ns cpu rss status stderr_bytes
  expected=$(field expected "$s")
  received=$(field received "$s")
  distinct=$(field distinct "$s")
  ok=$(field ok "$s")
  first=$(field first_ns "$s")
  last=$(field last_ns "$s")
  start=$(field start_ns "$r")
  eof=$(field eof_ns "$r")
  exit_ns=$(field exit_ns "$r")
  cpu=$(($(field user_us "$r") + $(field sys_us "$r")))
  rss=$(field maxrss_kb "$r")
  status=$(field exit "$r")
  stderr_bytes=$(wc -c <"$tmp/pub.err")
  [[ $status == 0 && $(field timed_out "$r") == 0 ]] || ok=0
  local proto listener mismatch=""
  read -r proto listener <<<"$(publisher_connection "$log_from")"
  mismatch=$(grep '^first_mismatch' "$s" | tr '\t' ' ' || true)
  if [[ $proto != "$want_proto" || $listener != "$want_listener" ]]; then
    ok=0
    mismatch="the broker saw MQTT $proto on $listener, not $want_proto on $want_listener. $mismatch"
  fi
  # kind qos pub expected ok received distinct msg/s cpu_us/rec rss_kb first_ms eof_exit_ms
  # exit stderr_bytes run_no protocol listener note handed_over_msg/s msg/s_from_the_first_record
  awk -v k="$kind" -v q="$qos" -v p="$pub" -v e="$expected" -v ok="$ok" -v rc="$received" \
    -v d="$distinct" -v f="$first" -v l="$last" -v s="$start" -v eo="$eof" -v x="$exit_ns" \
    -v c="$cpu" -v m="$rss" -v st="$status" -v sb="$stderr_bytes" -v n="$run_no" \
    -v pr="$proto" -v li="$listener" -v mm="$mismatch" \
    'BEGIN {
       span = (l - s) / 1e9
       rate = (d > 0 && span > 0) ? d / span : 0
       handed = (x > s) ? e / ((x - s) / 1e9) : 0
       steady = (d > 1 && l > f && f > 0) ? (d - 1) / ((l - f) / 1e9) : 0
       printf "%s\t%s\t%s\t%d\t%d\t%d\t%d\t%.0f\t%.2f\t%d\t%.1f\t%.1f\t%s\t%d\t%d\t%s\t%s\t%s\t%.0f\t%.0f\n", k,
         q, p, e, ok, rc, d, rate, (e > 0 ? c / e : 0), m, (f > 0 ? (f - s) / 1e6 : -1),
         (x - eo) / 1e6, st, sb, n, pr, li, mm, handed, steady
     }' >>"$out/runs.tsv"
  if [[ $ok != 1 ]]; then
    log "  $kind qos$qos $pub: NOT VERIFIED (exit $status, received $received of $expected," \
      "distinct $distinct) $mismatch"
    cp "$tmp/pub.err" "$out/failed-$run_no-$pub.stderr" 2>/dev/null || true
    cp "$s" "$out/failed-$run_no-$pub.subscriber" 2>/dev/null || true
  fi
  tail -1 "$out/runs.tsv" | awk -F'\t' '{ printf "[bench]   %-9s qos%s %-16s %8d rec  %7d msg/s  %7.2f us/rec  %6d KiB  ok=%s\n", $1, $2, $3, $4, $8, $9, $10, $5 }' >&2
}

# --- summary ----------------------------------------------------------------------------------
# stats: numbers on stdin -> "median min max" (empty when none).
stats() {
  sort -g | awk '{ a[NR] = $1 } END { if (NR == 0) exit
    m = (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2
    print m, a[1], a[NR] }'
}

# col KIND QOS PUB COLUMN -> the values of that column for the matching runs.
col() { awk -F'\t' -v k="$1" -v q="$2" -v p="$3" -v c="$4" '$1 == k && $2 == q && $3 == p { print $c }' "$out/runs.tsv"; }
# median KIND QOS PUB COLUMN -> the median of that column over the matching runs, empty for none.
median() { col "$@" | stats | cut -d' ' -f1; }

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "" || b == "" || b == 0) print "–"; else printf "%.2f", a / b }'; }
fmt_range() { # median min max decimals: "median (min–max)", the range only over several runs
  awk -v m="$1" -v lo="$2" -v hi="$3" -v d="$4" 'BEGIN {
    if (m == "") { print "–"; exit }
    f = "%." d "f"; if (lo == hi) printf f, m; else printf f " (" f "–" f ")", m, lo, hi }'
}
# fmt_col KIND QOS PUB COLUMN DECIMALS [DIVISOR]: "median (min–max)" of a column.
fmt_col() {
  local s
  read -r -a s <<<"$(col "$1" "$2" "$3" "$4" | awk -v d="${6:-1}" '{ print $1 / d }' | stats)"
  fmt_range "${s[0]:-}" "${s[1]:-}" "${s[2]:-}" "$5"
}
# verified KIND QOS PUB: "good/all" runs.
verified() { echo "$(col "$1" "$2" "$3" 5 | grep -c '^1$' || true)/$(col "$1" "$2" "$3" 5 | wc -l)"; }

# publishers_present KIND [QOS]: the publishers with runs of that kind (at that QoS), in order.
publishers_present() { awk -F'\t' -v k="$1" -v q="${2:-}" '$1 == k && (q == "" || $2 == q) { print $3 }' "$out/runs.tsv" | awk '!seen[$0]++'; }
has_runs() { awk -F'\t' -v k="$1" '$1 == k { found = 1; exit } END { exit !found }' "$out/runs.tsv"; }

# await_subscriber OUT TRIES: waits (10 ms a try) until the subscriber started last, writing to
# OUT, says it is ready; dies when it ends or never does.
await_subscriber() {
  for _ in $(seq "$2"); do
    grep -q '^ready' "$1" 2>/dev/null && break
    kill -0 "$sub_pid" 2>/dev/null || break
    sleep 0.01
  done
  grep -q '^ready' "$1" || die "subscriber not ready: $(cat "$tmp/sub.err")"
}

# label KIND PUB: how tables and charts name a publisher ("linecast TLS", "linecast v5 1topic").
label() {
  case $1 in
    tls | ws | wss) echo "${2//-/ } ${1^^}" ;;
    *) echo "${2//-/ }" ;;
  esac
}

# ref_median QOS PUB REF COLUMN: the median of COLUMN for publisher PUB's reference REF, which is
# KIND:PUBLISHER, KIND:@ (the same publisher in table KIND) or KIND:@3.1.1 (the 3.1.1 runs of a
# -v5 publisher) or KIND:@1topic (the single-topic runs of a -1000topics publisher). Empty when
# there is none.
ref_median() {
  local qos=$1 pub=$2 rkind=${3%%:*} rpub=${3#*:}
  case $rpub in
    @) rpub=$pub ;;
    @3.1.1)
      [[ $pub == *-v5 ]] || return 0
      rpub=${pub%-v5}-3.1.1
      ;;
    @1topic)
      [[ $pub == *-1000topics ]] || return 0
      rpub=${pub%-1000topics}-1topic
      ;;
  esac
  median "$rkind" "$qos" "$rpub" "$4"
}

# pub_table KIND RATE_REFS CPU_REFS RSS_REFS: the table of one kind of run by QoS and publisher,
# with a ratio column for each reference beside msg/s, CPU and RSS. Each REFS lists
# "REF=heading" entries separated by ';' (REF as for ref_median).
pub_table() {
  local kind=$1 qos pub ref align
  local heading="| QoS | publisher | records | msg/s end to end | msg/s handed over |"
  local -a rate_refs cpu_refs rss_refs steady_refs
  IFS=';' read -r -a rate_refs <<<"$2"
  IFS=';' read -r -a cpu_refs <<<"$3"
  IFS=';' read -r -a rss_refs <<<"$4"
  IFS=';' read -r -a steady_refs <<<"${5:-}"
  for ref in "${rate_refs[@]}"; do heading+=" ${ref#*=} |"; done
  ((${#steady_refs[@]} == 0)) || heading+=" msg/s from the first record |"
  for ref in "${steady_refs[@]}"; do heading+=" ${ref#*=} |"; done
  heading+=" CPU µs/record |"
  for ref in "${cpu_refs[@]}"; do heading+=" ${ref#*=} |"; done
  heading+=" peak RSS MiB |"
  for ref in "${rss_refs[@]}"; do heading+=" ${ref#*=} |"; done
  heading+=" first record ms | verified |"
  local columns=$((6 + ${#rate_refs[@]} + ${#cpu_refs[@]} + ${#rss_refs[@]} + ${#steady_refs[@]}))
  ((${#steady_refs[@]} == 0)) || columns=$((columns + 1))
  align="|---|---|$(printf -- '---:|%.0s' $(seq "$columns"))---|"
  echo "$heading"
  echo "$align"
  for qos in $qos_list; do
    for pub in $(publishers_present "$kind" "$qos"); do
      local rate cpu rss row
      rate=$(median "$kind" "$qos" "$pub" 8)
      cpu=$(median "$kind" "$qos" "$pub" 9)
      rss=$(median "$kind" "$qos" "$pub" 10)
      row="| $qos | $(label "$kind" "$pub") | $(col "$kind" "$qos" "$pub" 4 | head -1) |"
      row+=" $(fmt_col "$kind" "$qos" "$pub" 8 0) | $(fmt_col "$kind" "$qos" "$pub" 19 0) |"
      for ref in "${rate_refs[@]}"; do
        row+=" $(ratio "$rate" "$(ref_median "$qos" "$pub" "${ref%%=*}" 8)") |"
      done
      ((${#steady_refs[@]} == 0)) || row+=" $(fmt_col "$kind" "$qos" "$pub" 20 0) |"
      for ref in "${steady_refs[@]}"; do
        row+=" $(ratio "$(median "$kind" "$qos" "$pub" 20)" \
          "$(ref_median "$qos" "$pub" "${ref%%=*}" 20)") |"
      done
      row+=" $(fmt_col "$kind" "$qos" "$pub" 9 1) |"
      for ref in "${cpu_refs[@]}"; do
        row+=" $(ratio "$cpu" "$(ref_median "$qos" "$pub" "${ref%%=*}" 9)") |"
      done
      row+=" $(fmt_col "$kind" "$qos" "$pub" 10 1 1024) |"
      for ref in "${rss_refs[@]}"; do
        row+=" $(ratio "$rss" "$(ref_median "$qos" "$pub" "${ref%%=*}" 10)") |"
      done
      row+=" $(fmt_col "$kind" "$qos" "$pub" 11 0) | $(verified "$kind" "$qos" "$pub") |"
      echo "$row"
    done
  done
  echo
}

# base_table: linecast beside linecast-base (BENCH_LINECAST_BASE), over TCP and TLS, as ratios.
base_table() {
  echo "linecast ($(linecast_version)) vs linecast-base ($linecast_base), medians:"
  echo
  echo "| QoS | listener | msg/s | msg/s base | msg/s ratio | handed over ratio | CPU µs/rec | CPU µs/rec base | CPU ratio |"
  echo "|---|---|---:|---:|---:|---:|---:|---:|---:|"
  local qos kind
  for kind in main tls; do
    for qos in $qos_list; do
      local r rb h hb c cb
      r=$(median "$kind" "$qos" linecast 8) rb=$(median "$kind" "$qos" linecast-base 8)
      h=$(median "$kind" "$qos" linecast 19) hb=$(median "$kind" "$qos" linecast-base 19)
      c=$(median "$kind" "$qos" linecast 9) cb=$(median "$kind" "$qos" linecast-base 9)
      [[ -n $rb ]] || continue
      echo "| $qos | ${kind/main/tcp} | $r | $rb | $(ratio "$r" "$rb") | $(ratio "$h" "$hb") | $c | $cb | $(ratio "$c" "$cb") |"
    done
  done
  echo
  # QoS 2 has twice QoS 1's packets: its CPU per record should stay near twice QoS 1's.
  echo "| listener | QoS 2 CPU µs/rec | ÷ QoS 1 | base QoS 2 CPU µs/rec | base ÷ QoS 1 |"
  echo "|---|---:|---:|---:|---:|"
  for kind in main tls; do
    local c1 c2 b1 b2
    c1=$(median "$kind" 1 linecast 9) c2=$(median "$kind" 2 linecast 9)
    b1=$(median "$kind" 1 linecast-base 9) b2=$(median "$kind" 2 linecast-base 9)
    [[ -n $c2 && -n $b2 ]] || continue
    echo "| ${kind/main/tcp} | $c2 | $(ratio "$c2" "$c1") | $b2 | $(ratio "$b2" "$b1") |"
  done
  echo
}

latency_table() {
  echo "Latency at QoS 0 with a 1,000-line input whose pipe stays open 500 ms after the last line:"
  echo
  echo "| publisher | start → first record at the subscriber, ms | end of input → exit, ms | peak RSS MiB | verified |"
  echo "|---|---:|---:|---:|---|"
  local pub
  for pub in $(publishers_present latency 0); do
    echo "| $pub | $(fmt_col latency 0 "$pub" 11 1) | $(fmt_col latency 0 "$pub" 12 1) | $(fmt_col latency 0 "$pub" 10 1 1024) | $(verified latency 0 "$pub") |"
  done
  echo
}

memory_table() {
  echo "Memory at QoS 0, input piped in as fast as the publisher reads it (one run each):"
  echo
  echo "| input | publisher | records | peak RSS MiB | msg/s end to end | CPU µs/record | verified |"
  echo "|---|---|---:|---:|---:|---:|---|"
  awk -F'\t' -v lines="$mem_lines" -v bytes="$big_bytes" '$1 ~ /^mem/ {
      what = ($1 == "mem-lines") ? sprintf("%d lines of ~61 bytes", lines) \
                                 : sprintf("%.0f MiB of ~4 KB lines", bytes / 1048576)
      printf "| %s | %s | %d | %.1f | %d | %.1f | %s |\n", what, $3, $4, $10 / 1024, $8, $9,
        ($5 == 1 ? "yes" : "NO")
    }' "$out/runs.tsv"
  echo
}

# The counts of strace -c (sorted by calls) divided by the records of each run.
strace_table() {
  echo "System calls per record, counted with \`strace -f -c\` (one run each; CPU and memory are"
  echo "not measured under strace):"
  echo
  echo "| QoS | publisher | records | system calls per record | the most frequent, per record | verified |"
  echo "|---|---|---:|---:|---|---|"
  local qos pub records
  for qos in $strace_qos; do
    for pub in $(publishers_present strace "$qos"); do
      records=$(col strace "$qos" "$pub" 4 | head -1)
      awk -v q="$qos" -v p="$pub" -v n="$records" -v ok="$(verified strace "$qos" "$pub")" '
        /^[ 0-9.]+[0-9] / && $NF != "total" && top < 5 {
          calls[++top] = sprintf("%s %.3f", $NF, $4 / n)
        }
        $NF == "total" { total = $4 }
        END {
          list = calls[1]
          for (i = 2; i <= top; ++i) list = list ", " calls[i]
          printf "| %s | %s | %d | %.3f | %s | %s |\n", q, p, n, total / n, list, ok
        }' "$out/strace-qos$qos-$pub.txt"
    done
  done
  echo
}

linecast_version() {
  local v
  v=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo '(no commit)')
  git -C "$root" diff --quiet HEAD -- src 2>/dev/null || v+=" with uncommitted changes in src/"
  echo "$v"
}

write_results() {
  {
    echo "# linecast benchmark results"
    echo
    echo "$(date -u '+%Y-%m-%d %H:%M UTC'); $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//');"
    echo "$(mosquitto -h 2>/dev/null | head -1 | sed 's/ is an MQTT.*//'); linecast $(linecast_version)."
    echo "Median of $runs run(s), min–max in brackets; the input is $lines generated lines of ~61 bytes."
    echo "Load average when the run started: $load_at_start (the machine may be shared)."
    echo
    pub_table main "main:ceiling=vs ceiling;main:mosquitto_pub=vs mosquitto_pub -l" \
      "main:ceiling=CPU vs ceiling;main:mosquitto_pub=CPU vs mosquitto_pub" \
      "main:mosquitto_pub=RSS vs mosquitto_pub"
    if has_runs tls; then
      echo "TLS ($tls_lines lines; the subscriber stays on the plain listener):"
      echo
      pub_table tls "tls:mosquitto_pub=vs mosquitto_pub TLS;main:@=vs itself over TCP" \
        "main:@=CPU vs itself over TCP;tls:mosquitto_pub=CPU vs mosquitto_pub TLS" \
        "tls:mosquitto_pub=RSS vs mosquitto_pub TLS"
    fi
    if has_runs ws || has_runs wss; then
      echo "WebSocket ($ws_lines lines; the subscriber stays on the plain listener):"
      echo
      pub_table ws "main:@=vs itself over TCP" "main:@=CPU vs itself over TCP" "main:@=RSS vs TCP" \
        "main:@=vs TCP from the first record"
      has_runs wss && pub_table wss "tls:@=vs itself over TLS" "tls:@=CPU vs itself over TLS" \
        "tls:@=RSS vs TLS" "tls:@=vs TLS from the first record"
    fi
    if has_runs v5; then
      echo "MQTT 5 and 3.1.1 with a 40-byte topic ($v5_lines lines):"
      echo
      [[ -n $v5_note ]] && echo "No linecast v5 rows: $v5_note." && echo
      pub_table v5 "v5:@3.1.1=v5 vs 3.1.1;v5:mosquitto_pub-v5=vs mosquitto_pub v5" \
        "v5:@3.1.1=CPU v5 vs 3.1.1;v5:mosquitto_pub-v5=CPU vs mosquitto_pub v5" \
        "v5:mosquitto_pub-v5=RSS vs mosquitto_pub v5"
    fi
    if has_runs topics; then
      echo "Per-record topics: $topics_lines lines \`sNNN:LINE\` over 1,000 subtopics; 1topic publishes"
      echo "each line whole to one topic, 1000topics splits it with \`--topic-separator :\` to"
      echo "bench/sNNN (the subscriber on bench/# checks payload and topic):"
      echo
      pub_table topics "topics:@1topic=vs 1 topic" "topics:@1topic=CPU vs 1 topic" ""
    fi
    if has_runs spool; then
      echo "Spool ($spool_lines lines): linecast without a spool, with \`--spool DIR\` (default sync, every"
      echo "second) and with \`--spool-sync always\`; a fresh spool directory for each run:"
      echo
      pub_table spool "spool:linecast=vs no spool" "spool:linecast=CPU vs no spool" \
        "spool:linecast=RSS vs no spool"
    fi
    if has_runs backlog-fill || [[ -n $backlog_note ]]; then backlog_table; fi
    if [[ -n ${pace_row:-} ]]; then rate_table; fi
    if has_runs main && [[ -n $linecast_base ]]; then base_table; fi
    if has_runs latency; then latency_table; fi
    if has_runs mem-lines || has_runs mem-bytes; then memory_table; fi
    if has_runs strace; then strace_table; fi
    write_notes
  } >"$out/results.md"
}

write_notes() {
  echo "Notes:"
  echo
  echo "- msg/s end to end: records / (time of the last record at the subscriber − publisher start)."
  echo "- msg/s handed over (TLS and MQTT 5 tables): records / (publisher exit − publisher start): how"
  echo "  fast the publisher got every record acknowledged. At QoS 2 the broker's delivery to the QoS 2"
  echo "  subscriber can lag far behind: when a publisher hands records over faster than that, the"
  echo "  broker's queue for the subscriber grows and its delivery slows down, so end to end a faster"
  echo "  publisher can even show the lower rate."
  echo "- ceiling: one raw TCP connection writing pre-encoded PUBLISH packets in 64 KiB chunks"
  echo "  (QoS 1: up to 10,000 unacknowledged, QoS 2: 1,000, PUBRELs sent between chunks): the"
  echo "  reference for what this broker takes. At QoS 0 it is no upper bound: with its 64 KiB"
  echo "  bursts the broker spends more per message than with a publisher that writes less at a"
  echo "  time, so \"vs ceiling\" can pass 1. Its CPU includes reading and encoding all its input."
  echo "- mosquitto_pub -l gets at most $peer_q12_lines lines at QoS 1 and 2: beyond 65,535 it loses records."
  if [[ -n $mqttjs ]]; then
    echo "- mqttjs (MQTT.js \`mqtt pub -s -M\`, $(node -p 'require(process.argv[1]).version' "$mqttjs_dir/node_modules/mqtt/package.json" 2>/dev/null)) gets $js_lines lines; its Node.js start-up weighs on its msg/s and CPU."
  fi
  if has_runs tls; then
    echo "- TLS: a second listener of the same broker, with a P-256 server certificate for localhost"
    echo "  and 127.0.0.1 signed by a CA made at start; the publishers get \`--cafile\` and 127.0.0.1."
    echo "  \"vs itself over TCP\" compares with the same publisher's row in the first table."
  fi
  if has_runs ws; then
    echo "- WebSocket: linecast \`--ws-path /mqtt\` to a websockets listener of the same broker, and"
    echo "  with \`--cafile\` to one that also speaks TLS (wss); \"vs itself over TCP\" and \"over TLS\""
    echo "  compare with linecast's rows in the first and the TLS table. mosquitto 2.0.11 looks at a"
    echo "  WebSocket connection only once per pass of its main loop (up to 100 ms when idle) until the"
    echo "  upgrade is done: that is most of the first record's time over ws and wss, and of these short"
    echo "  runs. \"msg/s from the first record\" (records after the first / time from the first to the"
    echo "  last at the subscriber) leaves it out, for both rows of a ratio."
  fi
  if has_runs v5; then
    echo "- MQTT 5: linecast \`--protocol-version 5\`, linecast without it (3.1.1) and"
    echo "  \`mosquitto_pub -l -V 5\`, all to a 40-byte topic."
  fi
  if has_runs strace; then
    echo "- System calls: strace stops the traced process at every call, which slows it many times"
    echo "  over; counts that depend on timing (how many acknowledgements gather between two reads)"
    echo "  may differ from an untraced run. Raw counts: strace-qos*-*.txt beside this file."
  fi
  echo "- verified: runs whose every payload arrived once, in order, byte for byte, with exit"
  echo "  status 0, and whose connection the broker logged on the expected listener (TCP, TLS or"
  echo "  WebSocket)"
  echo "  at the expected protocol level (3.1.1 or 5)."
  local errs
  errs=$(awk -F'\t' '$3 ~ /^linecast/ && $14 > 0' "$out/runs.tsv" | wc -l)
  if ((errs)); then echo "- linecast wrote to stderr in $errs run(s)."; fi
}

# chart FILE TITLE YLABEL COLUMN LOGSCALE KIND:PUB...: a bar chart of the median of COLUMN per
# QoS, one bar per series, with its value above it.
chart() {
  local png=$1 title=$2 ylabel=$3 column=$4 logscale=$5 dat=${1%.png}.dat s qos
  shift 5
  {
    printf '"QoS"'
    for s in "$@"; do printf ' "%s"' "$(label "${s%%:*}" "${s#*:}")"; done
    echo
    for qos in $qos_list; do
      printf 'QoS%s' "$qos"
      for s in "$@"; do
        local m
        m=$(median "${s%%:*}" "$qos" "${s#*:}" "$column")
        printf ' %s' "${m:-NaN}"
      done
      echo
    done
  } >"$dat"
  local n=$# scale='set yrange [0:*]' fmt='%.0f'
  if [[ $logscale == log ]]; then
    scale='set logscale y; set yrange [0.1:*]'
    fmt='%.1f'
  fi
  gnuplot <<EOF
set terminal pngcairo size 1000,520 noenhanced
set output '$png'
set title '$title'
set ylabel '$ylabel'
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set key below horizontal autotitle columnheader
set offsets 0, 0, graph 0.08, 0
$scale
set xrange [-0.6:$(wc -w <<<"$qos_list") - 0.4]
set grid ytics
plot for [i=2:$((n + 1))] '$dat' using i:xtic(1), \
  for [i=2:$((n + 1))] '$dat' using (\$0 + (i - 2 - ($n - 1) / 2.0) / ($n + 1.0)):i:(sprintf('$fmt', column(i))) with labels offset 0,0.7 font ',8' notitle
EOF
}

write_charts() {
  local main_series=() all_series=() pub
  for pub in $(publishers_present main); do main_series+=("main:$pub"); done
  all_series=("${main_series[@]}")
  for pub in $(publishers_present tls); do all_series+=("tls:$pub"); done
  chart "$out/msgs.png" "Records per second end to end through mosquitto (median of $runs)" \
    msg/s 8 linear "${main_series[@]}"
  chart "$out/cpu.png" "Publisher CPU (user + system) per record (median of $runs)" \
    'CPU µs per record (log scale)' 9 log "${all_series[@]}"
}

# --- main -------------------------------------------------------------------------------------
# lines_file N: the path of a file holding the first N generated lines, made on first use.
lines_file() {
  local f=$tmp/lines-$1.txt
  [[ -f $f ]] || "$tools/bench_gen" "$1" >"$f"
  echo "$f"
}

# topics_file N: the first N generated lines, each behind a subtopic and ':' (s000: to s999:,
# in turn), made on first use.
topics_file() {
  local f=$tmp/topics-$1.txt
  [[ -f $f ]] || awk '{ printf "s%03d:%s\n", (NR - 1) % 1000, $0 }' "$(lines_file "$1")" >"$f"
  echo "$f"
}

# input_for KIND QOS PUB: the input file of a run.
input_for() {
  local n=$lines
  case $1 in
    topics) topics_file "$topics_lines"; return ;;
    spool) n=$spool_lines ;;
    tls) n=$tls_lines ;;
    v5) n=$v5_lines ;;
    ws | wss) n=$ws_lines ;;
    strace) n=$strace_lines ;;
  esac
  [[ $3 == mqttjs ]] && n=$js_lines
  if [[ $3 == mosquitto_pub* && $2 != 0 ]] && ((n > peer_q12_lines)); then n=$peer_q12_lines; fi
  lines_file "$n"
}

# linecast_speaks_v5: true when linecast, given --protocol-version 5, connects with MQTT 5;
# otherwise v5_note says what it did.
linecast_speaks_v5() {
  local log_from text status=0 proto listener
  log_from=$(stat -c %s "$tmp/mosquitto.log")
  text=$(printf 'probe\n' | timeout 20 "$linecast" bench/probe --host 127.0.0.1 --port "$port" \
    --protocol-version 5 2>&1) || status=$?
  read -r proto listener <<<"$(publisher_connection "$log_from")"
  [[ $status == 0 && $proto == 5 ]] && return 0
  if grep -q 'Usage:' <<<"$text"; then
    v5_note="this linecast does not take --protocol-version (it prints its usage text)"
  elif [[ $status == 0 ]]; then
    v5_note="this linecast does not take --protocol-version (the broker saw MQTT $proto)"
  else
    v5_note="linecast --protocol-version 5 failed with status $status: $(head -c 200 <<<"$text")"
  fi
  return 1
}

# run_round: one run of each publisher and of each TLS, MQTT 5, spool and topics variant at each QoS,
# then the latency runs.
run_round() {
  local qos pub kind
  for qos in $qos_list; do
    for pub in "${pubs[@]}"; do measure main "$qos" "$pub" "file:$(input_for main "$qos" "$pub")"; done
    for pub in "${tls_pubs[@]}"; do measure tls "$qos" "$pub" "file:$(input_for tls "$qos" "$pub")"; done
    for pub in "${v5_pubs[@]}"; do measure v5 "$qos" "$pub" "file:$(input_for v5 "$qos" "$pub")"; done
    for kind in $ws_kinds; do measure "$kind" "$qos" linecast "file:$(input_for "$kind" "$qos" linecast)"; done
    if [[ " $spool_qos " == *" $qos "* ]]; then
      for pub in "${spool_pubs[@]}"; do
        measure spool "$qos" "$pub" "file:$(input_for spool "$qos" "$pub")"
        rm -rf "$tmp"/spool-*
      done
    fi
    [[ " $topics_qos " == *" $qos "* ]] || continue
    for pub in "${topics_pubs[@]}"; do
      measure topics "$qos" "$pub" "file:$(input_for topics "$qos" "$pub")"
    done
  done
  for pub in "${pubs[@]}"; do
    # The ceiling reads all its input before connecting, so it has no latency to show.
    [[ $pub == ceiling ]] || measure latency 0 "$pub" "file:$(lines_file 1000)" --linger-ms 500
  done
}

run_memory() {
  log "memory: $mem_lines lines and $big_bytes bytes"
  local mem_pubs=() pub
  for pub in linecast mosquitto_pub; do
    [[ " ${pubs[*]} " == *" $pub "* ]] && mem_pubs+=("$pub")
  done
  for pub in "${mem_pubs[@]}"; do
    measure mem-lines 0 "$pub" "file:$(lines_file "$mem_lines")"
  done
  rm -f "$(lines_file "$mem_lines")"
  for pub in "${mem_pubs[@]}"; do
    measure mem-bytes 0 "$pub" "gen-bytes:$big_bytes" --wide
  done
}

# --- spool backlog ----------------------------------------------------------------------------
# closed_port: a loopback port that refuses connections, for a publisher with no broker.
closed_port() {
  local p
  for _ in $(seq 20); do
    p=$((20000 + RANDOM % 40000))
    (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || { echo "$p"; return 0; }
  done
  die "no closed port found"
}

# term_child RUNNER: SIGTERM to the publisher that bench_runpub RUNNER forked (its one child).
term_child() {
  local child
  child=$(cat "/proc/$1/task/$1/children" 2>/dev/null || true)
  [[ -n $child ]] && kill -TERM $child 2>/dev/null
  return 0
}

# backlog_row KIND REPORT OUT EXPECTED RECEIVED DISTINCT RATE FIRST_MS TERM_MS OK NOTE HANDED:
# one line of runs.tsv for a backlog run, laid out like measure's.
backlog_row() {
  local r=$2 cpu
  cpu=$(($(field user_us "$r") + $(field sys_us "$r")))
  awk -v k="$1" -v e="$4" -v rc="$5" -v d="$6" -v rate="$7" -v f="$8" -v t="${9:--1}" -v ok="${10}" \
    -v note="${11}" -v h="${12}" -v c="$cpu" -v m="$(field maxrss_kb "$r")" \
    -v st="$(field exit "$r")" -v sb="$(wc -c <"$3")" -v n="$run_no" \
    'BEGIN {
       per = (k == "backlog-fill") ? e : rc
       printf "%s\t1\tlinecast\t%d\t%d\t%d\t%d\t%.0f\t%.2f\t%d\t%.1f\t%.1f\t%s\t%d\t%d\t-\t-\t%s\t%.0f\n",
         k, e, ok, rc, d, rate, (per > 0 ? c / per : 0), m, f, t, st,
         sb, n, note, h
     }' >>"$out/runs.tsv"
}

# backlog_fill DIR: linecast spools generated lines at QoS 1 with no broker listening until DIR
# holds about backlog_bytes (its --spool-size), then gets SIGTERM and leaves them there.
backlog_fill() {
  local dir=$1 size last=-1 still=0 start_ns term_ns=0 spooled
  run_no=$((run_no + 1))
  backlog_topic=bench/$run_no
  "$tools/bench_runpub" --report "$tmp/fill.report" --gen-bytes $((backlog_bytes * 2)) \
    --timeout-s 1200 -- "$linecast" "$backlog_topic" --host 127.0.0.1 --port "$(closed_port)" \
    --qos 1 --reconnect forever --spool "$dir" --spool-size "$backlog_bytes" \
    >"$tmp/fill.out" 2>"$tmp/fill.err" &
  local runner=$!
  start_ns=$(date +%s%N)
  # Full when it holds nearly its size, or when it stops growing (the input blocks at the limit).
  while kill -0 "$runner" 2>/dev/null; do
    size=$(du -sb "$dir" 2>/dev/null | cut -f1 || echo 0)
    ((size >= backlog_bytes * 97 / 100)) && break
    if ((size > 0 && size == last)); then still=$((still + 1)); else still=0; fi
    ((still >= 10)) && break
    last=$size
    sleep 0.2
  done
  term_ns=$(date +%s%N)
  term_child "$runner"
  wait "$runner" || true
  local term_ms=$((($(date +%s%N) - term_ns) / 1000000))
  spooled=$({ grep -o '^[0-9]* records stay in the spool' "$tmp/fill.out" || echo 0; } | cut -d' ' -f1)
  backlog_spool_bytes=$(du -sb "$dir" | cut -f1)
  backlog_records=$spooled
  log "  backlog: $spooled records, $backlog_spool_bytes bytes spooled in" \
    "$(((term_ns - start_ns) / 1000000)) ms; exit $(field exit "$tmp/fill.report")"
  backlog_row backlog-fill "$tmp/fill.report" "$tmp/fill.err" "$spooled" 0 0 \
    "$(awk -v n="$spooled" -v t=$((term_ns - start_ns)) 'BEGIN { print n / (t / 1e9) }')" -1 \
    "$term_ms" \
    "$([[ $(field exit "$tmp/fill.report") == 255 && $spooled -gt 0 ]] && echo 1 || echo 0)" \
    "spool_bytes=$backlog_spool_bytes" 0
  ((spooled > 0))
}

# backlog_drain DIR: linecast on the broker with empty input and the filled spool; after
# drain_s seconds it gets SIGTERM. A stop request still lets it publish what is in the spool, so
# SIGKILL follows 2 s later. The subscriber sees how soon the first record comes.
backlog_drain() {
  local dir=$1 s=$tmp/sub.out r=$tmp/drain.report
  run_no=$((run_no + 1))
  "$tools/bench_subscriber" 127.0.0.1 "$port" "$backlog_topic" 1 0 \
    "gen-bytes:$((backlog_bytes * 2))" --idle-ms 3000 >"$s" 2>"$tmp/sub.err" &
  sub_pid=$!
  await_subscriber "$s" 3000
  "$tools/bench_runpub" --report "$r" --input /dev/null --timeout-s 600 -- "$linecast" \
    "$backlog_topic" --host 127.0.0.1 --port "$port" --qos 1 --spool "$dir" \
    --spool-size "$backlog_bytes" >"$tmp/drain.out" 2>"$tmp/drain.err" &
  local runner=$! term_ns=0 term_ms=-1
  for _ in $(seq $((drain_s * 10))); do
    kill -0 "$runner" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$runner" 2>/dev/null; then
    term_ns=$(date +%s%N)
    term_child "$runner"
    for _ in $(seq 20); do
      kill -0 "$runner" 2>/dev/null || break
      sleep 0.1
    done
    local child
    child=$(cat "/proc/$runner/task/$runner/children" 2>/dev/null || true)
    [[ -n $child ]] && kill -KILL $child 2>/dev/null
    wait "$runner" || true
    term_ms=$((($(date +%s%N) - term_ns) / 1000000))
  fi
  wait "$runner" || true
  wait "$sub_pid" || true
  sub_pid=""
  backlog_drain_row "$r" "$s" "$term_ms"
}

# backlog_drain_row REPORT SUBSCRIBER_OUT TERM_MS: the drain's line of runs.tsv. Verified: the
# records that arrived and those left in the spool add up to the backlog (when it was killed:
# no more arrived than the backlog holds), each arrived once and in order, and linecast exited 0
# (drained), 255 (stopped, naming what stays) or was killed.
backlog_drain_row() {
  local r=$1 s=$2 left received first start last ok=0 status
  left=$({ grep -o '^[0-9]* records stay in the spool' "$tmp/drain.out" || echo 0; } | cut -d' ' -f1)
  received=$(field received "$s") first=$(field first_ns "$s") last=$(field last_ns "$s")
  start=$(field start_ns "$r") status=$(field exit "$r")
  [[ $(field signal "$r") == 9 ]] && status=killed left=$((backlog_records - received))
  if [[ $status == 0 || $status == 255 || $status == killed ]] &&
    ((received + left == backlog_records)) &&
    [[ $(field dups "$s")$(field reordered "$s")$(field unknown "$s") == 000 ]]; then ok=1; fi
  ((ok)) || log "  backlog drain: NOT VERIFIED (exit $status, $received arrived, $left left of" \
    "$backlog_records)"
  backlog_row backlog-drain "$r" "$tmp/drain.err" "$backlog_records" "$received" \
    "$(field distinct "$s")" \
    "$(awk -v n="$received" -v t=$((last - start)) 'BEGIN { print (t > 0 ? n / (t / 1e9) : 0) }')" \
    "$(awk -v f="$first" -v s="$start" 'BEGIN { print (f > 0 ? (f - s) / 1e6 : -1) }')" "$3" \
    "$ok" "left=$left" 0
}

# run_backlog: the spool backlog case, when the disk has room for it (twice its size).
run_backlog() {
  local dir=$tmp/backlog-spool free
  free=$(($(df -Pk "$tmp" | awk 'NR == 2 { print $4 }') * 1024))
  if ((free < backlog_bytes * 2)); then
    backlog_note="left out: $((free >> 20)) MiB free in $tmp, $((backlog_bytes >> 19)) MiB needed"
    log "spool backlog $backlog_note"
    return 0
  fi
  log "spool backlog: filling $backlog_bytes bytes with no broker, then draining ${drain_s} s"
  backlog_fill "$dir" && backlog_drain "$dir"
  rm -rf "$dir"
}

# run_rate: --rate held over a spool's backlog. linecast spools pace_lines lines with no broker
# (SIGTERM once they are in), then a second run drains them at pace_rate records a second; the
# subscriber's first and last arrival give the rate held.
run_rate() {
  local dir=$tmp/rate-spool f s=$tmp/rate-sub.out r=$tmp/rate.report
  f=$(lines_file "$pace_lines")
  run_no=$((run_no + 1))
  local topic=bench/$run_no
  timeout -s TERM 5 "$linecast" "$topic" --host 127.0.0.1 --port "$(closed_port)" --qos 1 \
    --reconnect forever --spool "$dir" <"$f" >"$tmp/rate-fill.out" 2>&1 || true
  "$tools/bench_subscriber" 127.0.0.1 "$port" "$topic" 1 0 "file:$f" --idle-ms 3000 \
    >"$s" 2>"$tmp/rate-sub.err" &
  sub_pid=$!
  await_subscriber "$s" 3000
  "$tools/bench_runpub" --report "$r" --input /dev/null --timeout-s 600 -- "$linecast" "$topic" \
    --host 127.0.0.1 --port "$port" --qos 1 --spool "$dir" --rate "$pace_rate" \
    >"$tmp/rate.out" 2>"$tmp/rate.err" || true
  wait "$sub_pid" || true
  sub_pid=""
  rm -rf "$dir"
  pace_row=$(awk -v n="$(field received "$s")" -v f="$(field first_ns "$s")" \
    -v l="$(field last_ns "$s")" -v want="$pace_rate" -v e="$(field exit "$r")" \
    -v bad="$(field dups "$s")$(field reordered "$s")$(field unknown "$s")" \
    'BEGIN { rate = (l > f) ? (n - 1) / ((l - f) / 1e9) : 0
             printf "| %d | %d | %.1f | %.1f | %+.2f%% | %s | %s |", want, n, (l - f) / 1e9, rate,
               (rate / want - 1) * 100, e, (bad == "000" ? "yes" : "no") }')
  log "  rate: $pace_row"
}

rate_table() {
  echo "Pacing at QoS 1 (one run): $pace_lines lines spooled with no broker, then drained with"
  echo "\`--rate $pace_rate\`; the rate is (records - 1) over the time from the first arrival at the"
  echo "subscriber to the last:"
  echo
  echo "| --rate | records | seconds | msg/s held | off by | exit | in order, once |"
  echo "|---|---|---|---|---|---|---|"
  echo "$pace_row"
  echo
}

backlog_table() {
  echo "Spool backlog at QoS 1 (one run): linecast spools generated ~61-byte lines with no broker"
  echo "listening (\`--reconnect forever\`, \`--spool-size $backlog_bytes\`) until the spool is full,"
  echo "then gets SIGTERM; a second linecast with empty input and the same spool publishes the"
  echo "backlog to the broker and gets SIGTERM after $drain_s s, and SIGKILL 2 s later if it still"
  echo "publishes (a stop request lets it publish what it has spooled):"
  echo
  if [[ -n $backlog_note ]]; then echo "Backlog case $backlog_note." && echo && return; fi
  echo "| phase | records | spool MiB | start → first record ms | msg/s | CPU µs/record | peak RSS MiB | SIGTERM → exit ms | exit | verified |"
  echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---|"
  awk -F'\t' '$1 ~ /^backlog-/ {
      fill = ($1 == "backlog-fill")
      split($18, kv, "=")
      printf "| %s | %d | %s | %s | %d | %.2f | %.1f | %s | %s | %s |\n",
        (fill ? "fill, no broker" : "drain"), (fill ? $4 : $6),
        (fill ? sprintf("%.0f", kv[2] / 1048576) : "–"), (fill ? "–" : sprintf("%.0f", $11)),
        $8, $9, $10 / 1024, ($12 < 0 ? "–" : sprintf("%.0f", $12)), ($13 == -1 ? "SIGKILL" : $13),
        ($5 == 1 ? "yes" : "NO")
      if (!fill) left = kv[2]
    }
    END { if (left != "") printf "\nRecords left in the spool when the drain stopped: %s.\n", left }' \
    "$out/runs.tsv"
  echo
}

run_strace() {
  log "system calls: $strace_lines lines under strace"
  rm -f "$out"/strace-*.txt
  local qos pub
  for qos in $strace_qos; do
    for pub in $strace_pubs; do
      [[ " ${pubs[*]} " == *" $pub "* ]] || continue
      measure strace "$qos" "$pub" "file:$(input_for strace "$qos" "$pub")"
    done
  done
}

main() {
  install_missing
  build
  setup_mqttjs
  mkdir -p "$out"
  tmp=$(mktemp -d /tmp/linecast-bench.XXXXXX)
  trap cleanup EXIT
  trap 'exit 130' INT TERM
  load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)
  start_broker
  log "mosquitto on 127.0.0.1:$port (TLS: ${tls_port:-none}, ws: ${ws_port:-none}," \
    "wss: ${wss_port:-none}); $runs run(s) of $lines lines;" \
    "QoS $qos_list"
  : >"$out/runs.tsv"
  rm -f "$out"/failed-*

  local pub
  pubs=() tls_pubs=() v5_pubs=() v5_note="" topics_pubs=() spool_pubs=() backlog_note=""
  for pub in ${BENCH_PUBLISHERS:-ceiling linecast mosquitto_pub mqttjs}; do
    [[ $pub == mqttjs && -z $mqttjs ]] && continue
    pubs+=("$pub")
    [[ $pub == linecast && -n $linecast_base ]] && pubs+=(linecast-base)
  done
  for pub in linecast linecast-base mosquitto_pub; do
    [[ " ${pubs[*]} " == *" $pub "* ]] || continue
    ((tls_lines > 0)) && tls_pubs+=("$pub")
    ((v5_lines > 0)) || continue
    if [[ $pub == mosquitto_pub ]]; then
      v5_pubs+=(mosquitto_pub-v5)
    elif [[ $pub == linecast-base ]]; then
      continue
    elif linecast_speaks_v5; then
      v5_pubs+=(linecast-v5 linecast-3.1.1)
      linecast_v5=1
    else
      log "MQTT 5: no linecast v5 rows: $v5_note"
      v5_pubs+=(linecast-3.1.1)
    fi
  done

  ws_kinds=""
  if [[ " ${pubs[*]} " == *" linecast "* ]]; then
    [[ -n $ws_port ]] && ws_kinds="ws"
    [[ -n $wss_port ]] && ws_kinds+=" wss"
  fi

  if ((topics_lines > 0)) && [[ " ${pubs[*]} " == *" linecast "* ]]; then
    topics_pubs=(linecast-1topic linecast-1000topics)
    # Only after the MQTT 5 probe above found that linecast speaks it.
    [[ ${linecast_v5:-0} == 1 ]] && topics_pubs+=(linecast-v5-1topic linecast-v5-1000topics)
    # The alias choice beside the base's, same run.
    if [[ -n $linecast_base && ${linecast_v5:-0} == 1 ]]; then
      topics_pubs+=(linecast-base-v5-1topic linecast-base-v5-1000topics)
    fi
  fi

  if ((spool_lines > 0)) && [[ " ${pubs[*]} " == *" linecast "* ]]; then
    spool_pubs=(linecast linecast-spool linecast-spool-always)
  fi

  for _ in $(seq "$runs"); do run_round; done
  run_memory
  if ((backlog_bytes > 0)) && [[ " ${pubs[*]} " == *" linecast "* ]]; then run_backlog; fi
  if ((pace_lines > 0)) && [[ " ${pubs[*]} " == *" linecast "* ]]; then run_rate; fi
  if [[ $strace_on == 1 ]]; then run_strace; fi

  write_results
  write_charts
  cat "$out/results.md"
  log "wrote $out/results.md, $out/msgs.png, $out/cpu.png and $out/runs.tsv"
}

main "$@"
