"""The shipped alert rules and dashboard against the real server: promtool accepts the rules, every metric
they and the dashboard name is on the server's /metrics (the due count as the API lists the due), and the
no-report rule, evaluated by promtool over an hour and more of that scrape held still, stays quiet in the
server's first hour and fires after it.

usage: monitoring_check.py VOLTKEEP VKFLEET SOURCE_DIR"""

import json
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
from voltkeep_server import VoltkeepServer  # noqa: E402

voltkeep, vkfleet, source = sys.argv[1:4]
rules = os.path.join(source, "monitoring", "voltkeep-alerts.yml")
dashboard = os.path.join(source, "monitoring", "voltkeep-dashboard.json")
Metric = re.compile(r"\bvoltkeep_[a-z_]+")


def promtool(*args):
    run = subprocess.run(["promtool", *args], capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit(f"promtool {' '.join(args)} failed:\n{run.stdout}{run.stderr}")


def expressions(node):
    """Every PromQL text of the dashboard's panels and variables."""
    if isinstance(node, dict):
        for name, value in node.items():
            if name in ("expr", "query") and isinstance(value, str):
                yield value
            else:
                yield from expressions(value)
    elif isinstance(node, list):
        for value in node:
            yield from expressions(value)


promtool("check", "rules", rules)

# One webhook receiver, never posted to, so that its delivery counters are exported as a scrape sees them.
webhook = "[webhooks]\nboard.url=http://127.0.0.1:9/\nboard.events=mail.failed\nboard.secret=not-used\n"
with VoltkeepServer(voltkeep, vkfleet, settings=webhook) as server:
    server.wait_for("/api/v1/sites")  # insight's gauges appear once it has run
    server.wait_for("/api/v1/forecast?within=30", b'"pending":0,')  # the due count needs every forecast
    status, _, body = server.get("/metrics")
    due_listed = len(json.loads(server.get("/api/v1/batteries?due=30")[2])["batteries"])
    instance = f"127.0.0.1:{server.http_port}"
if status != 200:
    sys.exit(f"/metrics answered {status}")
samples = [line.rsplit(" ", 1) for line in body.decode().splitlines() if line and not line.startswith("#")]
exported = {re.match(r"[a-z_]+", series).group(0) for series, _ in samples}
# The due gauge counts by the API's rule: the same batteries as its due list.
due_counted = dict(samples).get('voltkeep_batteries_due{within_days="30"}')
if due_counted != str(due_listed) or due_listed == 0:
    sys.exit(f"voltkeep_batteries_due within 30 days is {due_counted}, the API lists {due_listed}")

with open(dashboard) as file:
    named = {m for text in expressions(json.load(file)) for m in Metric.findall(text)}
with open(rules) as file:
    named_by_rules = set(Metric.findall(file.read()))
missing = sorted((named | named_by_rules) - exported)
if len(named) < 5 or missing:
    sys.exit(f"named but not on /metrics: {missing} (dashboard names {sorted(named)})")

# The scrape as promtool series, one sample a minute for 80 minutes, under the labels a scrape job adds;
# the start time is moved to the test clock's zero, the moment of the scrape.
series = []
for name, value in samples:
    labels = f'job="voltkeep",instance="{instance}"'
    name = name.replace("{", "{" + labels + ",", 1) if "{" in name else f"{name}{{{labels}}}"
    if name.startswith("voltkeep_start_time_seconds"):
        value = "0"
    series.append({"series": name, "values": f"{value}+0x80"})
quiet_then_firing = [
    {"eval_time": "30m", "alertname": "VoltkeepNoReports", "exp_alerts": []},
    {"eval_time": "70m", "alertname": "VoltkeepNoReports",
     "exp_alerts": [{"exp_labels": {"severity": "warning", "instance": instance, "job": "voltkeep"},
                     "exp_annotations": {
                         "summary": f"Voltkeep {instance} has received no battery report for an hour",
                         "description": "Check the radios' network path to the report port (default 9362) "
                                        "and journalctl -u voltkeep."}}]},
]
with tempfile.NamedTemporaryFile("w", suffix=".yml", delete=False) as test:
    json.dump({"rule_files": [rules], "evaluation_interval": "1m",
               "tests": [{"interval": "1m", "input_series": series, "alert_rule_test": quiet_then_firing}]}, test)
try:
    promtool("test", "rules", test.name)
finally:
    os.unlink(test.name)
print(f"rules and dashboard name {len(named | named_by_rules)} metrics, all on /metrics; "
      f"VoltkeepNoReports evaluated over {len(series)} scraped series")
