#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the service and the bench tools in Release, starts tokenbridged (on a fresh software token)
# and the loopback baseline, runs them alternately round after round, and prints medians and the
# service/baseline ratios. Only ratios of one run mean anything: the machines are shared and noisy.
#   bench/run.sh           full run (5 rounds of 5 s per case, 10,000 idle connections)
#   bench/run.sh --quick   CI smoke run (2 rounds of 1 s, 1,000 idle connections)
# Exit status: 0 when every tool ran and every reply was right; non-zero otherwise (a missed
# target is not a failure: the figures are for people to read).
set -euo pipefail

cd "$(dirname "$0")/.."
BUILD=${BENCH_BUILD_DIR:-build-bench}
SERVICE_PORT=9446

QUICK=0
case "${1:-}" in
  --quick) QUICK=1 ;;
  "") ;;
  *) echo "usage: bench/run.sh [--quick]" >&2; exit 2 ;;
esac
if [[ $QUICK == 1 ]]; then
  DURATION=1; WARMUP=0.3; ROUNDS=2; IDLE_CONNS=1000
else
  DURATION=${BENCH_DURATION:-5}; WARMUP=0.5; ROUNDS=${BENCH_ROUNDS:-5}; IDLE_CONNS=10000
fi

listeners_on() { ss -ltnH "sport = :$1" 2>/dev/null || true; }
if [[ -n "$(listeners_on $SERVICE_PORT)" ]]; then
  echo "bench/run.sh: port $SERVICE_PORT is already in use; stop whatever listens there and rerun:" >&2
  ss -ltnpH "sport = :$SERVICE_PORT" >&2 || true
  exit 2
fi

# Both the client and the daemon (which inherits it from this shell) need a descriptor per connection.
NEED_FILES=$((IDLE_CONNS + 512))
HARD_FILES=$(ulimit -Hn)
if [[ $HARD_FILES != unlimited && $HARD_FILES -lt $NEED_FILES ]]; then
  echo "bench/run.sh: the hard limit on open files is $HARD_FILES, $NEED_FILES are needed (raise it, e.g. in limits.conf)" >&2
  exit 2
fi
ulimit -n "$([[ $HARD_FILES == unlimited ]] && echo $((NEED_FILES * 2)) || echo "$HARD_FILES")"

# Server on one core, client on the other, so neither steals the other's CPU time.
CORES=$(nproc)
if [[ $CORES -ge 2 ]]; then SERVER_CPU=0; CLIENT_CPU=1; else SERVER_CPU=0; CLIENT_CPU=0; fi

echo "== build ($BUILD, Release)"
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTOKENBRIDGE_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target tokenbridged softtoken bench_loadgen bench_baseline bench_burst -j "$CORES" >/dev/null
DAEMON_BIN=$(realpath "$BUILD/service/tokenbridged")
LOADGEN="$BUILD/bench/bench_loadgen"

WORK=$(mktemp -d)
DAEMON_PID=""
BASELINE_PIDS=()
cleanup() {
  for pid in "${BASELINE_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${BASELINE_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [[ -n $DAEMON_PID ]] && kill -TERM "$DAEMON_PID" 2>/dev/null; then
    for _ in $(seq 50); do [[ -d /proc/$DAEMON_PID ]] || break; sleep 0.1; done
    kill -KILL "$DAEMON_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The pid that owns the listening socket on a port: ss first, else socket inode -> /proc/*/fd.
pid_on_port() {
  local port=$1 pid inode
  pid=$(ss -ltnpH "sport = :$port" 2>/dev/null | sed -n 's/.*pid=\([0-9]*\).*/\1/p' | head -n1)
  if [[ -z $pid ]]; then
    inode=$(awk -v p="$(printf ':%04X' "$port")" '$2 ~ p"$" && $4 == "0A" {print $10; exit}' /proc/net/tcp)
    [[ -n $inode ]] && pid=$(find /proc/[0-9]*/fd -lname "socket:\[$inode\]" 2>/dev/null | head -n1 | cut -d/ -f3)
  fi
  echo "$pid"
}

rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }

