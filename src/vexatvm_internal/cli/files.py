"""Output files: checked before any work, written whole or not at all."""

import os
import re
import tempfile

from .common import CliError


def require_writable(path):
    """Fail before any work when an output file could not be written."""
    if path is None:
        return
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise CliError(f"cannot write {path}: No such directory")
    if not os.access(directory, os.W_OK) or os.path.isdir(path):
        raise CliError(f"cannot write {path}: Permission denied or a directory")


# What Relay's text parser reads back as a variable name.
_RELAY_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_.]*|[0-9]+")


def write_module(path, mod):
    """Write mod as Relay text, or with tvm.ir.save_json to a .json path,
    which load_model reads back either way. Names that Relay text cannot
    carry (TFLite's "input:0", say) ask for JSON instead."""
    import tvm  # pylint: disable=import-outside-toplevel

    if path.endswith(".json"):
        _write_atomically(path, tvm.ir.save_json(mod))
        return
    unreadable = [p.name_hint for p in mod["main"].params if not _RELAY_NAME.fullmatch(p.name_hint)]
    if unreadable:
        raise CliError(f"cannot write {path} as Relay text: the input name {unreadable[0]!r} would not read back; "
                       f"write JSON instead (a path ending in .json)")
    _write_atomically(path, mod.astext(show_meta_data=True))


def _write_atomically(path, text):
    """Write text to path, leaving no partial file behind on failure."""
    directory = os.path.dirname(os.path.abspath(path))
    try:
        fd, tmp = tempfile.mkstemp(prefix=".vexatvm-", dir=directory)
    except OSError as err:
        raise CliError(f"cannot write {path}: {err.strerror}") from None
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as stream:
            stream.write(text)
        os.replace(tmp, path)
    except OSError as err:
        os.unlink(tmp)
        raise CliError(f"cannot write {path}: {err.strerror}") from None
    except BaseException:
        os.unlink(tmp)
        raise
