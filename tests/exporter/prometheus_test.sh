#!/usr/bin/env bash
# lumoret-exporter scraped by a real Prometheus (Debian's) with the shipped rules, on
# netbench's private test network: 20 hosts of both families, one of them never
# answering. After a minute of successful scrapes every host has its series, the lost
# host is down and the others up, and each host's request count at the last scrape matches
# what the responder received within one probe. Every query of the Grafana dashboard and
# every recording rule finds series (they name served metrics); the rules' outcomes are
# promtool's unit tests' (monitoring_test.sh). Root only; exit 77 otherwise.
#   prometheus_test.sh NETBENCH EXPORTER MONITORING_DIR
set -uo pipefail
readonly scrape_seconds=5   # Prometheus' scrape and rule interval
readonly run_seconds=60     # scraping before the counts are compared
readonly lost=198.18.0.13   # the host that never answers
readonly slow=2001:db8::6   # answers after 20 ms
readonly prom=127.0.0.1:9090 exporter_address=127.0.0.1:10067

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Everything below runs in netbench's client namespace: the exporter and Prometheus, until
# the exporter is stopped just after a scrape.
inside() {
  local work=$1 exporter=$2
  # Global: the trap runs after the function has returned.
  exporter_pid= prom_pid=
  trap '[ -n "$exporter_pid" ] && kill "$exporter_pid" 2>/dev/null
        [ -n "$prom_pid" ] && kill "$prom_pid" 2>/dev/null; wait' EXIT
  "$exporter" --config "$work/config.ini" --web.listen-address "$exporter_address" \
    2>"$work/exporter.err" &
  exporter_pid=$!
  wait_for "http://$exporter_address/-/healthy" "$exporter_pid" || fail "the exporter did not start"
  prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/tsdb" \
    --web.listen-address="$prom" --log.level=warn 2>"$work/prometheus.err" &
  prom_pid=$!
  wait_for "http://$prom/-/ready" "$prom_pid" || fail "Prometheus did not start"
  sleep "$run_seconds"
  # Stopped right after a scrape, so the responder's final count is the count at that
  # scrape plus what the exporter sent in the moment after it.
  local first next
  first=$(last_scrape) || fail "Prometheus has no scrape"
  next=$first
  for _ in $(seq $((scrape_seconds * 30))); do
    next=$(last_scrape) && [ "$next" != "$first" ] && break
    sleep 0.1
  done
  [ "$next" != "$first" ] || fail "no new scrape within $((scrape_seconds * 3)) s"
  local stopped_at
  stopped_at=$(date +%s.%N)
  kill -TERM "$exporter_pid"
  for _ in $(seq 100); do kill -0 "$exporter_pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$exporter_pid" 2>/dev/null && fail "the exporter did not stop within 10 s of SIGTERM"
  exporter_pid=
  echo "$stopped_at $(date -d "$next" +%s.%N)" >"$work/times"
  query lumoret_requests_total "$stopped_at" >"$work/requests" &&
    query lumoret_host_up "$stopped_at" >"$work/host_up" &&
    query 'lumoret_reply_delay_seconds_sum / lumoret_reply_delay_seconds_count' \
      "$stopped_at" >"$work/delay" || fail "Prometheus' query API did not answer"
  local expr
  while read -r expr; do
    [ -n "$(query "$expr" "$stopped_at")" ] || echo "$expr" >>"$work/empty"
  done <"$work/dashboard.queries"
}

