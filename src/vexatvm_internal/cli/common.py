"""What the commands share: errors, architectures, model files, status lines and output files."""

import ctypes
import os
import re
import sys
import tempfile

import yaml

PROG = "vexatvm"


# Native status codes of ArchqueryParameter_Py, as libvexakov's header names them.
_NATIVE_STATUS = {
    1: "a required pointer was NULL",
    2: "the architecture text is too large",
    3: "the architecture text is not a valid description",
    4: "unknown architecture",
    5: "unknown parameter",
    6: "the value does not fit the result buffer",
    7: "internal error in libvexakov",
}


class CliError(Exception):
    """A bad input or failed run, reported as one line on stderr."""


def _native():
    # archquery declares argtypes/restype on the shared handle when imported.
    from vexatvm_internal import _libbind, archquery  # noqa: F401  pylint: disable=import-outside-toplevel

    return _libbind._cpp_lib  # pylint: disable=protected-access


def native_parameter(arch_text, name):
    """Query one parameter with a buffer as large as the answer needs.
    Returns (status, value text or None)."""
    lib = _native()
    size = 256
    while True:
        buf = ctypes.create_string_buffer(size)
        status = lib.ArchqueryParameter_Py(arch_text.encode(), name.encode(), buf, size)
        if status == 6 and size < 1 << 20:
            size *= 16
            continue
        return status, (buf.value.decode() if status == 0 else None)


def require_parameter(arch_text, name, what):
    status, value = native_parameter(arch_text, name)
    if status != 0:
        reason = _NATIVE_STATUS.get(status, f"status {status}")
        raise CliError(f"{what}: {reason}")
    return value


def _split(text):
    return [item for item in text.split(",") if item]


def builtin_architectures():
    return _split(require_parameter(yaml.safe_dump({}), "builtin_architectures", "listing architectures"))


def describe(arch_text, what):
    """{parameter: value text} of one architecture, operators included."""
    params = _split(require_parameter(arch_text, "parameters", what))
    result = {name: require_parameter(arch_text, name, f"{what}, parameter {name!r}") for name in params}
    result["operators"] = require_parameter(arch_text, "operators", what)
    return result


def load_arch(name=None, arch_file=None):
    """(label, arch value for BuildConfig, architecture text) of a built-in
    name or a YAML description file; None when neither is given. The text is
    what the pattern checks pass to libvexakov, and it is validated here."""
    if arch_file is not None:
        try:
            with open(arch_file, encoding="utf-8") as stream:
                description = yaml.safe_load(stream)
        except OSError as err:
            raise CliError(f"cannot read {arch_file}: {err.strerror}") from None
        except yaml.YAMLError as err:
            first = str(err).splitlines()[0] if str(err) else type(err).__name__
            raise CliError(f"malformed YAML in {arch_file}: {first}") from None
        if not isinstance(description, dict):
            raise CliError(f"{arch_file}: an architecture description must be a mapping")
        # A whole build configuration names or holds the architecture under "arch".
        arch = description["arch"] if "arch" in description else description
        label, text = arch_file, yaml.safe_dump(description)
    elif name is not None:
        known = builtin_architectures()
        if name not in known:
            raise CliError(f"unknown architecture {name!r} (built-in: {', '.join(known)})")
        label, arch, text = name, name, yaml.safe_dump({"arch": name})
    else:
        return None
    require_parameter(text, "parameters", label)
    return label, arch, text


def load_model(model, input_shapes=None):
    """(module, params, default tables, label) of a built-in example or a
    model file; the default tables are None for a file (picked from its graph)."""
    from vexatvm_internal import examples, loading  # pylint: disable=import-outside-toplevel

    if model in examples.EXAMPLES:
        if input_shapes:
            raise CliError(f"{model}: a built-in example has fixed input shapes")
        mod, params, tables = examples.load_example(model)
        return mod, params, tables, f"{model} (built-in example)"
    try:
        mod, params = loading.load_model(model, input_shapes=input_shapes)
    except FileNotFoundError:
        known = ", ".join(examples.EXAMPLES)
        raise CliError(f"cannot read {model}: No such file (built-in examples: {known})") from None
    except (ImportError, ValueError, OSError) as err:
        raise CliError(str(err) or type(err).__name__) from None
    return mod, params, None, model


