"""The API's OpenAPI description against the real server: it is served as shipped, behind the token like
the rest of the API; it describes exactly the /api/v1 routes of the server's route table; and real answers,
errors included, have a documented status and media type, JSON ones valid against their schema.

usage: openapi_check.py VOLTKEEP VKFLEET SOURCE_DIR"""

import glob
import json
import os
import re
import sys
import urllib.parse

import jsonschema

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
from voltkeep_server import VoltkeepServer  # noqa: E402

voltkeep, vkfleet, source = sys.argv[1:4]
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def table_routes():
    """The /api/v1 routes of the route table: (path, also as .csv)."""
    routes = set()
    for name in glob.glob(os.path.join(source, "server", "http", "*.cpp")):
        text = open(name, encoding="utf-8").read()
        routes |= {(p, True) for p in re.findall(r'\bapi\(QStringLiteral\("(/[^"]*)"\)', text)}
        routes |= {(p, False) for p in re.findall(r'm_routes\.add\(\{Prefix \+ QStringLiteral\("(/[^"]*)"\)', text)}
    return routes


def operation(doc, path):
    """The described path template a concrete path matches, and its GET; of /x/{key} and /x/{key}.csv the latter."""
    def literal(template):
        return len(re.sub(r"\{[^}]+\}", "", template))
    for template, item in sorted(doc["paths"].items(), key=lambda kv: -literal(kv[0])):
        pattern = "^" + re.sub(r"\\\{[^}]+\\\}", "[^/]+", re.escape(template)) + "$"
        if re.match(pattern, path):
            return template, item["get"]
    return None, None


def response_of(doc, op, status):
    """The described answer of a status, its reference followed."""
    answer = op["responses"].get(str(status))
    if answer and "$ref" in answer:
        node = doc
        for part in answer["$ref"][2:].split("/"):
            node = node[part]
        answer = node
    return answer


with VoltkeepServer(voltkeep, vkfleet, clock_speed=20) as server:
    status, _, body = server.get("/api/v1/openapi.json")
    check(status == 200, f"openapi.json: {status}")
    doc = json.loads(body)
    with open(os.path.join(source, "server", "http", "resources", "openapi.json"), "rb") as shipped:
        check(json.loads(shipped.read()) == doc, "the served description is not the shipped file")
    check(server.get("/api/v1/openapi.json", token=None)[0] == 401, "openapi.json answers without the token")

    described = {p for p in doc["paths"]}
    routes = table_routes()
    expected = {p for p, _ in routes} | {p + ".csv" for p, csv in routes if csv}
    check(len(routes) >= 10, f"the route table was not read: {sorted(routes)}")
    check(described == expected, f"described but not routed: {sorted(described - expected)}; "
                                 f"routed but not described: {sorted(expected - described)}")

    sites = server.wait_for("/api/v1/sites", b'"name"')
    server.wait_for("/api/v1/plan")
    key = json.loads(server.get("/api/v1/batteries")[2])["batteries"][0]["serial"]
    site = urllib.parse.quote(json.loads(sites)["sites"][0]["name"], safe="")
    # path, status expected; every described path is asked at least once for 200.
    cases = [
        ("/batteries", 200), ("/batteries?due=3650", 200), ("/batteries?due=x", 400), ("/batteries.csv", 200),
        (f"/batteries/{key}", 200), (f"/batteries/{key}.csv", 200), ("/batteries/00000000000000FF", 404),
        ("/batteries/nohex", 400),
        (f"/batteries/{key}/history?from=2020-01-01", 200), (f"/batteries/{key}/history.csv", 200),
        (f"/batteries/{key}/history?to=soon", 400), ("/batteries/00000000000000FF/history", 404),
        ("/forecast?within=3650", 200), ("/forecast.csv?within=30", 200), ("/forecast", 400),
        ("/forecast/accuracy", 200), ("/forecast/accuracy.csv", 200),
        ("/sites", 200), ("/sites.csv", 200), (f"/sites/{site}", 200), (f"/sites/{site}.csv", 200),
        ("/sites/nowhere", 404),
        ("/silent?days=1", 200), ("/silent.csv", 200), ("/silent?days=0", 400),
        ("/plan", 200), ("/plan.csv", 200), ("/openapi.json", 200),
    ]
    asked = set()
    for path, expected_status in cases:
        status, content_type, body = server.get("/api/v1" + path)
        template, op = operation(doc, urllib.parse.urlsplit(path).path)
        if op is None:
            check(False, f"{path}: not described")
            continue
        check(status == expected_status, f"{path}: {status}, not {expected_status}")
        answer = response_of(doc, op, status)
        if answer is None:
            check(False, f"{path}: status {status} not described")
            continue
        media = content_type.split(";")[0].strip()
        check(media in answer.get("content", {}), f"{path}: {media} not described for {status}")
        if status == 200:
            asked.add(template)
        if media == "application/json" and media in answer.get("content", {}):
            schema = answer["content"][media]["schema"]
            validator = jsonschema.Draft202012Validator(schema, resolver=jsonschema.RefResolver.from_schema(doc))
            error = next(validator.iter_errors(json.loads(body)), None)
            check(error is None, f"{path}: {error and error.json_path}: {error and error.message}")
    check(asked == described, f"described but never answered 200: {sorted(described - asked)}")
    check(server.get("/api/v1/undescribed")[0] == 404, "a path outside the table answers")

for failure in failures:
    print("FAIL:", failure)
print(f"{len(cases)} answers checked against the description; {len(failures)} failures")
sys.exit(1 if failures else 0)
