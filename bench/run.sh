#!/usr/bin/env bash
# End-to-end benchmark: linecast beside a raw-socket reference publisher and mosquitto_pub -l
# (and MQTT.js when installed) through a throw-away mosquitto on loopback; writes bench/out/.
# Environment knobs are listed in bench/README.md; BENCH_QUICK=1 is a short smoke run.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
out=${BENCH_OUT:-$here/out}

quick=${BENCH_QUICK:-0}
if [[ $quick == 1 ]]; then
  d_lines=20000 d_runs=1 d_mem_lines=100000 d_big_bytes=$((64 << 20)) d_js_lines=2000
else
  d_lines=200000 d_runs=3 d_mem_lines=1000000 d_big_bytes=$((1 << 30)) d_js_lines=20000
fi
lines=${BENCH_LINES:-$d_lines}
runs=${BENCH_RUNS:-$d_runs}
mem_lines=${BENCH_MEM_LINES:-$d_mem_lines}
big_bytes=${BENCH_BIG_BYTES:-$d_big_bytes}
# mosquitto_pub -l loses records past 65,535 lines at QoS 1 and 2, so it gets fewer there.
peer_q12_lines=${BENCH_PEER_QOS12_LINES:-60000}
js_lines=${BENCH_MQTTJS_LINES:-$d_js_lines}
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
start_broker() {
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    port=$((20000 + RANDOM % 40000))
    # No limits on queues or in-flight windows: at QoS 0 a busy subscriber must not make the
    # broker drop, and at QoS 2 a limited in-flight count makes it drop a fast publisher's
    # records without telling anyone.
    cat >"$tmp/mosquitto.conf" <<EOF
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
EOF
    mosquitto -c "$tmp/mosquitto.conf" 2>"$tmp/mosquitto.log" &
    broker_pid=$!
    for _ in $(seq 50); do
      if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then return 0; fi
      kill -0 "$broker_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$broker_pid" 2>/dev/null || true
    wait "$broker_pid" 2>/dev/null || true
    broker_pid=""
  done
  die "mosquitto did not start: $(tail -3 "$tmp/mosquitto.log")"
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

# pub_cmd NAME QOS TOPIC EXTRA...: fills the array `cmd` with the publisher's command line.
pub_cmd() {
  local name=$1 qos=$2 topic=$3
  shift 3
  case $name in
    ceiling)
      local window=10000
      [[ $qos == 2 ]] && window=1000
      cmd=("$tools/bench_ceiling" 127.0.0.1 "$port" "$topic" "$qos" --window "$window" "$@") ;;
    linecast) cmd=("$linecast" "$topic" --host 127.0.0.1 --port "$port" --qos "$qos" "$@") ;;
    mosquitto_pub) cmd=(mosquitto_pub -h 127.0.0.1 -p "$port" -t "$topic" -q "$qos" -l) ;;
    mqttjs) cmd=("$mqttjs" pub -h 127.0.0.1 -p "$port" -t "$topic" -q "$qos" -s -M) ;;
  esac
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
  local topic="bench/$run_no" strip=0 feed sub_src pub_extra=() shape=()
  [[ $pub == mosquitto_pub || $pub == mqttjs ]] && strip=1  # they publish lines without the line feed
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
  local sub_opts=(--strip-delimiter "$strip" --idle-ms "$idle_ms" "${shape[@]}")
  ((wide)) && sub_opts+=(--maxdatalen 8192)
  [[ $pub == linecast ]] || pub_extra=()
  local cmd=()
  pub_cmd "$pub" "$qos" "$topic" "${pub_extra[@]}"

  "$tools/bench_subscriber" 127.0.0.1 "$port" "$topic" "$qos" 0 "$sub_src" "${sub_opts[@]}" \
    >"$tmp/sub.out" 2>"$tmp/sub.err" &
  sub_pid=$!
  for _ in $(seq 1000); do
    grep -q '^ready' "$tmp/sub.out" 2>/dev/null && break
    kill -0 "$sub_pid" 2>/dev/null || break
    sleep 0.01
  done
  grep -q '^ready' "$tmp/sub.out" || die "subscriber not ready: $(cat "$tmp/sub.err")"
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
  local mismatch=""
  mismatch=$(grep '^first_mismatch' "$s" | tr '\t' ' ' || true)
  # kind qos pub expected ok received distinct msg/s cpu_us/rec rss_kb first_ms eof_exit_ms
  # exit stderr_bytes run_no note
  awk -v k="$kind" -v q="$qos" -v p="$pub" -v e="$expected" -v ok="$ok" -v rc="$received" \
    -v d="$distinct" -v f="$first" -v l="$last" -v s="$start" -v eo="$eof" -v x="$exit_ns" \
    -v c="$cpu" -v m="$rss" -v st="$status" -v sb="$stderr_bytes" -v n="$run_no" -v mm="$mismatch" \
    'BEGIN {
       span = (l - s) / 1e9
       rate = (d > 0 && span > 0) ? d / span : 0
       printf "%s\t%s\t%s\t%d\t%d\t%d\t%d\t%.0f\t%.2f\t%d\t%.1f\t%.1f\t%s\t%d\t%d\t%s\n", k, q, p, e,
         ok, rc, d, rate, (e > 0 ? c / e : 0), m, (f > 0 ? (f - s) / 1e6 : -1), (x - eo) / 1e6,
         st, sb, n, mm
     }' >>"$out/runs.tsv"
  if [[ $ok != 1 ]]; then
    log "  $kind qos$qos $pub: NOT VERIFIED (exit $status, received $received of $expected," \
      "distinct $distinct) $mismatch"
    cp "$tmp/pub.err" "$out/failed-$run_no-$pub.stderr" 2>/dev/null || true
    cp "$s" "$out/failed-$run_no-$pub.subscriber" 2>/dev/null || true
  fi
  tail -1 "$out/runs.tsv" | awk -F'\t' '{ printf "[bench]   %-8s qos%s %-13s %8d rec  %7d msg/s  %7.2f us/rec  %6d KiB  ok=%s\n", $1, $2, $3, $4, $8, $9, $10, $5 }' >&2
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

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "" || b == "" || b == 0) print "–"; else printf "%.2f", a / b }'; }
fmt_range() { # median min max decimals: "median (min–max)", the range only over several runs
  awk -v m="$1" -v lo="$2" -v hi="$3" -v d="$4" 'BEGIN {
    if (m == "") { print "–"; exit }
    f = "%." d "f"; if (lo == hi) printf f, m; else printf f " (" f "–" f ")", m, lo, hi }'
}