echo "== start tokenbridged on CPU $SERVER_CPU (software token in a temporary state file)"
export SOFTTOKEN_STATE="$WORK/softtoken.json"
"$BUILD/softtoken/softtoken" init >/dev/null
taskset -c "$SERVER_CPU" "$DAEMON_BIN"
DAEMON_PID=$(pid_on_port $SERVICE_PORT)
if [[ -z $DAEMON_PID || $(readlink "/proc/$DAEMON_PID/exe") != "$DAEMON_BIN" ]]; then
  echo "bench/run.sh: the process on port $SERVICE_PORT is not the daemon just started" >&2
  DAEMON_PID=""
  exit 1
fi
SERVICE_IDLE_KIB=$(rss_kib "$DAEMON_PID")

# One baseline per reply text; idle ones cost nothing while another case runs.
start_baseline() {
  local name=$1 reply=$2 out="$WORK/baseline-$1.out"
  taskset -c "$SERVER_CPU" "$BUILD/bench/bench_baseline" --reply "$reply" >"$out" &
  BASELINE_PIDS+=($!)
  for _ in $(seq 50); do [[ -s $out ]] && break; sleep 0.1; done
  local port
  port=$(awk '/^listening on port/ {print $4}' "$out")
  [[ -n $port ]] || { echo "bench/run.sh: baseline $name did not start" >&2; exit 1; }
  eval "BASE_PORT_$name=$port BASE_PID_$name=$!"
}

VERSION_REPLY='{"type":"GetLibVersion", "code":"0", "data":"1.0.220104"}'
# The digest covers the first 15 bytes of parm1, in upper-case hex.
SHA_TEXT=abcdefghijklmnop
SHA_HEX=$(printf %s "${SHA_TEXT:0:15}" | sha1sum | cut -c1-40 | tr a-f A-F)
SHA_REPLY="{\"type\":\"ZPSHA1\", \"code\":\"0\", \"data\":\"$SHA_HEX\"}"
STATE_REPLY='{"type":"GetDevState", "code":"0", "data":"1"}'

start_baseline version "$VERSION_REPLY"
start_baseline sha "$SHA_REPLY"
start_baseline state "$STATE_REPLY"
BASELINE_IDLE_KIB=$(rss_kib "$BASE_PID_version")

# The churn cases open a WebSocket per request, as pages often do: connect, upgrade, one request,
# close, over again on each of N connections; the CPU figures are then per cycle.
CASE_NAME=(GetLibVersion GetLibVersion GetLibVersion ZPSHA1 GetDevState GetLibVersion-churn GetLibVersion-churn
  GetLibVersion-churn-Close)
CASE_CONNS=(1 16 256 16 16 1 16 16)
CASE_BASE=(version version version sha state version version version)
CASE_PAYLOAD=('{"type":"GetLibVersion"}' '{"type":"GetLibVersion"}' '{"type":"GetLibVersion"}'
  "{\"type\":\"ZPSHA1\",\"parm1\":\"$SHA_TEXT\"}" '{"type":"GetDevState"}' '{"type":"GetLibVersion"}'
  '{"type":"GetLibVersion"}' '{"type":"GetLibVersion"}')
CASE_EXPECT=("$VERSION_REPLY" "$VERSION_REPLY" "$VERSION_REPLY" "$SHA_REPLY" "$STATE_REPLY" "$VERSION_REPLY"
  "$VERSION_REPLY" "$VERSION_REPLY")
# The last churn case closes as a page's ws.close() does: a Close frame, then the socket at once.
CASE_EXTRA=("" "" "" "" "" --churn --churn "--churn --close-frame")

FAILED=0
RESULTS="$WORK/results"
: >"$RESULTS"

