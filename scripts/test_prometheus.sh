#!/usr/bin/env bash
# Tests the metrics and the alert rules as an operator's Prometheus meets
# them, with Debian's prometheus and prometheus-node-exporter:
#   promtool checks the shipped rules (packaging/prometheus/tavo-l0.rules.yml)
#     and runs their unit tests (tests/prometheus/tavo-l0.rules.test.yml);
#   the node exporter (its textfile collector alone) and Prometheus (scraping
#     it every second, the shipped rules evaluated every second) run on free
#     loopback ports with their own data, started here and stopped by pid;
#   tavo_l0sim --live delivers an hour of small images at speed, one image's
#     final packet dropped, and tavo_campaign follow --metrics --poll 1s
#     follows it; through Prometheus' HTTP API the mark advances, the
#     telemetry loss alert goes pending after the dropped packet's window
#     (and the stall alert does not while the follower runs), and once the
#     follower is stopped (SIGTERM) with files waiting, the stall alert goes
#     pending;
#   promtool check metrics passes every .prom file the programs wrote.
# Where the packages are missing and cannot be installed, it says so in one
# line and passes.
#   scripts/test_prometheus.sh [BUILD_DIR]     (default: build)
set -euo pipefail

top="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-build}"
case "$build" in /*) ;; *) build="$top/$build" ;; esac
rules="$top/packaging/prometheus/tavo-l0.rules.yml"
rule_tests="$top/tests/prometheus/tavo-l0.rules.test.yml"
passed=0
pids=()

pass() { passed=$((passed + 1)); echo "ok: $*"; }
fail() {
  echo "FAILED: $*" >&2
  # What the programs said last.
  local log
  for log in "${scratch:-/nonexistent}"/*.log; do
    [ -s "$log" ] && { echo "-- ${log##*/}:"; tail -n 5 "$log"; } >&2
  done
  echo "prometheus: $passed passed, 1 failed"
  exit 1
}
skip() { echo "prometheus: skipped: $*"; exit 0; }
trap 'fail "line $LINENO: $BASH_COMMAND"' ERR

# The packages, installed when missing (as make check's deps step does).
have_tools() { command -v promtool && command -v prometheus && command -v prometheus-node-exporter; } > /dev/null
if ! have_tools; then
  "$top/scripts/install_packages.sh" > /dev/null 2>&1 || true
  have_tools || skip "prometheus and prometheus-node-exporter are not installed and could not be installed"
fi
for program in TAVO_L0 tavo_l0sim tavo_campaign tavo_l0audit tavo_catalog; do
  [ -x "$build/$program" ] || fail "$build/$program is not built (make build)"
done

scratch="$(mktemp -d "${TMPDIR:-/tmp}/tavo_prometheus.XXXXXX")"
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2> /dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2> /dev/null || true
  done
  rm -rf "$scratch"
}
trap cleanup EXIT
# Starts a program in the background and keeps its pid for the cleanup.
start() {
  local log="$1"
  shift
  "$@" > "$log" 2>&1 &
  pids+=($!)
}

echo "== The alert rules"
check="$(promtool check rules "$rules" 2>&1)" || fail "promtool check rules: $check"
alerts="$(grep -c '^ *- alert: ' "$rules")"
grep -q "SUCCESS: $alerts rules found" <<<"$check" || fail "promtool check rules: $check"
pass "promtool check rules: $alerts alerts in ${rules#"$top"/}"
unit="$(promtool test rules "$rule_tests" 2>&1)" || fail "promtool test rules: $unit"
# Every alert of the file has a case that fires in the unit tests.
for name in $(sed -n 's/^ *- alert: //p' "$rules"); do
  grep -B3 'exp_alerts:' "$rule_tests" | grep -q "alertname: $name\$" || fail "no firing case of $name in ${rule_tests#"$top"/}"
done
pass "promtool test rules: ${rule_tests#"$top"/}, a firing case for each of the $alerts alerts"

echo "== The node exporter and Prometheus on loopback ports"
# Two free loopback ports, as the kernel hands them out.
read -r exporter_port prometheus_port < <(python3 -c '
import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])')
metrics="$scratch/textfile"
mkdir -p "$metrics" "$scratch/prometheus-data"
start "$scratch/node-exporter.log" prometheus-node-exporter --web.listen-address="127.0.0.1:$exporter_port" \
  --collector.disable-defaults --collector.textfile --collector.textfile.directory="$metrics"
