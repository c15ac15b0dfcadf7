#!/usr/bin/env bash
# The shipped monitoring files: the rules pass promtool's check and their unit tests, the
# example prometheus.yml is valid, and the Grafana dashboard is JSON whose panels use its
# data source variable and its host choice. That its queries find series is checked
# against a real Prometheus (prometheus_test.sh).
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
