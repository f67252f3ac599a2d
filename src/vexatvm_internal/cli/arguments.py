"""Parsed arguments written back as the command line that parses to them."""

import argparse
from typing import Any

__all__ = ["command_line"]


def command_line(parser: argparse.ArgumentParser, args: argparse.Namespace) -> list[str]:
    """The words ``parser`` parses into ``args``: every argument whose value
    differs from its default, options first, then "--" and the positionals,
    so that a new flag of the parser is carried without naming it here."""
    options: list[str] = []
    positionals: list[str] = []
    for action in parser._actions:  # pylint: disable=protected-access  # argparse lists them nowhere else
        value = getattr(args, action.dest, action.default)
        if value == action.default:
            continue
        if action.option_strings:
            options += _option_words(action, value)
        else:
            positionals += _value_words(value, action.nargs)
    return options + (["--"] + positionals if positionals else [])


def _option_words(action: argparse.Action, value: Any) -> list[str]:
    flag = _long_flag(action)
    if isinstance(action, argparse.BooleanOptionalAction):
        return [next(s for s in action.option_strings if s.startswith("--no-") != bool(value))]
    if isinstance(action, argparse._CountAction):  # pylint: disable=protected-access
        return [flag] * (value - (action.default or 0))
    if isinstance(action, argparse._AppendConstAction):  # pylint: disable=protected-access
        return [flag] * (len(value) - len(action.default or ()))
    if action.nargs == 0:  # store_true, store_false, store_const
        return [flag]
    if isinstance(action, argparse._ExtendAction):  # pylint: disable=protected-access
        return [flag] + [str(item) for item in value[len(action.default or ()):]]
    if isinstance(action, argparse._AppendAction):  # pylint: disable=protected-access
        # Appending adds to a copy of the default: write back only what was added.
        return [word for item in value[len(action.default or ()):] for word in _valued(flag, item, action)]
    return _valued(flag, value, action)


def _valued(flag: str, value: Any, action: argparse.Action) -> list[str]:
    """One occurrence of an option that takes values."""
    if action.nargs == "?" and value == action.const:
        return [flag]
    if action.nargs in (None, "?"):
        # Joined to a long flag, a value starting with "-" is not read as an option.
        return [f"{flag}={value}"] if flag.startswith("--") else [flag, str(value)]
    return [flag] + _value_words(value, action.nargs)


def _value_words(value: Any, nargs: Any) -> list[str]:
    return [str(value)] if nargs in (None, "?") else [str(item) for item in value]


def _long_flag(action: argparse.Action) -> str:
    return next((s for s in action.option_strings if s.startswith("--")), action.option_strings[0])