cat > "$scratch/prometheus.yml" <<EOF
global:
  scrape_interval: 1s
  evaluation_interval: 1s
rule_files:
  - $rules
scrape_configs:
  - job_name: node
    static_configs:
      - targets: ['127.0.0.1:$exporter_port']
EOF
start "$scratch/prometheus.log" prometheus --config.file="$scratch/prometheus.yml" \
  --storage.tsdb.path="$scratch/prometheus-data" --web.listen-address="127.0.0.1:$prometheus_port"
api="http://127.0.0.1:$prometheus_port/api/v1"

# Waits until the command succeeds, at most $1 seconds.
wait_until() {
  local seconds="$1" what="$2"
  shift 2
  for _ in $(seq $((seconds * 5))); do
    "$@" && return 0
    sleep 0.2
  done
  fail "gave up after $seconds s waiting: $what; alerts: $(alerts_now | tr '\n' ';')"
}
ready() { curl -sf "http://127.0.0.1:$prometheus_port/-/ready" > /dev/null; }
wait_until 60 "Prometheus ready" ready
# An instant query's series as the text format writes them (job and
# instance left out), one "name{labels} value" line each.
query() {
  curl -sf --data-urlencode "query=$1" "$api/query" | python3 -c '
import json, sys
for r in json.load(sys.stdin)["data"]["result"]:
    m = r["metric"]
    labels = ",".join(f"{k}=\"{v}\"" for k, v in sorted(m.items()) if k not in ("__name__", "job", "instance"))
    print(m.get("__name__", "") + "{" + labels + "}", r["value"][1])'
}
# The value of a query with a single series (empty when none).
value() { query "$1" | awk 'NR == 1 { print $NF }'; }
# The alerts Prometheus holds, one "name state labels" line each.
alerts_now() {
  curl -sf "$api/alerts" | python3 -c '
import json, sys
for a in json.load(sys.stdin)["data"]["alerts"]:
    labels = ",".join(f"{k}={v}" for k, v in sorted(a["labels"].items()) if k not in ("alertname", "job", "instance"))
    print(a["labels"]["alertname"], a["state"], labels)'
}
target_up() { [ "$(value 'up{job="node"}')" = 1 ]; }
wait_until 30 "the node exporter scraped" target_up
loaded="$(curl -sf "$api/rules" | python3 -c 'import json,sys; print(sum(len(g["rules"]) for g in json.load(sys.stdin)["data"]["groups"]))')"
[ "$loaded" = "$alerts" ] || fail "Prometheus loaded $loaded rules of $alerts"
pass "node exporter on 127.0.0.1:$exporter_port (textfile collector), Prometheus on 127.0.0.1:$prometheus_port with the $alerts rules"

# Files grow in place under their final names, so one is always settling:
# a file waiting, as when a ground system writes in place.
echo "== A live follow of an hour at speed 60, image 250's final packet dropped"
mkdir -p "$scratch/level0" "$scratch/products" "$scratch/work"
sed -e "s|@INPUT_ROOT_DIRECTORY@|$scratch/level0|" -e "s|@INPUT_SUBDIRECTORY@|FLAT|" \
    -e "s|@WORKING_DIRECTORY@|$scratch/work|" -e "s|@H5DUMP_EXE@|$build/tavo_l0dump|" \
    -e "s|@OUTPUT_ROOT_DIRECTORY@|$scratch/products|" -e "s|@KITE@|16|" \
    -e "s|@START@|2017/03/01t12|" -e "s|@END@|2017/03/01t12|" \
    "$top/config/TAVO_configuration.cfg.template" > "$scratch/TAVO_configuration.cfg"
start "$scratch/sim.log" "$build/tavo_l0sim" --live --speed 60 --kite 16 --start 2017-03-01T12:00:00 --duration 1h \
  --cadence 10s --size 64 --layout flat --seed 5 --fault missing-final@250 --in-place --out "$scratch/level0"
"$build/tavo_campaign" follow --dir "$scratch/campaign" --config "$scratch/TAVO_configuration.cfg" --poll 1s --lag 3s \
  --no-quicklook --catalog "$scratch/catalog.sqlite" --metrics "$metrics" > "$scratch/follow.log" 2>&1 &
