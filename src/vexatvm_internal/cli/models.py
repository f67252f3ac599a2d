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


def load_model(model, input_shapes=None, verbose=False):
    """(module, params, default tables, label) of a built-in example or a
    model file; the default tables are None for a file (picked from its graph)."""
    from vexatvm_internal import examples  # pylint: disable=import-outside-toplevel
    from vexatvm_internal.flow import reader  # pylint: disable=import-outside-toplevel

    if model in examples.EXAMPLES:
        if input_shapes:
            raise CliError(f"{model}: a built-in example has fixed input shapes")
        mod, params, tables = examples.load_example(model)
        return mod, params, tables, f"{model} (built-in example)"
    try:
        with _frontend_warnings(verbose):
            mod, params = reader.load_model(model, input_shapes=input_shapes)
    except FileNotFoundError:
        known = ", ".join(examples.EXAMPLES)
        raise CliError(f"cannot read {model}: No such file (built-in examples: {known})") from None
    except (ImportError, ValueError, OSError) as err:
        raise CliError(str(err) or type(err).__name__) from None
    return mod, params, None, model


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