# Waits up to 30 s for URL to answer, while PID runs.
wait_for() {
  for _ in $(seq 300); do
    curl -sf --max-time 2 -o /dev/null "$1" && return 0
    kill -0 "$2" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# When Prometheus last scraped the exporter (RFC 3339), provided it was a success.
last_scrape() {
  curl -sf --max-time 2 "http://$prom/api/v1/targets" |
    jq -er '.data.activeTargets[0] | select(.health == "up") | .lastScrape'
}

# QUERY's samples at TIME as "host ip value" lines ("-" for a missing label).
query() {
  curl -sf --max-time 5 -G "http://$prom/api/v1/query" --data-urlencode "query=$1" \
    --data-urlencode "time=$2" |
    jq -r '.data.result[] | [.metric.host // "-", .metric.ip // "-", .value[1]] | @tsv'
}

if [ "${1:-}" = --inside ]; then
  inside "$2" "$3"
  exit
fi

[ $# = 3 ] || { echo "usage: prometheus_test.sh NETBENCH EXPORTER MONITORING_DIR" >&2; exit 2; }
netbench=$1 exporter=$2 monitoring=$3
if [ "$(id -u)" != 0 ]; then
  echo "prometheus_test: needs root (network namespaces); skipped" >&2
  exit 77
fi
for tool in prometheus curl jq; do
  command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/packages/test.txt)"
done
work=$(mktemp -d /tmp/lumoret-prometheus.XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"

for i in $(seq 14); do echo "198.18.0.$i"; done >"$work/config.ini"
for i in $(seq 6); do echo "2001:db8::$i"; done >>"$work/config.ini"
printf '%s loss=100\n%s delay=20\n' "$lost" "$slow" >"$work/responder.rules"
cp "$monitoring/lumoret.rules.yml" "$work/"
# The dashboard's queries with every variable at "all" and a rate window of 4 scrapes.
jq -r '.panels[].targets[]?.expr' "$monitoring/lumoret-dashboard.json" |
  sed -E 's/\$__rate_interval/'$((scrape_seconds * 4))s'/g; s/\$(host|instance|job)\b/.*/g' \
    >"$work/dashboard.queries" || fail "cannot read the dashboard"
grep -oP '^\s*- record: \K\S+' "$monitoring/lumoret.rules.yml" >>"$work/dashboard.queries"
cat >"$work/prometheus.yml" <<CONFIG
global:
  scrape_interval: ${scrape_seconds}s
  scrape_timeout: $((scrape_seconds - 1))s
  evaluation_interval: ${scrape_seconds}s
rule_files: [lumoret.rules.yml]
scrape_configs:
  - job_name: lumoret
    static_configs: [{targets: ["$exporter_address"]}]
CONFIG

"$netbench" --timeout $((run_seconds + 90)) --rules "$work/responder.rules" \
  --record "$work/record.csv" -- "$0" --inside "$work" "$exporter"
status=$?
[ "$status" = 77 ] && exit 77
if [ "$status" != 0 ]; then
  cat "$work/exporter.err" "$work/prometheus.err" >&2 2>/dev/null
  fail "the run failed (status $status)"
fi

read -r stopped_at scraped_at <"$work/times"
# The probes a host can have sent between the scrape and the stop, one a second at most.
allowed=$(awk -v a="$stopped_at" -v b="$scraped_at" 'BEGIN { print 1 + int(a - b) }')

errors=0
problem() {
  echo "FAIL: $*" >&2
  errors=$((errors + 1))
}
while read -r host; do
  # host and ip are the same text here; the record names addresses as inet_ntop does.
  scraped=$(awk -F'\t' -v h="$host" '$1 == h && $2 == h { print $3 }' "$work/requests")
  received=$(awk -F, -v h="$host" '$1 == h { n += $4 } END { print n + 0 }' "$work/record.csv")
  if [ -z "$scraped" ]; then
    problem "$host has no lumoret_requests_total"
  elif [ "$received" -lt "$scraped" ] || [ "$received" -gt $((scraped + allowed)) ]; then
    problem "$host: $scraped requests at the scrape, the responder received $received"
  fi
  [ "$scraped" = 0 ] && problem "$host sent no request"
  up=1
  [ "$host" = "$lost" ] && up=0
  grep -qxF "$host	$host	$up" "$work/host_up" || problem "$host: lumoret_host_up is not $up"
done <"$work/config.ini"
# Seconds, from the kernel's stamps: 20 ms and a little, nowhere near 20 s or 0.02 ms.
awk -F'\t' -v h="$slow" '$1 == h && $3 >= 0.019 && $3 < 0.05 { ok = 1 } END { exit !ok }' \
  "$work/delay" || problem "$slow: mean reply delay $(grep "^$slow" "$work/delay" | cut -f3), not about 0.020 s"
[ -e "$work/empty" ] && problem "dashboard queries or rules without series: $(cat "$work/empty")"
if [ "$errors" != 0 ]; then
  cat "$work/record.csv" "$work/exporter.err" >&2
  exit 1
fi
echo "prometheus_test: passed ($(wc -l <"$work/config.ini") hosts)"
