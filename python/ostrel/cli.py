"""The ``ostrel`` command line: ``python -m ostrel COMMAND ...``."""

from __future__ import annotations

import argparse
import sys
from typing import Callable, Sequence

# Each command module adds itself here: name -> (help, add_arguments, run).
Command = tuple[str, Callable[[argparse.ArgumentParser], None], Callable[[argparse.Namespace], int]]
COMMANDS: dict[str, Command] = {}


def _load_commands() -> None:
    from ostrel import demo  # noqa: F401  (registers itself)
    from ostrel import replay  # noqa: F401


class CommandError(Exception):
    """A problem with the command's arguments or inputs, reported as one line on stderr."""


def build_parser() -> argparse.ArgumentParser:
    _load_commands()
    parser = argparse.ArgumentParser(prog="ostrel", description="QSSF syndrome streams and their decoding.")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True
    for name, (help_text, add_arguments, run) in COMMANDS.items():
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
    except OSError as e:
        print(f"ostrel {args.command}: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
