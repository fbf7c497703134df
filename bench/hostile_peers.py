#!/usr/bin/python3
"""Hostile peers against a real Voltkeep program on loopback; prints what they cost the server.

    /usr/bin/python3 bench/hostile_peers.py build/server/Voltkeep

Runs the program in the foreground on a temporary data folder and measures, one phase after another:
  greedy   200 peers each send 50 list requests over 10,000 batteries and read nothing: the server's
           peak resident memory, and the slowest of the version replies asked meanwhile;
  idle     1,000 connections that send nothing (idle time set to 5 s in vk.cfg): how many the server
           still holds after twice that, and whether a new radio is served;
  junk     20,000 junk datagrams: how many Warnings they cost the log.
Standard library only; any program that speaks the radio protocol on a port can be measured, so an
older build gives the figures before a change.
"""
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
    def __init__(self, program, config):
        self.folder = tempfile.mkdtemp(prefix="vk-hostile-")
        self.port = free_port()
        data = os.path.join(self.folder, "Norvale", "Voltkeep")
        os.makedirs(data)
        with open(os.path.join(data, "vk.cfg"), "w") as f:
            f.write(f"[General]\nport={self.port}\n[http]\nlisten=\n{config}")
        env = dict(os.environ, NORVALE_COMMON_APPDATA=self.folder)
        self.log = []
        self.process = subprocess.Popen([program, "-e"], env=env, stderr=subprocess.PIPE, text=True)
        threading.Thread(target=self._collect, daemon=True).start()
        deadline = time.monotonic() + 30
        while not any("Accepting connections" in line for line in self.log):
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise RuntimeError("the server did not start:\n" + "".join(self.log))
            time.sleep(0.05)

    def _collect(self):
        for line in self.process.stderr:
            self.log.append(line)

    def count(self, text):
        return sum(text in line for line in self.log)

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(30)
        except subprocess.TimeoutExpired:
            self.process.kill()
        shutil.rmtree(self.folder, ignore_errors=True)


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


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    program = os.path.abspath(sys.argv[1])
    for phase in (greedy, idle, junk):
        phase(program)


if __name__ == "__main__":
    main()
