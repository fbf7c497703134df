#!/usr/bin/python3
"""Hostile peers against a real Voltkeep program on loopback; prints what they cost the server.

    /usr/bin/python3 bench/hostile_peers.py build/server/Voltkeep

Runs the program in the foreground on a temporary data folder and measures, one phase after another:
  greedy   200 peers each send 50 list requests over 10,000 batteries and read nothing: the server's
           peak resident memory, and the slowest of the version replies asked meanwhile;
  idle     1,000 connections that send nothing (idle time set to 5 s in vk.cfg): how many the server
           still holds after twice that, and whether a new radio is served;
  junk     20,000 junk datagrams: how many Warnings they cost the log;
  smtp     four mail servers that never let a session end (endless "220-" lines, a reply line trickled at
           4 KiB/s, a huge line, silence after DATA), one alert each: when the server gave the session up,
           its peak resident memory, the slowest list reply meanwhile, and how long SIGTERM took during a
           second session (or, where the first never ended, during that);
  config   configuration files of 50,000 daily or triggered notifications, 1,000 triggered ones and
           10,000 recipients: the time from the start to the first version reply, and the slowest version
           reply while five batteries fall (the mails go to a port nobody listens on);
  pipeline one HTTP connection sends 500 to 4,000 GET /healthz in one go: the server's CPU time for
           them, whether all were answered, and the slowest version reply asked meanwhile; then two
           requests in one send, the second with Connection: close: how many answers came.
Standard library only; any program that speaks the radio protocol on a port can be measured, so an
older build gives the figures before a change. Phases may be named after the program to run only those.
"""
import json
import os
import select
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

MAGIC = b"BATS"


def header(kind, length):
    return MAGIC + struct.pack("<BBHI", 1, kind, 0, length)


def report(n):
    record = bytearray(64)
    record[0] = 1
    record[1] = 90
    record[4:12] = struct.pack("<Q", 0x4200000000000000 + n)
    record[52:56] = struct.pack("<I", 0x01000016)
    return header(3, 64) + bytes(record)


def battery(n, percent):
    """A self-measuring battery of the given health percentage."""
    record = bytearray(64)
    record[0] = 1
    record[1] = percent
    record[4:12] = struct.pack("<Q", 0x4300000000000000 + n)
    record[52:56] = struct.pack("<I", 0x01000016)
    return header(3, 64) + bytes(record)


LIST = header(4, 0)
VERSION = header(1, 1) + b"\x01"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def read_exactly(sock, count, timeout=30.0):
    sock.settimeout(timeout)
    data = b""
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            raise ConnectionError("closed")
        data += chunk
    return data


def version_ms(port):
    start = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        s.sendall(VERSION)
        read_exactly(s, 13)
    return (time.monotonic() - start) * 1000.0


def status_kib(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1])
    return -1


class Server:
    def __init__(self, program, config, notifications=None, start_wait=30):
        self.folder = tempfile.mkdtemp(prefix="vk-hostile-")
        self.port = free_port()
        data = os.path.join(self.folder, "Norvale", "Voltkeep")
        os.makedirs(data)
        if notifications is not None:
            folder = os.path.join(self.folder, "Norvale", "Cellwarden")
            os.makedirs(folder)
            with open(os.path.join(folder, "Bellwright.JSON"), "w") as f:
                json.dump(notifications, f, indent=3)
        with open(os.path.join(data, "vk.cfg"), "w") as f:
            f.write(f"[General]\nport={self.port}\n[http]\nlisten=\n{config}")
        env = dict(os.environ, NORVALE_COMMON_APPDATA=self.folder)
        self.log = []
        self.started = time.monotonic()
        self.process = subprocess.Popen([program, "-e"], env=env, stderr=subprocess.PIPE, text=True)
        threading.Thread(target=self._collect, daemon=True).start()
        deadline = time.monotonic() + start_wait
        while not any("Accepting connections" in line for line in self.log):
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise RuntimeError("the server did not start:\n" + "".join(self.log))
            time.sleep(0.05)

    def _collect(self):
        for line in self.process.stderr:
            self.log.append(line)

    def count(self, text):
        return sum(text in line for line in self.log)

    def stop(self, wait=30):
        """Seconds SIGTERM took, or None when it had to be killed after `wait`."""
        start = time.monotonic()
        self.process.terminate()
        try:
            self.process.wait(wait)
            took = time.monotonic() - start
            self.exit_status = self.process.returncode
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            took = None
        shutil.rmtree(self.folder, ignore_errors=True)
        return took