publishers_present() { awk -F'\t' -v k="$1" -v q="$2" '$1 == k && $2 == q { print $3 }' "$out/runs.tsv" | awk '!seen[$0]++'; }

linecast_version() {
  local v
  v=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo '(no commit)')
  git -C "$root" diff --quiet HEAD -- src 2>/dev/null || v+=" with uncommitted changes in src/"
  echo "$v"
}

write_results() {
  local md=$out/results.md qos pub
  {
    echo "# linecast benchmark results"
    echo
    echo "$(date -u '+%Y-%m-%d %H:%M UTC'); $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//');"
    echo "$(mosquitto -h 2>/dev/null | head -1 | sed 's/ is an MQTT.*//'); linecast $(linecast_version)."
    echo "Median of $runs run(s), min–max in brackets; the input is $lines generated lines of ~61 bytes."
    echo "Load average when the run started: $load_at_start (the machine may be shared)."
    echo
    echo "| QoS | publisher | records | msg/s end to end | vs ceiling | vs mosquitto_pub -l | CPU µs/record | CPU vs mosquitto_pub | peak RSS MiB | RSS vs mosquitto_pub | first record ms | verified |"
    echo "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"
    for qos in $qos_list; do
      local ceil_rate mp_rate mp_cpu mp_rss
      ceil_rate=$(col main "$qos" ceiling 8 | stats | cut -d' ' -f1)
      mp_rate=$(col main "$qos" mosquitto_pub 8 | stats | cut -d' ' -f1)
      mp_cpu=$(col main "$qos" mosquitto_pub 9 | stats | cut -d' ' -f1)
      mp_rss=$(col main "$qos" mosquitto_pub 10 | awk '{ print $1 / 1024 }' | stats | cut -d' ' -f1)
      for pub in $(publishers_present main "$qos"); do
        local rate cpu rss first n_ok n_all records
        read -r -a rate <<<"$(col main "$qos" "$pub" 8 | stats)"
        read -r -a cpu <<<"$(col main "$qos" "$pub" 9 | stats)"
        read -r -a rss <<<"$(col main "$qos" "$pub" 10 | awk '{ print $1 / 1024 }' | stats)"
        read -r -a first <<<"$(col main "$qos" "$pub" 11 | stats)"
        n_all=$(col main "$qos" "$pub" 5 | wc -l)
        n_ok=$(col main "$qos" "$pub" 5 | grep -c '^1$' || true)
        records=$(col main "$qos" "$pub" 4 | head -1)
        local vs_mp vs_mp_cpu
        vs_mp=$(ratio "${rate[0]}" "$mp_rate")
        vs_mp_cpu=$(ratio "${cpu[0]}" "$mp_cpu")
        local rss_vs_mp
        rss_vs_mp=$(ratio "${rss[0]}" "$mp_rss")
        [[ $pub == mosquitto_pub ]] && vs_mp="1.00" vs_mp_cpu="1.00" rss_vs_mp="1.00"
        echo "| $qos | $pub | $records | $(fmt_range "${rate[0]}" "${rate[1]}" "${rate[2]}" 0) | $(ratio "${rate[0]}" "$ceil_rate") | $vs_mp | $(fmt_range "${cpu[0]}" "${cpu[1]}" "${cpu[2]}" 1) | $vs_mp_cpu | $(fmt_range "${rss[0]}" "${rss[1]}" "${rss[2]}" 1) | $rss_vs_mp | $(fmt_range "${first[0]}" "${first[1]}" "${first[2]}" 0) | $n_ok/$n_all |"
      done
    done
    echo
    if [[ -s $out/runs.tsv ]] && grep -q "^latency" "$out/runs.tsv"; then
      echo "Latency at QoS 0 with a 1,000-line input whose pipe stays open 500 ms after the last line:"
      echo
      echo "| publisher | start → first record at the subscriber, ms | end of input → exit, ms | verified |"
      echo "|---|---:|---:|---|"
      for pub in $(publishers_present latency 0); do
        local first eofx n_ok n_all
        read -r -a first <<<"$(col latency 0 "$pub" 11 | stats)"
        read -r -a eofx <<<"$(col latency 0 "$pub" 12 | stats)"
        n_all=$(col latency 0 "$pub" 5 | wc -l)
        n_ok=$(col latency 0 "$pub" 5 | grep -c '^1$' || true)
        echo "| $pub | $(fmt_range "${first[0]}" "${first[1]}" "${first[2]}" 1) | $(fmt_range "${eofx[0]}" "${eofx[1]}" "${eofx[2]}" 1) | $n_ok/$n_all |"
      done
      echo
    fi
    if grep -q "^mem" "$out/runs.tsv"; then
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
    fi
    echo "Notes:"
    echo
    echo "- msg/s end to end: records / (time of the last record at the subscriber − publisher start)."
    echo "- ceiling: one raw TCP connection writing pre-encoded PUBLISH packets in 64 KiB chunks"
    echo "  (QoS 1: up to 10,000 unacknowledged, QoS 2: 1,000): the reference for what this broker"
    echo "  takes. At QoS 0 it is no upper bound: with its 64 KiB bursts the broker spends more per"
    echo "  message than with a publisher that writes less at a time, so \"vs ceiling\" can pass 1."
    echo "- mosquitto_pub -l gets at most $peer_q12_lines lines at QoS 1 and 2: beyond 65,535 it loses records."
    [[ -n $mqttjs ]] && echo "- mqttjs (MQTT.js \`mqtt pub -s -M\`, $(node -p 'require(process.argv[1]).version' "$mqttjs_dir/node_modules/mqtt/package.json" 2>/dev/null)) gets $js_lines lines; its Node.js start-up weighs on its msg/s and CPU."
    echo "- verified: runs whose every payload arrived once, in order, byte for byte, with exit status 0."
    local errs
    errs=$(awk -F'\t' '$3 == "linecast" && $14 > 0' "$out/runs.tsv" | wc -l)
    ((errs)) && echo "- linecast wrote to stderr in $errs run(s)."
    true
  } >"$md"
}

