"""Output files: checked before any work, written whole or not at all."""

import os
import tempfile

from . import interrupts
from .common import CliError


# Suffixes our readers take for something other than Relay: a module written
# there would not read back.
_NOT_RELAY = (".onnx", ".tflite", ".params", ".pt", ".pth")


def require_writable(path):
    """Fail before any work when an output file could not be written."""
    if path is None:
        return
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise CliError(f"cannot write {path}: No such directory")
    if not os.access(directory, os.W_OK) or os.path.isdir(path):
        raise CliError(f"cannot write {path}: Permission denied or a directory")


def require_module_path(path):
    """Fail before any work when -o names a file our readers would take for another format."""
    if path is not None and path.lower().endswith(_NOT_RELAY):
        raise CliError(f"cannot write {path}: the module is written as Relay text, or as tvm.ir.save_json to a "
                       "path ending in .json; choose a .relay or .json path")


def _same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.realpath(a) == os.path.realpath(b)


def inputs_of(model):
    """The files a model argument reads: the file itself and, for a Relay
    module, the .params beside it."""
    if not os.path.exists(model):
        return []
    files = [model]
    if not model.endswith((".onnx", ".tflite")):
        files.append(os.path.splitext(model)[0] + ".params")
    return files


def require_apart(outputs, inputs):
    """Fail before any work when an output would overwrite an input, or another output."""
    outputs = [(flag, path) for flag, path in outputs if path is not None]
    for index, (flag, path) in enumerate(outputs):
        for source in inputs:
            if source is not None and _same_file(path, source):
                raise CliError(f"cannot write {path}: {flag} names the input {source}, which would be lost; "
                               "choose another output path")
        for other_flag, other in outputs[:index]:
            if _same_file(path, other):
                raise CliError(f"cannot write {path}: {other_flag} and {flag} name the same file")


def write_module(path, mod, params=None):
    """Write mod as Relay text, or with tvm.ir.save_json to a .json path,
    which load_model reads back either way, with the names of main's
    inputs that Relay text cannot carry escaped reversibly. ``params`` are written in the
    module, as constants, so the file holds the weights and reads back
    alone."""
    import tvm  # pylint: disable=import-outside-toplevel

    if params:
        from tvm.relay.build_module import bind_params_by_name  # pylint: disable=import-outside-toplevel

        mod = mod.clone()
        mod["main"] = bind_params_by_name(mod["main"], dict(params))
    if path.endswith(".json"):
        _write_atomically(path, tvm.ir.save_json(mod))
        return
    from vexatvm_internal.flow.reader import rename_inputs, text_name  # pylint: disable=import-outside-toplevel

    _write_atomically(path, rename_inputs(mod, text_name).astext(show_meta_data=True))


def _mode_for(path):
    """The mode a written file gets: that of the file it replaces, else what
    the user's umask gives a new file."""
    try:
        return os.stat(path).st_mode & 0o7777
    except OSError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask


def _write_atomically(path, text):
    """Write text to path, leaving no partial file behind on failure."""
    directory = os.path.dirname(os.path.abspath(path))
    try:
        fd, tmp = tempfile.mkstemp(prefix=".vexatvm-", dir=directory)
    except OSError as err:
        raise CliError(f"cannot write {path}: {err.strerror}") from None
    interrupts.unlink_on_forced_exit.add(tmp)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as stream:
            stream.write(text)
        os.chmod(tmp, _mode_for(path))
        os.replace(tmp, path)
    except OSError as err:
        os.unlink(tmp)
        raise CliError(f"cannot write {path}: {err.strerror}") from None
    except BaseException:
        os.unlink(tmp)
        raise
    finally:
        interrupts.unlink_on_forced_exit.discard(tmp)
