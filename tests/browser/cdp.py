"""Headless Chromium driven over its DevTools protocol, with the standard
library only: a small WebSocket client (RFC 6455, text frames) and a browser
launcher with a fresh profile and every background service switched off."""
import base64
import json
import os
import shutil
import socket
import struct
import subprocess
import tempfile
import time

CHROMIUM_FLAGS = [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--no-default-browser-check", "--disable-default-apps", "--disable-extensions",
    "--disable-domain-reliability", "--disable-client-side-phishing-detection",
    "--metrics-recording-only", "--mute-audio", "--hide-scrollbars",
    "--autoplay-policy=no-user-gesture-required",
]


class WebSocket:
    def __init__(self, host, port, path, timeout=30):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        key = base64.b64encode(os.urandom(16)).decode()
        req = (f"GET {path} HTTP/1.1\r\nHost: {host}:{port}\r\nUpgrade: websocket\r\n"
               f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n")
        self.sock.sendall(req.encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise ConnectionError("DevTools closed the connection during the handshake")
            head += chunk
        head, self.buf = head.split(b"\r\n\r\n", 1)
        if b" 101 " not in head.split(b"\r\n", 1)[0]:
            raise ConnectionError("DevTools refused the WebSocket: " + head.decode(errors="replace"))

    def _read(self, n):
        while len(self.buf) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("DevTools closed the connection")
            self.buf += chunk
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def send(self, text):
        data = text.encode()
        head = bytes([0x81])
        n = len(data)
        if n < 126:
            head += bytes([0x80 | n])
        elif n < 65536:
            head += bytes([0x80 | 126]) + struct.pack(">H", n)
        else:
            head += bytes([0x80 | 127]) + struct.pack(">Q", n)
        mask = os.urandom(4)
        self.sock.sendall(head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(data)))

    def recv(self):
        message = b""
        while True:
            b0, b1 = self._read(2)
            n = b1 & 0x7F
            if n == 126:
                n = struct.unpack(">H", self._read(2))[0]
            elif n == 127:
                n = struct.unpack(">Q", self._read(8))[0]
            mask = self._read(4) if b1 & 0x80 else None
            payload = self._read(n)
            if mask:
                payload = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
            op = b0 & 0x0F
            if op == 0x8:
                raise ConnectionError("DevTools closed the WebSocket")
            if op in (0x9, 0xA):  # ping/pong: nothing to answer for a short session
                continue
            message += payload
            if b0 & 0x80:
                return message.decode()

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


class Browser:
    """One headless Chromium with one page; `call` sends a command to the
    page's session and returns its result; events are kept in `events`."""

    def __init__(self, width=390, height=844):
        self.profile = tempfile.mkdtemp(prefix="rorodire-chromium-")
        exe = shutil.which("chromium") or shutil.which("chromium-browser")
        if not exe:
            raise RuntimeError("chromium is not installed (scripts/deps.sh test installs it)")
        self.proc = subprocess.Popen(
            [exe, *CHROMIUM_FLAGS, f"--user-data-dir={self.profile}", "--remote-debugging-port=0",
             f"--window-size={width},{height}", "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        port_file = os.path.join(self.profile, "DevToolsActivePort")
        deadline = time.time() + 30
        while True:
            if os.path.exists(port_file):
                lines = open(port_file).read().split("\n")
                if len(lines) >= 2 and lines[1]:
                    break
            if self.proc.poll() is not None or time.time() > deadline:
                self.close()
                raise RuntimeError("chromium did not start its DevTools endpoint")
            time.sleep(0.05)
        self.ws = WebSocket("127.0.0.1", int(lines[0]), lines[1])
        self.next_id = 0
        self.events = []
        self.session = None
        target = self.call("Target.createTarget", {"url": "about:blank"}, browser=True)["targetId"]
        self.session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True},
                                 browser=True)["sessionId"]
        self.call("Emulation.setDeviceMetricsOverride",
                  {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": True})

    def call(self, method, params=None, browser=False, timeout=30):
        self.next_id += 1
        msg = {"id": self.next_id, "method": method, "params": params or {}}
        if not browser:
            msg["sessionId"] = self.session
        self.ws.send(json.dumps(msg))
        deadline = time.time() + timeout
        while time.time() < deadline:
            reply = json.loads(self.ws.recv())
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply.get("result", {})
            if "method" in reply:
                self.events.append(reply)
        raise TimeoutError(method)

    def wait_event(self, method, timeout=30):
        for e in self.events:
            if e["method"] == method:
                return e
        deadline = time.time() + timeout
        while time.time() < deadline:
            e = json.loads(self.ws.recv())
            if "method" in e:
                self.events.append(e)
                if e["method"] == method:
                    return e
        raise TimeoutError(method)

    def evaluate(self, expression, timeout=30):
        r = self.call("Runtime.evaluate", {"expression": expression, "awaitPromise": True,
                                           "returnByValue": True}, timeout=timeout)
        if "exceptionDetails" in r:
            raise RuntimeError("page evaluation failed: " + json.dumps(r["exceptionDetails"])[:500])
        return r["result"].get("value")

    def close(self):
        if getattr(self, "ws", None):
            self.ws.close()
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        shutil.rmtree(self.profile, ignore_errors=True)
