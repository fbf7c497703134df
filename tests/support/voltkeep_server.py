"""The real server program for Python tests, as VoltkeepProcess runs it for the Qt tests: in the foreground
("-e") on a temporary data folder, its radio port and HTTP API on free loopback ports, a synthetic fleet
written by vkfleet before the start."""

import os
import shutil
import socket
import subprocess
import tempfile
import time
import urllib.error
import urllib.request

TOKEN = "test-token-of-the-api"
# The threads' variant: the server reads the clock on several threads.
FAKETIME_LIBRARY = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1"


def free_port():
    """A port free for TCP and UDP on 127.0.0.1 right now."""
    while True:
        with socket.socket() as tcp:
            tcp.bind(("127.0.0.1", 0))
            port = tcp.getsockname()[1]
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
                try:
                    udp.bind(("127.0.0.1", port))
                    return port
                except OSError:
                    pass


class VoltkeepServer:
    def __init__(self, voltkeep, vkfleet, batteries=200, days=400, clock_speed=1, settings=""):
        """clock_speed > 1 runs the server's clocks that much faster (libfaketime): insight analyses the fleet
        a minute apart, and only the analysis after the forecasts' load knows the sites. batteries=0 starts on
        an empty fleet; settings are further lines of vk.cfg."""
        self.common = tempfile.mkdtemp(prefix="vk-py-")
        self.folder = os.path.join(self.common, "Norvale", "Voltkeep")
        os.makedirs(self.folder)
        self.http_port = free_port()
        self.radio_port = free_port()
        with open(os.path.join(self.folder, "vk.cfg"), "w") as cfg:
            cfg.write(f"[General]\nport={self.radio_port}\n[http]\nlisten=127.0.0.1:{self.http_port}\ntoken={TOKEN}\n"
                      + settings)
        env = dict(os.environ, NORVALE_COMMON_APPDATA=self.common)
        if batteries:
            subprocess.run([vkfleet, "--batteries", str(batteries), "--days", str(days), "--folder", self.folder],
                           env=env, check=True, stdout=subprocess.DEVNULL)
        if clock_speed != 1:
            asan = env.get("ASAN_OPTIONS", "")
            env.update(LD_PRELOAD=FAKETIME_LIBRARY, FAKETIME=f"+0 x{clock_speed}",
                       ASAN_OPTIONS=(asan + ":" if asan else "") + "verify_asan_link_order=0")
        # Appended to: the server writes at the end while the test reads from the start of the same file.
        self.log = open(os.path.join(self.common, "server.log"), "a+")
        self._command = [voltkeep, "-e"]
        self._env = env
        self._run()

    def _run(self):
        self.process = subprocess.Popen(self._command, env=self._env, stdout=subprocess.DEVNULL, stderr=self.log)
        try:
            self.wait_for_log("Accepting connections on port", count=self.log_text().count("Accepting connections") + 1)
        except Exception:
            self.close()
            raise

    def log_text(self):
        self.log.seek(0)
        return self.log.read()

    def wait_for_log(self, text, seconds=20, count=1):
        """Waits until the log holds the text `count` times; the log."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            log = self.log_text()
            if log.count(text) >= count:
                return log
            if self.process.poll() is not None:
                break
            time.sleep(0.05)
        raise RuntimeError(f"the server did not log {text!r} {count} time(s); its log:\n{self.log_text()}")

    def kill_and_restart(self):
        """SIGKILL, as a crash ends it, then a start on the same data folder."""
        self.process.kill()
        self.process.wait()
        self._run()

    def get(self, path, token=TOKEN, accept=None):
        """(status, content type, body) of a GET on the HTTP API."""
        request = urllib.request.Request(f"http://127.0.0.1:{self.http_port}{path}")
        if token:
            request.add_header("Authorization", f"Bearer {token}")
        if accept:
            request.add_header("Accept", accept)
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        try:
            with opener.open(request, timeout=10) as answer:
                return answer.status, answer.headers.get("Content-Type", ""), answer.read()
        except urllib.error.HTTPError as error:
            return error.code, error.headers.get("Content-Type", ""), error.read()

    def wait_for(self, path, text=b"", seconds=30):
        """Waits until the path answers 200 with the text in its body (insight and forecasts are computed
        after the start); the body."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            status, _, body = self.get(path)
            if status == 200 and text in body:
                return body
            time.sleep(0.2)
        raise RuntimeError(f"{path} did not answer 200 with {text!r} within {seconds} s")

    def close(self):
        self.process.kill()
        self.process.wait()
        self.log.close()
        shutil.rmtree(self.common, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()
