"""The ``replay`` command: serve a QSSF file over TCP as a control system would, or publish it
into a shared-memory ring (``--shm NAME``) for a consumer written in C."""

from __future__ import annotations

import argparse
import math
import socket

from ostrel import qssf
from ostrel.cli.common import CommandError
from ostrel.replay import ReplayServer, serve


def _add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("file", metavar="FILE", help="the QSSF file to serve")
    p.add_argument("--port", metavar="P", default=None,
                   help="TCP port to listen on (0 picks a free one; the port is printed)")
    p.add_argument("--rate", metavar="FPS", default=None, help="frames per second (default: as fast as possible)")
    p.add_argument("--loop", action="store_true", help="repeat the frames until the client leaves, ids kept rising")
    p.add_argument("--host", default=None, help="address to listen on (default 127.0.0.1)")
    p.add_argument("--stamp-time", action="store_true",
                   help="set each frame's timestamp_ns to the wall-clock time it is sent")
    p.add_argument("--shm", metavar="NAME", default=None,
                   help="publish into the shared-memory ring NAME (read from C with ostrel_shm_open) instead of TCP")


def _port_value(text: str) -> int:
    try:
        port = int(text, 10)
    except ValueError:
        port = -1
    if not 0 <= port <= 65535:
        raise CommandError(f"invalid port {text!r}: expected a number from 0 to 65535")
    return port


def _rate_value(text: str | None) -> float | None:
    if text is None:
        return None
    try:
        rate = float(text)
    except ValueError:
        rate = math.nan
    if not (math.isfinite(rate) and rate > 0):
        raise CommandError(f"invalid rate {text!r}: expected a positive number of frames per second")
    return rate


def _publish(args: argparse.Namespace, rate: float | None) -> int:
    from ostrel import shm_ring

    if args.loop or args.stamp_time:
        raise CommandError("--loop and --stamp-time are for TCP; with --shm the file is published once as it is")

    def announce(ring: shm_ring.RingWriter) -> None:
        print(f"publishing to shm://{ring.name}", flush=True)

    try:
        sent = shm_ring.publish(args.file, args.shm, rate, ready=announce)
    except shm_ring.LibraryNotFound as e:
        raise CommandError(str(e)) from None
    except OSError as e:
        raise CommandError(f"{args.file}: {e.strerror}" if e.filename else str(e)) from None
    except ValueError as e:
        raise CommandError(str(e)) from None
    print(f"published {sent} frames", flush=True)
    return 0


def check_qssf(path: str) -> None:
    """Refuses, before anything listens, a file that does not begin as a QSSF stream does."""
    try:
        with open(path, "rb") as f:
            head = f.read(qssf.STREAM_HEADER_LEN)
    except OSError as e:
        raise CommandError(f"{path}: {e.strerror or e}") from None
    # An empty or cut header is a stream without frames, served as it is; bytes that cannot begin a
    # stream are refused.
    magic = qssf.stream_header()[:4]
    try:
        if len(head) >= qssf.STREAM_HEADER_LEN:
            qssf.parse_stream_header(head)
        elif head[:4] != magic[:len(head)]:
            raise ValueError(f"invalid QSSF magic bytes: expected {magic.hex()}, found {head[:4].hex()}")
    except ValueError as e:
        raise CommandError(f"{path} is not a QSSF file: {e}") from None


def run(args: argparse.Namespace) -> int:
    for option, value in (("--port", args.port), ("--host", args.host)):
        if args.shm is not None and value is not None:
            raise CommandError(f"{option} is for TCP; with --shm the frames go into the ring, not to a socket")
    args.host = args.host or "127.0.0.1"
    port = _port_value(args.port or "0")
    rate = _rate_value(args.rate)
    check_qssf(args.file)
    if args.shm is not None:
        return _publish(args, rate)

    def report(line: str) -> None:
        print(line, flush=True)

    def announce(server: ReplayServer) -> None:
        print(f"listening on {server.address}", flush=True)

    try:
        serve(args.file, port, rate, args.loop, args.host, stamp_time=args.stamp_time, ready=announce,
              report=report)
    except socket.gaierror as e:
        raise CommandError(f"cannot listen on {args.host!r}: {e.strerror}") from None
    except OSError as e:
        where = args.file if e.filename else f"{args.host}:{port}"
        raise CommandError(f"{where}: {e.strerror or e}") from None
    return 0


HELP = "Serve a QSSF file over TCP as a control system would, or publish it into a shared-memory ring."
add_arguments = _add_arguments
