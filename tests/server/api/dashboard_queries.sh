#!/bin/sh
# The Grafana dashboard's queries parse as PromQL (promtool reads them as
# recording rules) and name only metrics the server exports; every panel
# reads the chosen data source and keeps to the chosen teams and users.
#   dashboard_queries.sh DASHBOARD_JSON METRICS_SOURCE WORK_DIR
set -eu
dashboard=$1 source=$2 rules=$3/dashboard-rules.yml
jq '{groups: [{name: "dashboard", rules: [[.panels[].targets[].expr] | to_entries[]
     | {record: "pelmora:dashboard_query_\(.key)", expr: .value}]}]}' "$dashboard" >"$rules"
promtool check rules "$rules"
status=0
for name in $(jq -r '.panels[].targets[].expr' "$dashboard" | grep -o 'pelmora_[a-z_]*' | sort -u); do
  grep -q "\"$name\"" "$source" || { echo "the server exports no $name" >&2; status=1; }
done
[ "$(jq -r '[.templating.list[].name] | sort | join(" ")' "$dashboard")" = "datasource team user" ] ||
  { echo "the variables are not datasource, team and user" >&2; status=1; }
jq -r '.panels[] | .title as $t | (.datasource.uid, .targets[].datasource.uid) | select(. != "${datasource}") | $t' \
  "$dashboard" | grep . >&2 && { echo "panels above not on the chosen data source" >&2; status=1; }
jq -r '.panels[].targets[].expr | select(contains("team=~\"$team\",user=~\"$user\"") | not)' "$dashboard" | grep . >&2 &&
  { echo "queries above not kept to the chosen teams and users" >&2; status=1; }
exit $status
