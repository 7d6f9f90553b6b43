"""The ``ostrel`` command line: ``python -m ostrel COMMAND ...`` (also the ``ostrel`` script).

Every command refuses bad arguments and unreadable inputs with one line on stderr and a non-zero
exit status; tracebacks are for bugs only.
"""

from __future__ import annotations

import argparse
import sys
from typing import Callable, NoReturn, Sequence

# Each command module adds itself here: name -> (help, add_arguments, run).
Command = tuple[str, Callable[[argparse.ArgumentParser], None], Callable[[argparse.Namespace], int]]
COMMANDS: dict[str, Command] = {}


class CommandError(Exception):
    """A problem with the command's arguments or inputs, reported as one line on stderr."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: {message}\n")


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _load_commands() -> None:
    # Imported for their registration, in the order `--help` lists them.
    from ostrel import commands, demo, replay  # noqa: F401


def build_parser() -> argparse.ArgumentParser:
    _load_commands()
    parser = _Parser(prog="ostrel", description="QSSF syndrome streams and their decoding.")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True
    order = ["inspect", "replay", "synth", "decode", "demo"]
    for name in sorted(COMMANDS, key=lambda n: order.index(n) if n in order else len(order)):
        help_text, add_arguments, run = COMMANDS[name]
        p = sub.add_parser(name, help=help_text, description=help_text)
        add_arguments(p)
        p.set_defaults(run=run)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return int(args.run(args) or 0)
    except CommandError as e:
        print(f"ostrel {args.command}: {e}", file=sys.stderr)
        return 2
    except (OSError, ValueError) as e:  # unreadable or malformed input: the message says which
        print(f"ostrel {args.command}: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