def load_onnx(path, freeze_params=True):
    """(module, params) of an ONNX model, through TVM's ONNX frontend."""
    from vexatvm_internal import loading  # pylint: disable=import-outside-toplevel

    try:
        return loading.load_onnx(path, freeze_params=freeze_params)
    except (ImportError, ValueError, OSError) as err:
        raise CliError(str(err) or type(err).__name__) from None


def parse_input_shapes(items):
    """{name: shape} of --input-shape NAME=D1,D2,... arguments."""
    shapes = {}
    for item in items or ():
        name, sep, dims = item.rpartition("=")
        try:
            shape = tuple(int(dim) for dim in dims.split(",")) if dims.strip() else ()
        except ValueError:
            shape = None
        if not sep or not name or shape is None or any(dim < 0 for dim in shape):
            raise CliError(f"--input-shape {item!r}: expected NAME=D1,D2,... (for example data=1,3,224,224)")
        shapes[name] = shape
    return shapes


class Status:
    """One status line on stderr while the command works, on a terminal only.
    It writes to its own copy of the terminal, which a hold on TVM's log
    output does not catch."""

    def __init__(self, enabled):
        self.enabled = False
        try:
            if enabled and sys.stderr.isatty():
                self.stream = open(os.dup(sys.stderr.fileno()), "w", encoding="utf-8")  # pylint: disable=consider-using-with
                self.enabled = True
        except (OSError, ValueError, AttributeError):
            pass

    def show(self, text):
        if self.enabled:
            self.stream.write(f"\r\033[K{PROG}: {text}...")
            self.stream.flush()

    def clear(self):
        if self.enabled:
            self.stream.write("\r\033[K")
            self.stream.flush()


class HeldTvmLog:
    """Holds back the layout-conversion warnings TVM's C++ code writes to
    file descriptor 2 while the graph is prepared; every other line it wrote
    is passed on. ``release`` (idempotent) ends the hold."""

    NOISE = "Desired layout(s) not specified for op"

    def __init__(self, hold):
        self.hold = hold
        self.saved = self.file = None

    def __enter__(self):
        if self.hold:
            try:
                sys.stderr.flush()
                self.file = tempfile.TemporaryFile()
                self.saved = os.dup(2)
                os.dup2(self.file.fileno(), 2)
            except OSError:  # no descriptor 2 to hold: show everything
                self.saved = None
        return self

    def release(self):
        if self.saved is None:
            return
        os.dup2(self.saved, 2)
        os.close(self.saved)
        self.saved = None
        self.file.seek(0)
        text = self.file.read().decode(errors="replace")
        self.file.close()
        kept = [line for line in text.splitlines(keepends=True) if self.NOISE not in line]
        if kept:
            sys.stderr.write("".join(kept))

    def __exit__(self, *exc):
        self.release()


def require_writable(path):
    """Fail before any work when an output file could not be written."""
    if path is None:
        return
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise CliError(f"cannot write {path}: No such directory")
    if not os.access(directory, os.W_OK) or os.path.isdir(path):
        raise CliError(f"cannot write {path}: Permission denied or a directory")


def example_names():
    from vexatvm_internal.examples_catalogue import CATALOGUE  # pylint: disable=import-outside-toplevel

    return list(CATALOGUE)


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


def error_message(err):
    """One line for any failure. Never a traceback: the native library not
    found, TVM failing in a pass, or a fault of ours, all end as one line."""
    lines = [line.strip() for line in str(err).splitlines() if line.strip()]
    from_tvm = type(err).__module__.startswith("tvm")
    message = (lines[-1] if from_tvm else lines[0]) if lines else type(err).__name__
    if not isinstance(err, (RuntimeError, OSError)):
        message = f"{type(err).__name__}: {message}"
    return message
