"""What every subcommand shares: the command's name and its one-line error."""

from vexatvm_internal.errors import InputError

PROG = "vexatvm"


class CliError(InputError):
    """A bad input or failed run, reported as one line on stderr."""