follower=$!
pids+=("$follower")

mark() { value 'tavo_l0_follow_processed_to_timestamp_seconds{kite="16"}'; }
has_mark() { first_mark="$(mark)"; [ -n "$first_mark" ] && [ "${first_mark%.*}" -gt 0 ]; }
wait_until 120 "a mark through Prometheus" has_mark
advanced() { later_mark="$(mark)"; [ -n "$later_mark" ] && [ "${later_mark%.*}" -gt "${first_mark%.*}" ]; }
wait_until 120 "the mark to advance past $first_mark" advanced
when() { date -u -d "@${1%.*}" +%Y-%m-%dT%H:%M:%S; }
pass "processed_to read through Prometheus advances: $(when "$first_mark") then $(when "$later_mark")"

# The dropped packet's image, once its window is processed: a telemetry loss.
loss_alert() { alerts_now | grep -Eq '^TavoL0ImagesLostInTelemetry (pending|firing) .*kite=16'; }
wait_until 180 "TavoL0ImagesLostInTelemetry" loss_alert
lost="$(query 'tavo_l0_images_lost{kite="16"}')"
[ "$lost" = 'tavo_l0_images_lost{kite="16",origin="telemetry",reason="final_packet_missing"} 1' ] ||
  fail "images lost, not image 250 alone: $lost"
running_alerts="$(alerts_now)"
! grep -Eq '^TavoL0(FollowStalled|FollowNotCycling|WindowFailing|DamagedInput|ImagesLostByRun|ProductLatencyHigh) ' <<<"$running_alerts" ||
  fail "alerts of a sound running follower: $running_alerts"
pass "TavoL0ImagesLostInTelemetry $(grep '^TavoL0ImagesLostInTelemetry' <<<"$running_alerts" | cut -d' ' -f2) on $lost; no other follow alert while it runs"

echo "== Stopping the follower with files waiting"
waiting() { [ "$(value 'tavo_l0_follow_files_waiting{kite="16"}')" -gt 0 ] 2> /dev/null; }
wait_until 120 "files waiting while the follower runs" waiting
kill -TERM "$follower"
wait "$follower" || fail "the follower exited $? on SIGTERM: $(tail -n 2 "$scratch/follow.log")"
stopped_at="$(date +%s)"
waiting_files="$(value 'tavo_l0_follow_files_waiting{kite="16"}')"
stall_alert() { alerts_now | grep -Eq '^TavoL0FollowStalled (pending|firing) .*kite=16'; }
wait_until 150 "TavoL0FollowStalled" stall_alert
pass "TavoL0FollowStalled $(alerts_now | sed -n 's/^TavoL0FollowStalled \([a-z]*\) .*/\1/p') $(($(date +%s) - stopped_at)) s after the stop, $waiting_files file(s) waiting"

echo "== The metrics files"
"$build/tavo_catalog" --db "$scratch/catalog.sqlite" metrics --out "$metrics" > "$scratch/catalog.log" 2>&1 ||
  fail "tavo_catalog metrics: $(cat "$scratch/catalog.log")"
files=("$metrics"/*.prom)
[ "${files[*]##*/}" = "tavo_l0_catalog.prom tavo_l0_follow_k16.prom" ] || fail "metrics files: ${files[*]##*/}"
for file in "${files[@]}"; do
  lint="$(promtool check metrics < "$file" 2>&1)" || fail "promtool check metrics ${file##*/}: $lint"
  [ -z "$lint" ] || fail "promtool check metrics ${file##*/}: $lint"
done
catalog_scraped() { [ -n "$(value 'tavo_l0_catalog_completeness_ratio{kite="16",range="24h"}')" ]; }
wait_until 30 "the catalog's metrics through Prometheus" catalog_scraped
pass "promtool check metrics passes ${files[*]##*/}; the catalog's scraped too"

echo "== A scrape"
query '{__name__=~"tavo_l0_follow_(processed_to_timestamp_seconds|last_cycle_timestamp_seconds|files_waiting|cycles_total|windows_failing|damaged_input_files)|tavo_l0_images_(written|lost)|tavo_l0_catalog_completeness_ratio",range!="30d"}' |
  sed 's/^/  /'
alerts_now | sed 's/^/  alert: /'
echo "prometheus: $passed passed, 0 failed"
