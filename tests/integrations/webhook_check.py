"""Webhooks against a real HTTPS receiver on loopback that checks every signature: events delivered; held in
order while the receiver is down; a receiver that hangs, answers 500 or answers without end costs one bounded
attempt each and the event still goes once; a server killed with events in its outbox posts them after the
restart under the same ids.

usage: webhook_check.py VOLTKEEP VKFLEET VKPEER SOURCE_DIR"""

import hashlib
import hmac
import http.server
import json
import os
import re
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
from voltkeep_server import VoltkeepServer, free_port  # noqa: E402

voltkeep, vkfleet, vkpeer = sys.argv[1:4]
SECRET = "the-receivers-secret"
HUGE = 100 * 1024 * 1024


class Receiver:
    """An HTTPS receiver on a fixed loopback port, which may be down for a while, and keeps connections open
    (HTTP/1.1). Each request takes the next of `modes` ("ok" once they run out): ok answers 204, 500 answers
    500, hang answers nothing until the sender gives up, drop closes the connection without an answer, huge
    answers 200 with 100 MB."""

    def __init__(self, folder):
        self.cert = os.path.join(folder, "receiver.pem")
        key = os.path.join(folder, "receiver.key")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                        "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", self.cert],
                       check=True, capture_output=True)
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(self.cert, key)
        self.port = free_port()
        self.modes = []
        self.attempts = []  # (mode, event id, kind) of every request, the failed ones included
        self.delivered = []  # the documents answered 2xx, in the order they came
        self.huge_written = 0
        self.connections = []  # the sender's port of every request
        self.open = set()
        self.lock = threading.Condition()
        self.server = None

    def up(self):
        receiver = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def setup(self):
                super().setup()
                receiver.open.add(self.connection)

            def do_POST(self):
                body = self.rfile.read(int(self.headers["Content-Length"]))
                expected = "sha256=" + hmac.new(SECRET.encode(), body, hashlib.sha256).hexdigest()
                document = json.loads(body)
                good = (hmac.compare_digest(self.headers["X-Voltkeep-Signature"], expected)
                        and self.headers["X-Voltkeep-Event-Id"] == document["id"])
                with receiver.lock:
                    mode = receiver.modes.pop(0) if receiver.modes else "ok"
                    receiver.attempts.append((mode, document["id"], document["kind"]))
                    receiver.connections.append(self.client_address[1])
                    receiver.lock.notify_all()
                if not good:
                    self.send_response(401)
                    self.end_headers()
                    sys.exit(f"bad signature or event id header on {body!r}")
                if mode == "drop":
                    self.close_connection = True
                    return
                if mode == "hang":
                    self.connection.settimeout(30)
                    self.connection.recv(1)  # returns once the sender closed the connection
                    return
                if mode == "huge":
                    self.send_response(200)
                    self.send_header("Content-Length", str(HUGE))
                    self.end_headers()
                    chunk = b"x" * 65536
                    try:
                        while receiver.huge_written < HUGE:
                            self.wfile.write(chunk)
                            receiver.huge_written += len(chunk)
                    except OSError:
                        pass
                    return
                self.send_response(500 if mode == "500" else 204)
                if mode == "500":
                    self.send_header("Content-Length", "0")
                self.end_headers()
                if mode == "ok":
                    with receiver.lock:
                        receiver.delivered.append(document)
                        receiver.lock.notify_all()

            def log_message(self, *_):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", self.port), Handler)
        self.server.daemon_threads = True
        self.server.socket = self.context.wrap_socket(self.server.socket, server_side=True)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def down(self):
        self.server.shutdown()
        self.server.server_close()
        for connection in list(self.open):  # kept ones too: down is down
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self.open.clear()

    def wait(self, condition, seconds=20):
        with self.lock:
            if not self.lock.wait_for(condition, timeout=seconds):
                sys.exit(f"the receiver waited in vain; attempts {self.attempts}, delivered "
                         f"{[(d['kind'], d['battery']['key']) for d in self.delivered]}")


def drop(server, serial):
    """A battery reported Excellent, then Poor: one battery.class and one battery.now event."""
    for health in (95, 40):
        subprocess.run([vkpeer, "--port", str(server.radio_port), "report", "--type", "0x01000016", "--health",
                        str(health), "--serial", serial, "--alias", f"Truck {serial[-2:]}"], check=True,
                       stdout=subprocess.DEVNULL)


def told(receiver):
    return [(d["kind"], d["battery"]["key"]) for d in receiver.delivered]


def events_of(serial):
    return [("battery.class", serial), ("battery.now", serial)]


