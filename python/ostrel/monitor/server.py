"""The monitor's web server (the standard library's): the page, ``/stats`` (the latest figures as
JSON) and ``/events`` (server-sent events, one message of figures at least twice a second).

It listens on 127.0.0.1 only. Each client is served from its own thread, and a client that leaves
ends only its own thread: the reading never waits for a client.
"""

from __future__ import annotations

import http.server
import json
import socketserver
import threading
import time
from typing import Any

from ostrel.monitor import page

EVENT_EVERY_S = 0.25
GAP_S = 0.25


class Hub:
    """The latest figures, handed from the reading thread to the server's threads. The JSON text is
    made once per version, by the first client that asks for it."""

    def __init__(self) -> None:
        self.changed = threading.Condition()
        self.version = 0
        self.figures: dict[str, Any] = {}
        self._text: tuple[int, bytes] | None = None
        self.closing = False

    def publish(self, figures: dict[str, Any]) -> None:
        with self.changed:
            self.figures = figures
            self.version += 1
            self.changed.notify_all()

    def text(self) -> bytes:
        with self.changed:
            version, figures = self.version, self.figures
            if self._text is not None and self._text[0] == version:
                return self._text[1]
        text = json.dumps(figures, separators=(",", ":")).encode()
        with self.changed:
            self._text = (version, text)
        return text

    def wait(self, version: int, timeout: float) -> int:
        with self.changed:
            if self.version == version and not self.closing:
                self.changed.wait(timeout)
            return self.version

    def close(self) -> None:
        with self.changed:
            self.closing = True
            self.changed.notify_all()


class _Handler(http.server.BaseHTTPRequestHandler):
    server: "_Server"
    protocol_version = "HTTP/1.1"

    def log_message(self, format: str, *args: Any) -> None:  # the console is the user's
        pass

    def _send(self, body: bytes, content_type: str, status: int = 200) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self) -> None:
        path = self.path.split("?", 1)[0]
        try:
            if path == "/stats":
                self._send(self.server.hub.text(), "application/json")
            elif path == "/events":
                self._events()
            elif path in page.SERVED:
                name, content_type = page.SERVED[path]
                self._send(page.static(name), content_type)
            else:
                self._send(b"not found\n", "text/plain", 404)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the page was closed

    def _events(self) -> None:
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-store")
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        hub = self.server.hub
        version = -1
        while not hub.closing:
            self.wfile.write(b"data: " + hub.text() + b"\n\n")
            self.wfile.flush()
            # New figures are sent at once, but at most every GAP_S; without new ones, the same
            # figures again after EVENT_EVERY_S + GAP_S (the page's clock keeps moving).
            version = hub.wait(version, EVENT_EVERY_S)
            time.sleep(GAP_S)


class _Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, port: int, hub: Hub) -> None:
        self.hub = hub
        super().__init__(("127.0.0.1", port), _Handler)


class Server:
    """Serves `hub` on 127.0.0.1:`port` (0: a free port) from a background thread."""

    def __init__(self, hub: Hub, port: int = 0) -> None:
        self.hub = hub
        self.httpd = _Server(port, hub)
        self.port = self.httpd.server_address[1]
        self.url = f"http://127.0.0.1:{self.port}/"
        self.thread = threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.2},
                                       name="ostrel-monitor-server", daemon=True)
        self.thread.start()

    def close(self) -> None:
        self.hub.close()
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join()