# loadgen LABEL PORT PID ARGS...: runs the client on its core, keeps its result line.
loadgen() {
  local label=$1 port=$2 pid=$3 line
  shift 3
  if line=$(taskset -c "$CLIENT_CPU" "$LOADGEN" --port "$port" --pid "$pid" --label "$label" "$@" 2>"$WORK/err"); then
    echo "$line" >>"$RESULTS"
  else
    echo "$line" >>"$RESULTS"
    echo "  FAILED: $label: $(head -c 600 "$WORK/err")" >&2
    FAILED=1
  fi
}

echo "== $CORES cores; server (tokenbridged and baseline) pinned to CPU $SERVER_CPU, client to CPU $CLIENT_CPU"
echo "== $ROUNDS rounds, ${DURATION}s per run after ${WARMUP}s warm-up, service (A) then baseline (B)"
LOAD_START=$(cut -d' ' -f1-3 /proc/loadavg)
for round in $(seq "$ROUNDS"); do
  for i in "${!CASE_NAME[@]}"; do
    base=${CASE_BASE[$i]}
    eval "bport=\$BASE_PORT_$base bpid=\$BASE_PID_$base"
    common=(--connections "${CASE_CONNS[$i]}" --duration "$DURATION" --warmup "$WARMUP"
      --payload "${CASE_PAYLOAD[$i]}" --expect "${CASE_EXPECT[$i]}" ${CASE_EXTRA[$i]})
    loadgen "A:$i:$round" $SERVICE_PORT "$DAEMON_PID" "${common[@]}"
    loadgen "B:$i:$round" "$bport" "$bpid" "${common[@]}"
  done
  echo "   round $round done"
done

echo "== one 16 MiB message (GetLibVersion padded with a \"pad\" member), then $IDLE_CONNS idle connections"
loadgen "A:big" $SERVICE_PORT "$DAEMON_PID" --one-message --pad-to 16777216 --expect "$VERSION_REPLY"
loadgen "B:big" "$BASE_PORT_version" "$BASE_PID_version" --one-message --pad-to 16777216 --expect "$VERSION_REPLY"
loadgen "A:open" $SERVICE_PORT "$DAEMON_PID" --open-only --connections "$IDLE_CONNS" --expect "$VERSION_REPLY"
loadgen "B:open" "$BASE_PORT_version" "$BASE_PID_version" --open-only --connections "$IDLE_CONNS" --expect "$VERSION_REPLY"

echo "== a burst of 20,000 GetLibVersion in one write, while another connection sends one request at a time"
if ! BURST_LINE=$(taskset -c "$CLIENT_CPU" "$BUILD/bench/bench_burst" --port $SERVICE_PORT --rounds "$ROUNDS" 2>"$WORK/err"); then
  echo "  FAILED: burst: $(head -c 600 "$WORK/err")" >&2
  FAILED=1
fi

# A token as slow as a real one: 20 ms more in each SKF_EnumDev (a presence check makes one).
echo "== slow token (20 ms per SKF_EnumDev): GetLibVersion while another connection polls GetDevState; 1 and 16 pollers"
SLOW_RESULTS="$WORK/slow"
: >"$SLOW_RESULTS"
slow_run() {
  local label=$1 line
  shift
  if line=$(taskset -c "$CLIENT_CPU" "$LOADGEN" --port $SERVICE_PORT --pid "$DAEMON_PID" --label "$label" "$@" 2>"$WORK/err"); then
    echo "$line" >>"$SLOW_RESULTS"
  else
    echo "  FAILED: $label: $(head -c 600 "$WORK/err")" >&2
    FAILED=1
  fi
}
"$BUILD/softtoken/softtoken" slow 20 SKF_EnumDev >/dev/null
STATE_ARGS=(--payload '{"type":"GetDevState"}' --expect "$STATE_REPLY" --warmup "$WARMUP")
slow_run "poller-alone" --connections 1 --duration "$DURATION" "${STATE_ARGS[@]}"
slow_run "pollers-16" --connections 16 --duration "$DURATION" "${STATE_ARGS[@]}"
# The poller runs past both ends of the measured window.
slow_run "poller-beside" --connections 1 --duration "$(awk -v d="$DURATION" 'BEGIN {print d + 1}')" "${STATE_ARGS[@]}" &
SLOW_POLLER=$!
sleep 0.5
slow_run "other-page" --connections 1 --duration "$DURATION" --warmup "$WARMUP" --expect "$VERSION_REPLY"
wait "$SLOW_POLLER" || true
"$BUILD/softtoken/softtoken" slow 0 >/dev/null

