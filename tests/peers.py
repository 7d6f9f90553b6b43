"""Scripted TCP peers for the stream tests, each in a child process.

A peer in a child process keeps its timing apart from the test's own threads. ``Peer(*scripts)``
starts a child that listens on a loopback port and plays one script per accepted connection, in
order. A script is a list of actions:

    ("send", data)            send the bytes at once
    ("trickle", data, delay)  send them one byte at a time, sleeping `delay` seconds after each
    ("sleep", seconds)
    ("reset",)                close with an RST (SO_LINGER 0) instead of a FIN
    ("hold",)                 keep the connection until the client closes it

After its script a connection is closed normally (if it still is open). The child records how
many bytes each client sent (it must be none) and reports them when it exits; it gives up after
`limit` seconds in any case. ``Peer`` kills it at exit.
"""

from __future__ import annotations

import json
import os
import pickle
import selectors
import signal
import socket
import struct
import subprocess
import sys
import time

HERE = os.path.abspath(__file__)


class Peer:
    def __init__(self, *scripts: list, host: str = "127.0.0.1", limit: float = 30.0) -> None:
        self.proc = subprocess.Popen([sys.executable, HERE], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        try:
            self.proc.stdin.write(pickle.dumps((host, list(scripts), limit)))
            self.proc.stdin.close()
            self.port = int(self._line(limit))
        except BaseException:
            self.kill()
            raise
        self.source = f"tcp://[{host}]:{self.port}" if ":" in host else f"tcp://{host}:{self.port}"

    def _line(self, timeout: float) -> str:
        with selectors.DefaultSelector() as sel:
            sel.register(self.proc.stdout, selectors.EVENT_READ)
            if not sel.select(timeout):
                raise RuntimeError("peer did not start in time")
        return self.proc.stdout.readline().decode().strip()

    def report(self, timeout: float = 20.0) -> dict:
        """Waits for the peer to finish every script; its report (bytes received per connection)."""
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise
        out = self.proc.stdout.read().decode().strip().splitlines()
        assert self.proc.returncode == 0 and out, f"peer failed with exit code {self.proc.returncode}"
        return json.loads(out[-1])

    def kill(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(10)
        self.proc.stdout.close()

    def __enter__(self) -> Peer:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.kill()


def _play(conn: socket.socket, script: list) -> int:
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    received = 0
    for action, *args in script:
        if action == "send":
            conn.sendall(args[0])
        elif action == "trickle":
            data, delay = args
            for i in range(len(data)):
                conn.sendall(data[i:i + 1])
                time.sleep(delay)
        elif action == "sleep":
            time.sleep(args[0])
        elif action == "reset":
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            conn.close()
            return received
        elif action == "hold":
            while chunk := conn.recv(4096):
                received += len(chunk)
        else:
            raise ValueError(f"unknown peer action {action!r}")
    conn.shutdown(socket.SHUT_WR)
    conn.close()
    return received


def _main() -> None:
    host, scripts, limit = pickle.loads(sys.stdin.buffer.read())
    signal.alarm(int(limit) + 1)  # a peer never outlives a hung test by much
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as listener:
        listener.bind((host, 0))
        listener.listen(64)
        print(listener.getsockname()[1], flush=True)
        received = []
        for script in scripts:
            conn, _ = listener.accept()
            received.append(_play(conn, script))
    print(json.dumps({"received": received}), flush=True)


if __name__ == "__main__":
    _main()