def fill(port, batteries):
    with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
        s.sendall(b"".join(report(n) for n in range(batteries)) + LIST)
        head = read_exactly(s, 16, 120)
        count = struct.unpack("<I", head[12:16])[0]
        read_exactly(s, count * 64, 120)
        return count


def greedy(program):
    server = Server(program, "")
    try:
        fill(server.port, 10000)
        before = status_kib(server.process.pid, "VmRSS:")
        peers = []
        for _ in range(200):
            s = socket.create_connection(("127.0.0.1", server.port), timeout=30)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.sendall(LIST * 50)
            peers.append(s)
        slowest = 0.0
        end = time.monotonic() + 15
        while time.monotonic() < end:
            slowest = max(slowest, version_ms(server.port))
            time.sleep(0.1)
        peak = status_kib(server.process.pid, "VmHWM:")
        for s in peers:
            s.close()
        print(f"greedy: resident {before / 1024:.0f} MiB before, peak {peak / 1024:.0f} MiB; "
              f"slowest version reply {slowest:.0f} ms")
    finally:
        server.stop()


def idle(program):
    server = Server(program, "[connections]\nidleSeconds=5\n")
    try:
        sockets = []
        for _ in range(1000):
            try:
                sockets.append(socket.create_connection(("127.0.0.1", server.port), timeout=5))
            except OSError:
                break
        time.sleep(10)
        open_count = 0
        for s in sockets:
            readable, _, _ = select.select([s], [], [], 0)
            if not readable:
                open_count += 1
            else:
                try:
                    open_count += 1 if s.recv(1, socket.MSG_PEEK) else 0
                except OSError:
                    pass
        try:
            served = f"a new radio answered in {version_ms(server.port):.0f} ms"
        except OSError as error:
            served = f"a new radio was not served ({error})"
        for s in sockets:
            s.close()
        print(f"idle: {len(sockets)} connections opened, {open_count} still open after 10 s; {served}")
    finally:
        server.stop()


def junk(program):
    server = Server(program, "")
    try:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            for _ in range(20000):
                s.sendto(b"x" * 20, ("127.0.0.1", server.port))
        version_ms(server.port)
        time.sleep(2)
        print(f"junk: 20,000 junk datagrams, {server.count('Protocol error')} Warnings in the log")
    finally:
        server.stop()


def configuration(smtp_port, notifications, recipients=1):
    """A configuration file's document: the mail server on loopback, recipients r0..., the notifications."""
    people = [{"email": f"r{i}@example.test", "name": f"R {i}", "textMessage": False,
               "uuid": "{%08x-0000-4000-8000-000000000000}" % i} for i in range(recipients)]
    return {"magic": "NVLCELBW", "version": 1, "notifications": notifications, "recipients": people,
            "smtpSettings": {"authentication": {"enabled": False, "password": "", "username": ""},
                             "port": smtp_port, "security": 0, "server": "127.0.0.1",
                             "sender": {"email": "voltkeep@example.test", "name": "Voltkeep"}}}