echo
echo "Results: $(date -u '+%Y-%m-%d %H:%M UTC'), $CORES cores ($(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo)), kernel $(uname -r)"
echo "A = tokenbridged, B = baseline; server on CPU $SERVER_CPU, client on CPU $CLIENT_CPU; medians of $ROUNDS rounds of ${DURATION}s"
echo "load average at the start: $LOAD_START, at the end: $(cut -d' ' -f1-3 /proc/loadavg) (other work on the machine shares the cores)"
echo
awk -v names="${CASE_NAME[*]}" -v conns="${CASE_CONNS[*]}" -v rounds="$ROUNDS" '
function median(list,   n, a, i, j, t) {
  n = split(list, a, " ")
  if (n == 0) return -1
  for (i = 2; i <= n; i++) { t = a[i] + 0; for (j = i - 1; j >= 1 && a[j] + 0 > t; j--) a[j + 1] = a[j]; a[j + 1] = t }
  return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
}
function field(line, key,   m) {
  if (match(line, " " key "=[^ ]*")) return substr(line, RSTART + length(key) + 2, RLENGTH - length(key) - 2)
  return ""
}
$1 == "result" {
  split(field($0, "label"), l, ":"); side = l[1]; c = l[2]; r = l[3]
  for (k = 0; k < 6; k++) {
    key = (k == 0) ? "rps" : (k == 1) ? "p50_us" : (k == 2) ? "p99_us" : (k == 3) ? "server_us_per_req" : (k == 4) ? "client_cpu_pct" : "errors"
    v[side, c, r, key] = field($0, key)
  }
  have[side, c, r] = 1
}
END {
  nc = split(names, name, " "); split(conns, conn, " ")
  printf "| request | conns | A req/s | B req/s | A/B req/s per round | median A/B | A us/req (server CPU) | B us/req | median A/B CPU | A p50/p99 us | B p50/p99 us | median A/B p99 | client CPU %% A/B |\n"
  printf "|---|---:|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|\n"
  for (c = 0; c < nc; c++) {
    ra = rb = rr = ca = cb = cr = pa50 = pa99 = pb50 = pb99 = pr = cla = clb = ""; per = ""
    for (r = 1; r <= rounds; r++) {
      if (!have["A", c, r] || !have["B", c, r]) { per = per " -"; continue }
      ra = ra " " v["A", c, r, "rps"]; rb = rb " " v["B", c, r, "rps"]
      ratio = v["B", c, r, "rps"] > 0 ? v["A", c, r, "rps"] / v["B", c, r, "rps"] : 0
      rr = rr " " ratio; per = per sprintf(" %.2f", ratio)
      ca = ca " " v["A", c, r, "server_us_per_req"]; cb = cb " " v["B", c, r, "server_us_per_req"]
      if (v["B", c, r, "server_us_per_req"] > 0) cr = cr " " v["A", c, r, "server_us_per_req"] / v["B", c, r, "server_us_per_req"]
      pa50 = pa50 " " v["A", c, r, "p50_us"]; pa99 = pa99 " " v["A", c, r, "p99_us"]
      pb50 = pb50 " " v["B", c, r, "p50_us"]; pb99 = pb99 " " v["B", c, r, "p99_us"]
      if (v["B", c, r, "p99_us"] > 0) pr = pr " " v["A", c, r, "p99_us"] / v["B", c, r, "p99_us"]
      cla = cla " " v["A", c, r, "client_cpu_pct"]; clb = clb " " v["B", c, r, "client_cpu_pct"]
    }
    printf "| %s | %d | %.0f | %.0f |%s | **%.2f** | %.2f | %.2f | %.2f | %.0f / %.0f | %.0f / %.0f | %.2f | %.0f / %.0f |\n",
      name[c + 1], conn[c + 1], median(ra), median(rb), per, median(rr), median(ca), median(cb), median(cr),
      median(pa50), median(pa99), median(pb50), median(pb99), median(pr), median(cla), median(clb)
  }
}' "$RESULTS"

