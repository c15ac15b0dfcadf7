#!/usr/bin/env bash
# The shipped monitoring files: the rules pass promtool's check and their unit tests, the
# example prometheus.yml is valid, and the Grafana dashboard is JSON that names only
# metrics the exporter serves, on its data source variable.
#   monitoring_test.sh MONITORING_DIR
set -uo pipefail
dir=$1
for tool in promtool jq; do
  if ! command -v "$tool" >/dev/null; then
    echo "FAIL: $tool is not installed (scripts/packages/test.txt)" >&2
    exit 1
  fi
done
errors=0
problem() {
  echo "FAIL: $*" >&2
  errors=$((errors + 1))
}

promtool check rules "$dir/lumoret.rules.yml" || problem "promtool check rules"
(cd "$dir" && promtool test rules lumoret.rules.test.yml) || problem "promtool test rules"
promtool check config "$dir/prometheus.yml" || problem "promtool check config"

dashboard=$dir/lumoret-dashboard.json
jq empty "$dashboard" || problem "$dashboard is not JSON"
# The metrics lumoret-exporter serves, without the histogram's suffixes.
served=" lumoret_requests_total lumoret_replies_total lumoret_timeouts_total
  lumoret_duplicate_replies_total lumoret_late_replies_total lumoret_reply_delay_seconds
  lumoret_host_up lumoret_host_state_since_seconds lumoret_host_resolved
  lumoret_send_errors_total lumoret_receive_errors_total lumoret_foreign_packets_total
  lumoret_malformed_packets_total lumoret_kernel_dropped_replies_total lumoret_stalls_total
  lumoret_targets lumoret_build_info process_cpu_seconds_total process_resident_memory_bytes
  process_virtual_memory_bytes process_open_fds process_max_fds process_start_time_seconds up "
served=" $(echo $served) "
queries=$(jq -r '[.panels[].targets[]?.expr, .templating.list[].definition?] | .[] | select(.)' \
  "$dashboard")
for name in $(grep -oE '\b(lumoret|process)_[a-z_]+|\bup\b' <<<"$queries" |
  sed -E 's/_(bucket|sum|count)$//' | sort -u); do
  [[ "$served" == *" $name "* ]] || problem "the dashboard queries $name, which is not served"
done
[ "$(grep -c . <<<"$queries")" -ge 20 ] || problem "the dashboard has too few queries"
jq -e '[.panels[].id] | length == (unique | length)' "$dashboard" >/dev/null ||
  problem "panel ids repeat"
jq -e '[.panels[] | select(.type != "row") | .datasource.uid] | all(. == "${datasource}")' \
  "$dashboard" >/dev/null || problem "a panel does not use the datasource variable"
jq -e '[.templating.list[].name] | contains(["datasource", "host"])' "$dashboard" >/dev/null ||
  problem "the host or datasource variable is missing"
# Every query is limited to the hosts chosen, except the engine-wide and process ones.
while read -r expr; do
  problem "not limited to \$host: $expr"
done < <(jq -r '.panels[].targets[]?.expr' "$dashboard" |
  grep -E 'lumoret_(requests|replies|timeouts|duplicate|late|reply|host)' | grep -v 'host=~"\$host"')

[ "$errors" = 0 ] || exit 1
echo "monitoring_test: passed"
