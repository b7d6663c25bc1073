"""A headless Chromium driven through its DevTools protocol over a pipe
(``--remote-debugging-pipe``): no driver binary, no extra package."""

import base64
import json
import os
import shutil
import subprocess
import tempfile
import time
import zlib


def find_chromium():
    for name in ("chromium", "chromium-browser", "google-chrome", "chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


_SANITIZER_VARIABLES = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")


class Browser:
    def __init__(self, executable, timeout=60):
        self.timeout = timeout
        self.profile = tempfile.mkdtemp(prefix="bitloom-chromium-")
        to_child_r, self._to_child = os.pipe()
        self._from_child, from_child_w = os.pipe()

        def arrange():
            # The protocol pipe is the child's fds 3 (commands) and 4 (replies).
            a, b = os.dup(to_child_r), os.dup(from_child_w)
            os.dup2(a, 3)
            os.dup2(b, 4)

        self.process = subprocess.Popen(
            [
                executable,
                "--headless=new",
                "--remote-debugging-pipe",
                "--no-sandbox",
                "--disable-gpu",
                "--no-first-run",
                "--no-default-browser-check",
                "--disable-extensions",
                "--disable-background-networking",
                "--disable-component-update",
                "--disable-sync",
                "--window-size=1280,900",
                f"--user-data-dir={self.profile}",
                "about:blank",
            ],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            # The browser is not ours to instrument: under the sanitizer
            # build, its runtime preloaded into Chromium only slows it down.
            env={k: v for k, v in os.environ.items() if k not in _SANITIZER_VARIABLES},
            preexec_fn=arrange,
            close_fds=False,
        )
        os.close(to_child_r)
        os.close(from_child_w)
        self._buffer = b""
        self._next = 0
        self.events = []

    def _send(self, method, params=None, session=None):
        self._next += 1
        message = {"id": self._next, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self._to_child, json.dumps(message).encode() + b"\0")
        return self._next

    def _read(self, deadline):
        while b"\0" not in self._buffer:
            if time.monotonic() > deadline:
                raise TimeoutError("no reply from the browser")
            chunk = os.read(self._from_child, 1 << 20)
            if not chunk:
                raise RuntimeError("the browser went away")
            self._buffer += chunk
        message, _, self._buffer = self._buffer.partition(b"\0")
        return json.loads(message)

    def call(self, method, params=None, session=None):
        ident = self._send(method, params, session)
        deadline = time.monotonic() + self.timeout
        while True:
            message = self._read(deadline)
            if message.get("id") == ident:
                if "error" in message:
                    raise RuntimeError(f"{method}: {message['error']}")
                return message.get("result", {})
            self.events.append(message)

    def wait_for(self, method, deadline_seconds=None):
        deadline = time.monotonic() + (deadline_seconds or self.timeout)
        for message in self.events:
            if message.get("method") == method:
                return message
        while True:
            message = self._read(deadline)
            self.events.append(message)
            if message.get("method") == method:
                return message

    def open(self, url):
        """A new page at ``url``, loaded; returns its session."""
        target = self.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        for domain in ("Page", "Runtime", "Log", "Network"):
            self.call(f"{domain}.enable", session=session)
        self.events.clear()
        self.call("Page.navigate", {"url": url}, session=session)
        self.wait_for("Page.loadEventFired")
        return session

    def evaluate(self, session, expression):
        result = self.call(
            "Runtime.evaluate", {"expression": expression, "returnByValue": True, "awaitPromise": True}, session=session
        )
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def screenshot(self, session, full_page=False):
        params = {"format": "png", "captureBeyondViewport": full_page}
        return base64.b64decode(self.call("Page.captureScreenshot", params, session=session)["data"])

    def problems(self):
        """Console errors, uncaught exceptions and log errors seen so far."""
        out = []
        for m in self.events:
            method, params = m.get("method"), m.get("params", {})
            if method == "Runtime.exceptionThrown":
                out.append(params["exceptionDetails"].get("text", "exception"))
            elif method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
                out.append(str(params.get("args")))
            elif method == "Log.entryAdded" and params["entry"].get("level") == "error":
                out.append(params["entry"].get("text"))
        return out

    def requests(self):
        return [m["params"]["request"]["url"] for m in self.events if m.get("method") == "Network.requestWillBeSent"]

    def close(self):
        try:
            self._send("Browser.close")
            self.process.wait(timeout=10)
        except Exception:
            self.process.kill()
            self.process.wait()
        os.close(self._to_child)
        os.close(self._from_child)
        shutil.rmtree(self.profile, ignore_errors=True)


def png_ink(png):
    """The share of a PNG's pixel bytes that are not white (0 for a blank
    page); decodes only what that needs."""
    assert png[:8] == b"\x89PNG\r\n\x1a\n"
    at, data, width = 8, b"", 0
    while at < len(png):
        length = int.from_bytes(png[at : at + 4], "big")
        kind = png[at + 4 : at + 8]
        body = png[at + 8 : at + 8 + length]
        if kind == b"IHDR":
            width = int.from_bytes(body[:4], "big")
            channels = {2: 3, 6: 4}[body[9]]
        elif kind == b"IDAT":
            data += body
        at += 12 + length
    raw = zlib.decompress(data)
    stride = 1 + width * channels
    rows = len(raw) // stride
    # Filtered bytes: row filter "none" or "sub" keeps runs of 255 or 0 on white;
    # count bytes that are neither, which only ink produces.
    ink = sum(1 for r in range(rows) for b in raw[r * stride + 1 : (r + 1) * stride] if b not in (0, 255))
    return ink / max(1, rows * (stride - 1))
