"""Models: built-in examples and model files, and the input shapes fixed at import."""

import contextlib
import warnings

from .common import CliError


@contextlib.contextmanager
def _frontend_warnings(verbose):
    """The warnings of the frontends (the ONNX checker's, many lines each),
    shown only when verbose: the command's errors say what matters in one line."""
    with warnings.catch_warnings():
        if not verbose:
            warnings.simplefilter("ignore")
        yield


def example_names():
    from vexatvm_internal.examples_catalogue import CATALOGUE  # pylint: disable=import-outside-toplevel

    return list(CATALOGUE)


def load_model(model, input_shapes=None, verbose=False, dims=None):
    """(module, params, default tables, label, axis names) of a built-in
    example or a model file; the default tables are None for a file (picked
    from its graph), the axis names those the file gives (see reader.Model)."""
    from vexatvm_internal import examples  # pylint: disable=import-outside-toplevel
    from vexatvm_internal.flow import reader  # pylint: disable=import-outside-toplevel

    if model in examples.EXAMPLES:
        if input_shapes or dims:
            raise CliError(f"{model}: a built-in example has fixed input shapes")
        mod, params, tables = examples.load_example(model)
        return mod, params, tables, f"{model} (built-in example)", {}
    try:
        with _frontend_warnings(verbose):
            read = reader.read_model(model, input_shapes=input_shapes, dims=dims)
    except FileNotFoundError:
        known = ", ".join(examples.EXAMPLES)
        raise CliError(f"cannot read {model}: No such file (built-in examples: {known})") from None
    except (ImportError, ValueError, OSError) as err:
        raise CliError(str(err) or type(err).__name__) from None
    return read.mod, read.params, None, model, read.axis_names


def load_onnx(path, freeze_params=True, verbose=False):
    """(module, params) of an ONNX model, through TVM's ONNX frontend."""
    from vexatvm_internal.flow import reader  # pylint: disable=import-outside-toplevel

    try:
        with _frontend_warnings(verbose):
            return reader.load_onnx(path, freeze_params=freeze_params)
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


def parse_dims(items):
    """{axis name: size} of --dim NAME=VALUE arguments."""
    dims: dict[str, int] = {}
    for item in items or ():
        name, sep, value = item.partition("=")
        name = name.strip()
        try:
            size = int(value)
        except ValueError:
            size = 0
        if not sep or not name or size < 1:
            raise CliError(f"--dim {item!r}: expected NAME=VALUE, VALUE a whole number from 1 (for example batch=1)")
        if dims.get(name, size) != size:
            raise CliError(f"--dim {name} given twice, as {dims[name]} and {size}")
        dims[name] = size
    return dims
