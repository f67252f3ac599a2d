"""What every subcommand shares: the command's name and its one-line error."""

PROG = "vexatvm"


class CliError(Exception):
    """A bad input or failed run, reported as one line on stderr."""