folder = tempfile.mkdtemp(prefix="vk-webhooks-")
receiver = Receiver(folder)
settings = (f"[sites]\nYard=127.0.0.0/8\n"
            f"[webhooks]\nretryFirstSeconds=1\nretryMostSeconds=1\ntimeoutSeconds=1\nanswerBytes=4096\n"
            f"hook.url=https://127.0.0.1:{receiver.port}/hook\nhook.events=battery.class battery.now\n"
            f"hook.secret={SECRET}\nhook.ca={receiver.cert}\n")
try:
    with VoltkeepServer(voltkeep, vkfleet, batteries=0, settings=settings) as server:
        # Delivered: both events of a drop, as documents that say what happened.
        receiver.up()
        drop(server, "00000000000000A1")
        receiver.wait(lambda: len(receiver.delivered) == 2)
        first = receiver.delivered[0]["battery"]
        if told(receiver) != events_of("00000000000000A1") or (first["class"], first["previousClass"]) != ("Poor", "Excellent") \
                or first["percent"] != 40 or first["alias"] != "Truck A1" or first["site"] != "Yard" \
                or "forecast" not in first:
            sys.exit(f"delivered {receiver.delivered}")
        if len(set(receiver.connections)) != 1:
            sys.exit(f"two events came over {len(set(receiver.connections))} connections, not one kept open")

        # Down for a while: what happens meanwhile waits in the outbox and goes once, in order.
        receiver.down()
        drop(server, "00000000000000A2")
        server.wait_for_log("network_error")
        drop(server, "00000000000000A3")
        server.wait_for_log("network_error", count=3)
        receiver.up()
        receiver.wait(lambda: len(receiver.delivered) == 6)
        if told(receiver)[2:] != events_of("00000000000000A2") + events_of("00000000000000A3"):
            sys.exit(f"after the outage, in this order: {told(receiver)[2:]}")

        # Hostile: each bad answer fails one attempt within the bounds, and the same event goes on. A kept
        # connection closed as the post went out is no failure: the post goes again at once, anew.
        receiver.modes = ["hang", "500", "drop", "huge"]
        tried = len(receiver.attempts)
        drop(server, "00000000000000A4")
        receiver.wait(lambda: len(receiver.delivered) == 8)
        series = ('voltkeep_webhook_deliveries_total{endpoint="hook",outcome="delivered"} 8',
                  'voltkeep_webhook_deliveries_total{endpoint="hook",outcome="too_large"} 1',
                  "voltkeep_webhook_outbox_depth 0")
        deadline = time.monotonic() + 20
        while not all(s in (metrics := server.get("/metrics")[2].decode()) for s in series) and time.monotonic() < deadline:
            time.sleep(0.05)
        if not all(s in metrics for s in series):
            sys.exit(f"/metrics lacks one of {series}:\n{metrics}")
        # Deliveries are logged a run at a time: each once.
        log = server.log_text()
        runs = re.findall(r"Webhook hook: (?:event \S+|(\d+) events) delivered \(HTTP 204\)", log)
        if sum(int(n) if n else 1 for n in runs) != 8:
            sys.exit(f"the log tells {runs} deliveries, not 8:\n{log}")
        ids = {event_id for _, event_id, _ in receiver.attempts[tried:tried + 5]}
        if [mode for mode, _, _ in receiver.attempts[tried:tried + 5]] != ["hang", "500", "drop", "huge", "ok"] or len(ids) != 1:
            sys.exit(f"attempts {receiver.attempts[tried:]}")
        failures = re.findall(f"event {ids.pop()} not delivered: (\\w+)", log)
        if failures != ["timeout", "http_error", "too_large"] \
                or receiver.huge_written >= HUGE:
            sys.exit(f"the bad answers were not each one bounded failure ({receiver.huge_written} bytes written):\n{log}")

        # Killed while the receiver holds the first of two events: both go after the restart, under their ids.
        receiver.modes = ["hang"]
        tried = len(receiver.attempts)
        drop(server, "00000000000000A5")
        receiver.wait(lambda: len(receiver.attempts) > tried)
        held = receiver.attempts[tried][1]
        server.kill_and_restart()
        receiver.wait(lambda: len(receiver.delivered) == 10)
        if told(receiver)[8:] != events_of("00000000000000A5") or receiver.delivered[8]["id"] != held:
            sys.exit(f"after the restart: {told(receiver)[8:]}, first id {receiver.delivered[8]['id']}, held {held}")
        ids = [d["id"] for d in receiver.delivered]
        if len(set(ids)) != len(ids):
            sys.exit(f"an event was delivered twice: {ids}")
finally:
    if receiver.server:
        receiver.down()
    shutil.rmtree(folder, ignore_errors=True)
print(f"{len(receiver.delivered)} events delivered once each over {len(receiver.attempts)} signed attempts")
