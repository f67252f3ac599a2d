"""An error reduced to one line, for the partition flow and the command alike.
It imports nothing, so the command's light subcommands stay free of TVM."""

__all__ = ["InputError", "error_line", "first_line", "error_message", "is_internal"]


class InputError(Exception):
    """A fault of what the user gave (a file, an argument, a description), as opposed to one of ours."""


def _lines(err: BaseException) -> list[str]:
    return [line.strip() for line in str(err).splitlines() if line.strip()]


def error_line(err: BaseException) -> str:
    """The line of an error message that says what went wrong."""
    lines = _lines(err)
    # TVM errors end with the message after a traceback.
    return lines[-1] if lines else type(err).__name__


def first_line(err: BaseException) -> str:
    """The first line of an error message, for errors that start with what went wrong."""
    lines = _lines(err)
    return lines[0] if lines else type(err).__name__


def is_internal(err: BaseException) -> bool:
    """Whether a failure is a fault of ours: neither the input's, nor the
    machine's (files, memory, the native library, the packages installed),
    nor one TVM reported."""
    return not (isinstance(err, (InputError, OSError, MemoryError, RuntimeError, ImportError))
                or type(err).__module__.startswith("tvm"))


def error_message(err: BaseException) -> str:
    """One line for any failure. Never a traceback: the native library not
    found, TVM failing in a pass, or a fault of ours, all end as one line;
    a fault of ours says so."""
    from_tvm = type(err).__module__.startswith("tvm")
    message = error_line(err) if from_tvm else first_line(err)
    if not isinstance(err, (RuntimeError, OSError, InputError)):
        message = f"{type(err).__name__}: {message}"
    if is_internal(err):
        message = f"internal error, a fault of vexatvm and not of the input: {message} (--verbose shows where)"
    return message
