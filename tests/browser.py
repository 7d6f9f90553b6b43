"""A headless Chromium driven over its DevTools pipe (JSON messages ending in NUL on the child's
file descriptors 3 and 4), enough to load a page, evaluate JavaScript in it and take a
screenshot, with the standard library only."""

from __future__ import annotations

import base64
import json
import os
import shutil
import subprocess
import tempfile
import time
from typing import Any

NAMES = ("chromium", "chromium-browser", "google-chrome")
# Debian's /usr/bin/chromium is a shell script that loses descriptors 3 and 4: run the binary.
BINARIES = ("/usr/lib/chromium/chromium",)


def find() -> str | None:
    found = [path for path in BINARIES if os.access(path, os.X_OK)] + [p for p in map(shutil.which, NAMES) if p]
    return found[0] if found else None


class Browser:
    def __init__(self, executable: str, width: int = 1400, height: int = 1500) -> None:
        self._profile = tempfile.mkdtemp(prefix="ostrel-chromium-")
        to_child, self._write = os.pipe()
        self._read, from_child = os.pipe()

        def fds_3_and_4() -> None:  # in the child, before exec; dup2 makes them inheritable
            a, b = os.dup(to_child), os.dup(from_child)
            os.dup2(a, 3)
            os.dup2(b, 4)

        self.proc = subprocess.Popen(
            [executable, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
             "--remote-debugging-pipe", f"--window-size={width},{height}", "--no-first-run",
             f"--user-data-dir={self._profile}",
             "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            # Not under the sanitizers' runtime the test process may have been started with.
            env={k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")},
            preexec_fn=fds_3_and_4, close_fds=False)  # pipes are not inherited, but 3 and 4 must be
        os.close(to_child)
        os.close(from_child)
        self._buffer = b""
        self._id = 0
        self.session: str | None = None

    def call(self, method: str, params: dict | None = None, timeout: float = 30.0, session: bool = True) -> Any:
        self._id += 1
        message: dict[str, Any] = {"id": self._id, "method": method, "params": params or {}}
        if session and self.session:
            message["sessionId"] = self.session
        os.write(self._write, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            while b"\0" not in self._buffer:
                if time.monotonic() > deadline:
                    raise TimeoutError(f"no answer to {method}")
                chunk = os.read(self._read, 1 << 20)
                if not chunk:
                    raise RuntimeError("the browser has gone")
                self._buffer += chunk
            raw, self._buffer = self._buffer.split(b"\0", 1)
            answer = json.loads(raw)
            if answer.get("id") == self._id:
                if "error" in answer:
                    raise RuntimeError(f"{method}: {answer['error']}")
                return answer["result"]

    def open(self, url: str) -> None:
        target = self.call("Target.createTarget", {"url": url}, session=False)["targetId"]
        self.session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True},
                                 session=False)["sessionId"]

    def evaluate(self, expression: str) -> Any:
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True})
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def wait_for(self, expression: str, timeout: float = 30.0) -> Any:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                value = self.evaluate(expression)
            except RuntimeError:  # the page is still loading
                value = None
            if value:
                return value
            time.sleep(0.1)
        raise TimeoutError(f"still false after {timeout} s: {expression}")

    def screenshot(self) -> bytes:
        return base64.b64decode(self.call("Page.captureScreenshot", {"format": "png"})["data"])

    def close(self) -> None:
        try:
            self.call("Browser.close", session=False, timeout=5)
        except (RuntimeError, TimeoutError, OSError):
            pass
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        os.close(self._write)
        os.close(self._read)
        shutil.rmtree(self._profile, ignore_errors=True)

    def __enter__(self) -> "Browser":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