write_chart() {
  local dat=$out/msgs.dat pubs qos pub
  pubs=$(awk -F'\t' '$1 == "main" { print $3 }' "$out/runs.tsv" | awk '!seen[$0]++' | tr '\n' ' ')
  {
    echo "QoS $pubs"
    for qos in $qos_list; do
      printf 'QoS%s' "$qos"
      for pub in $pubs; do
        local m
        m=$(col main "$qos" "$pub" 8 | stats | cut -d' ' -f1)
        printf ' %s' "${m:-0}"
      done
      echo
    done
  } >"$dat"
  local n
  n=$(wc -w <<<"$pubs")
  gnuplot <<EOF
set terminal pngcairo size 900,500 noenhanced
set output '$out/msgs.png'
set title 'Records per second end to end through mosquitto (median of $runs)'
set ylabel 'msg/s'
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set key top right autotitle columnheader
set yrange [0:*]
set xrange [-0.6:$(wc -w <<<"$qos_list") - 0.4]
set grid ytics
plot for [i=2:$((n + 1))] '$dat' using i:xtic(1)
EOF
}

# --- main -------------------------------------------------------------------------------------
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
  log "mosquitto on 127.0.0.1:$port; $runs run(s) of $lines lines; QoS $qos_list"

  "$tools/bench_gen" "$lines" >"$tmp/main.txt"
  head -n "$peer_q12_lines" "$tmp/main.txt" >"$tmp/peer.txt"
  head -n "$js_lines" "$tmp/main.txt" >"$tmp/js.txt"
  "$tools/bench_gen" 1000 >"$tmp/latency.txt"
  : >"$out/runs.tsv"
  rm -f "$out"/failed-*

  local pubs=() pub
  for pub in ${BENCH_PUBLISHERS:-ceiling linecast mosquitto_pub mqttjs}; do
    [[ $pub == mqttjs && -z $mqttjs ]] && continue
    pubs+=("$pub")
  done
  local qos input
  for _ in $(seq "$runs"); do
    for qos in $qos_list; do
      for pub in "${pubs[@]}"; do
        input=$tmp/main.txt
        [[ $pub == mosquitto_pub && $qos != 0 ]] && input=$tmp/peer.txt
        [[ $pub == mqttjs ]] && input=$tmp/js.txt
        measure main "$qos" "$pub" "file:$input"
      done
    done
    for pub in "${pubs[@]}"; do
      # The ceiling reads all its input before connecting, so it has no latency to show.
      [[ $pub == ceiling ]] || measure latency 0 "$pub" "file:$tmp/latency.txt" --linger-ms 500
    done
  done

  log "memory: $mem_lines lines and $big_bytes bytes"
  "$tools/bench_gen" "$mem_lines" >"$tmp/mem.txt"
  local mem_pubs=()
  for pub in linecast mosquitto_pub; do
    [[ " ${pubs[*]} " == *" $pub "* ]] && mem_pubs+=("$pub")
  done
  for pub in "${mem_pubs[@]}"; do
    measure mem-lines 0 "$pub" "file:$tmp/mem.txt"
  done
  rm -f "$tmp/mem.txt"
  for pub in "${mem_pubs[@]}"; do
    measure mem-bytes 0 "$pub" "gen-bytes:$big_bytes" --wide
  done

  write_results
  write_chart
  cat "$out/results.md"
  log "wrote $out/results.md, $out/msgs.png and $out/runs.tsv"
}

main "$@"