echo
awk -v sidle="$SERVICE_IDLE_KIB" -v bidle="$BASELINE_IDLE_KIB" -v n="$IDLE_CONNS" '
function field(line, key) {
  if (match(line, " " key "=[^ ]*")) return substr(line, RSTART + length(key) + 2, RLENGTH - length(key) - 2)
  return "?"
}
$1 == "big" { side = substr(field($0, "label"), 1, 1); big[side] = $0 }
$1 == "open" { side = substr(field($0, "label"), 1, 1); open[side] = $0 }
END {
  printf "| memory and size | A (tokenbridged) | B (baseline) | target for A |\n|---|---:|---:|---|\n"
  printf "| RSS idle, just started | %d KiB | %d KiB | <= 4096 KiB |\n", sidle, bidle
  printf "| RSS with %d idle WebSocket connections (each served once) | %s KiB | %s KiB | |\n", n, field(open["A"], "rss_served_kib"), field(open["B"], "rss_served_kib")
  printf "| per connection | %s B | %s B | <= 4096 B, all served |\n", field(open["A"], "per_conn_bytes"), field(open["B"], "per_conn_bytes")
  printf "| connections served | %s of %d | %s of %d | |\n", field(open["A"], "served"), n, field(open["B"], "served"), n
  printf "| one 16 MiB message: reply after its last byte | %s ms | %s ms | <= 60 ms |\n", field(big["A"], "reply_after_last_byte_ms"), field(big["B"], "reply_after_last_byte_ms")
  printf "| 16 MiB message: RSS before / peak / 0.3 s after | %s / %s / %s KiB | %s / %s / %s KiB | peak <= idle + 65536 KiB, given back |\n", field(big["A"], "rss_before_kib"), field(big["A"], "peak_kib"), field(big["A"], "rss_after_kib"), field(big["B"], "rss_before_kib"), field(big["B"], "peak_kib"), field(big["B"], "rss_after_kib")
}' "$RESULTS"

echo
echo "| one connection's burst | the other connection's round trips meanwhile |"
echo "|---|---|"
echo "| ${BURST_LINE:-(failed)} | target: p99 and max a few ms, not the burst's whole time |"

echo
awk '
function field(line, key) {
  if (match(line, " " key "=[^ ]*")) return substr(line, RSTART + length(key) + 2, RLENGTH - length(key) - 2)
  return "?"
}
$1 == "result" { by[field($0, "label")] = $0 }
END {
  printf "| slow token, 20 ms per SKF_EnumDev | figure | target |\n|---|---:|---|\n"
  printf "| GetLibVersion p50 / p99 while another connection polls GetDevState | %.2f / %.2f ms | p99 < 2 ms |\n", field(by["other-page"], "p50_us") / 1000, field(by["other-page"], "p99_us") / 1000
  alone = field(by["poller-alone"], "rps"); many = field(by["pollers-16"], "rps")
  printf "| GetDevState replies/s: one poller alone / 16 pollers together | %s / %s (%.1fx) | >= 8x |\n", alone, many, (alone > 0 ? many / alone : 0)
}' "$SLOW_RESULTS"

if [[ $FAILED != 0 ]]; then
  echo
  echo "bench/run.sh: some runs failed (see FAILED lines above)" >&2
  exit 1
fi