def notification(alias, triggered, trigger_class=1, minute=0, recipient="{00000000-0000-4000-8000-000000000000}"):
    return {"alias": alias, "day": 1, "dayOfWeek": 1, "month": 1, "notificationType": 1 if triggered else 0,
            "periodicType": 0, "recipientList": [recipient], "reportType": 1,
            "time": "%02d:%02d:00" % ((minute // 60) % 24, minute % 60), "triggerType": 2,
            "triggerValue": trigger_class}


def fall(port, first, count, to_percent):
    """Batteries first.. go from Excellent to the given percentage: one alert each. Does not wait for
    the server: an older one answered nothing while it mailed."""
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        s.sendall(b"".join(battery(n, 95) + battery(n, to_percent) for n in range(first, first + count)))


def waited_ms(ask, timeout=30.0):
    """The round trip of ask(port) in ms; a reply that did not come counts as the time waited."""
    start = time.monotonic()
    try:
        ask(timeout)
    except OSError:
        pass
    return (time.monotonic() - start) * 1000.0


def list_ms(port, timeout=30.0):
    def ask(timeout):
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            s.sendall(LIST)
            head = read_exactly(s, 16, timeout)
            read_exactly(s, struct.unpack("<I", head[12:16])[0] * 64, timeout)
    return waited_ms(ask, timeout)


def answered_version_ms(port, timeout=30.0):
    def ask(timeout):
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            s.sendall(VERSION)
            read_exactly(s, 13, timeout)
    return waited_ms(ask, timeout)


def client_gone(conn, wait):
    """True once the client has closed (or reset) the connection; waits at most `wait` seconds."""
    readable, _, _ = select.select([conn], [], [], wait)
    if not readable:
        return False
    try:
        return not conn.recv(65536, socket.MSG_DONTWAIT)
    except BlockingIOError:
        return False
    except OSError:
        return True


def hostile_session(kind, conn):
    """Plays one session that never ends by itself; returns when the client has gone."""
    try:
        if kind == "continuation":
            while True:
                conn.sendall(b"220-still there\r\n")
                if client_gone(conn, 0.5):
                    return
        elif kind == "slowline":
            conn.sendall(b"220 ")
            while True:
                conn.sendall(b"x" * 410)
                if client_gone(conn, 0.1):
                    return
        elif kind == "hugeline":
            conn.sendall(b"220 ")
            chunk = b"x" * (1 << 20)
            for _ in range(512):
                conn.sendall(chunk)
            while not client_gone(conn, 1.0):
                pass
        else:  # silence after DATA
            conn.sendall(b"220 hostile\r\n")
            reader = conn.makefile("rb")
            for line in reader:
                if line.strip() == b"DATA":
                    conn.sendall(b"354 go on\r\n")
                    break
                conn.sendall(b"250 ok\r\n")
            for line in reader:
                pass
    except OSError:
        pass


class HostileSmtp:
    """Plays `kind` on every connection; notes when each session began and ended."""
    def __init__(self, kind):
        self.kind = kind
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.sessions = []  # [begin, end or None]
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            session = [time.monotonic(), None]
            self.sessions.append(session)
            threading.Thread(target=self._play, args=(conn, session), daemon=True).start()

    def _play(self, conn, session):
        with conn:
            hostile_session(self.kind, conn)
        session[1] = time.monotonic()

    def close(self):
        self.listener.close()


def smtp(program):
    for kind in ("continuation", "slowline", "hugeline", "silentdata"):
        mail = HostileSmtp(kind)
        document = configuration(mail.port, [notification("to Fair", True, 1), notification("to Poor", True, 0)])
        server = Server(program, "", document)
        try:
            fill(server.port, 100)  # a fleet for the list replies to carry
            fall(server.port, 1000, 1, 84)
            limit = time.monotonic() + 90
            while not mail.sessions and time.monotonic() < limit:
                time.sleep(0.01)
            slowest = None
            while mail.sessions and mail.sessions[0][1] is None and time.monotonic() < limit:
                slowest = max(slowest or 0.0, list_ms(server.port))
                time.sleep(0.05)
            listed = f"{slowest:.0f} ms" if slowest is not None else "none asked, over too soon"
            first = mail.sessions[0] if mail.sessions else None
            ended = (f"ended after {first[1] - first[0]:.1f} s" if first and first[1]
                     else "not ended after 90 s")
            peak = status_kib(server.process.pid, "VmHWM:")
            # Another notification's alert; a server still in its first session gets SIGTERM in that.
            if first and first[1]:
                fall(server.port, 2000, 1, 50)
                deadline = time.monotonic() + 10
                while len(mail.sessions) < 2 and time.monotonic() < deadline:
                    time.sleep(0.01)
            took = server.stop(90)
            stopped = (f"{took:.1f} s (exit status {server.exit_status})" if took is not None
                       else "not within 90 s (killed)")
            print(f"smtp {kind}: session {ended}; peak {peak / 1024:.0f} MiB; slowest list reply "
                  f"{listed}; SIGTERM during a session took {stopped}")
        finally:
            mail.close()
            if server.process.poll() is None:
                server.stop()


def config(program):
    nobody = free_port()
    cases = [
        ("50,000 daily notifications", [notification(f"n{i}", False, minute=i) for i in range(50000)], 1),
        ("50,000 triggered notifications", [notification(f"t{i}", True) for i in range(50000)], 1),
        ("1,000 triggered notifications", [notification(f"t{i}", True) for i in range(1000)], 1),
        ("10,000 recipients", [notification("to Fair", True)], 10000),
    ]
    for name, notifications, recipients in cases:
        server = Server(program, "", configuration(nobody, notifications, recipients), start_wait=300)
        try:
            first = None
            while first is None and time.monotonic() - server.started < 120:
                try:
                    version_ms(server.port)
                    first = time.monotonic() - server.started
                except OSError:
                    time.sleep(0.05)
            served = f"{first:.2f} s" if first is not None else "not within 120 s"
            fall(server.port, 0, 5, 84)
            slowest = 0.0
            end = time.monotonic() + 10
            while time.monotonic() < end:
                slowest = max(slowest, answered_version_ms(server.port))
                time.sleep(0.05)
            print(f"config {name}: first version reply {served} after the start; slowest version reply "
                  f"{slowest:.0f} ms in the 10 s after five alerts")
        finally:
            server.stop()


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def http_exchange(port, request, timeout=120.0):
    """Everything the server answers to `request` until it closes the connection."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(request)
        got = bytearray()
        while True:
            part = s.recv(1 << 16)
            if not part:
                return bytes(got)
            got += part


def pipeline(program):
    http = free_port()
    server = Server(program, f"listen=127.0.0.1:{http}\n")
    try:
        for count in (500, 1000, 2000, 4000):
            one = b"GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n"
            request = one * (count - 1) + b"GET /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"
            slowest = [0.0]
            done = threading.Event()

            def watch():
                while not done.is_set():
                    slowest[0] = max(slowest[0], answered_version_ms(server.port))
                    time.sleep(0.02)

            watcher = threading.Thread(target=watch)
            before = cpu_seconds(server.process.pid)
            watcher.start()
            started = time.monotonic()
            got = http_exchange(http, request)
            took = time.monotonic() - started
            done.set()
            watcher.join()
            cpu = cpu_seconds(server.process.pid) - before
            print(f"pipeline {count}: {got.count(b'HTTP/1.1 200')} of {count} answered in {took:.2f} s, server CPU "
                  f"{cpu:.2f} s ({cpu * 1e6 / count:.0f} us a request); slowest version reply meanwhile "
                  f"{slowest[0]:.1f} ms", flush=True)
        got = http_exchange(http, b"GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n"
                                  b"GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"
                                  b"GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n")
        print(f"pipeline close: {got.count(b'HTTP/1.1 ')} answers to /healthz, /metrics with Connection: close, "
              f"/healthz (2 expected: the third comes after the close)", flush=True)
    finally:
        server.stop()


PHASES = {"greedy": greedy, "idle": idle, "junk": junk, "smtp": smtp, "config": config, "pipeline": pipeline}


def main():
    if len(sys.argv) < 2 or any(name not in PHASES for name in sys.argv[2:]):
        sys.exit(__doc__)
    program = os.path.abspath(sys.argv[1])
    for name in sys.argv[2:] or PHASES:
        PHASES[name](program)


if __name__ == "__main__":
    main()
