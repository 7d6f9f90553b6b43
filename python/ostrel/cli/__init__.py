"""The ``ostrel`` command line: ``python -m ostrel COMMAND ...`` (also the ``ostrel`` script).

One module per command in this package, each with ``HELP``, ``add_arguments(parser)`` and
``run(args) -> int``; ``COMMANDS`` below is the registry and the order ``--help`` lists them in.
Library modules (``ostrel.replay``, ``ostrel.synth`` ...) never import this package.

Every command refuses bad arguments and unreadable inputs with one line on stderr and a non-zero
exit status; tracebacks are for bugs only.
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys
from typing import NoReturn, Sequence

from ostrel.cli.common import CommandError, message_of

COMMANDS = ["inspect", "convert", "replay", "synth", "decode", "monitor", "demo"]


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: {message}\n")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="ostrel", description="QSSF syndrome streams and their decoding.")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True
    for name in COMMANDS:
        command = importlib.import_module(f"ostrel.cli.{name}")
        p = sub.add_parser(name, help=command.HELP, description=command.HELP)
        command.add_arguments(p)
        p.set_defaults(run=command.run)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        status = int(args.run(args) or 0)
        sys.stdout.flush()  # a reader that has gone away shows here, not at exit
        return status
    except BrokenPipeError:
        # The reader of our output left (`| head`): stop quietly, as Unix tools do, with nothing
        # more to flush at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return 141  # 128 + SIGPIPE, the status a tool killed by the signal reports
    except CommandError as e:
        print(f"ostrel {args.command}: {e}", file=sys.stderr)
        return 2
    except (OSError, ValueError) as e:  # unreadable or malformed input: the message says which
        print(f"ostrel {args.command}: {message_of(e)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
