"""Importing model files into Relay: ONNX, TFLite, Relay text, and modules
saved with ``tvm.ir.save_json``."""

import contextlib
import dataclasses
import json
import os
import re
import struct
import warnings
from typing import TYPE_CHECKING

from vexatvm_internal.errors import InputError, error_line, first_line

if TYPE_CHECKING:  # load_model's annotations; TVM is imported only where a model is read
    from collections.abc import Iterator, Mapping, Sequence

    from tvm.ir import IRModule
    from tvm.runtime import NDArray

__all__ = ["load_model", "read_model", "Model", "ModelError", "dynamic_inputs", "dynamic_axes"]


class ModelError(ValueError, InputError):
    """A model file that cannot be imported: unreadable, malformed, or refused by TVM's frontend."""


# Errors TVM's frontends raise on models they cannot import.
_FRONTEND_ERRORS = (ValueError, KeyError, NotImplementedError, AttributeError, IndexError, TypeError,
                    AssertionError, RuntimeError, ArithmeticError, struct.error)


def load_model(path: str, *, input_shapes: "Mapping[str, Sequence[int]] | None" = None,
               dims: "Mapping[str, int] | None" = None) -> "tuple[IRModule, dict[str, NDArray]]":
    """(mod, params) of a model file, as ``vexatvm partition`` imports it.

    ``path`` is an ONNX file (``.onnx``), a TFLite flatbuffer (``.tflite``),
    a TorchScript archive (``.pt``, ``.pth``, or any zip archive that
    ``torch.jit.save`` wrote), a module saved with ``tvm.ir.save_json``
    (``.json``) or a Relay text file (anything else). A
    ``.params`` file beside a JSON or text module (``model.params`` for
    ``model.json``), written with ``tvm.runtime.save_param_dict``, gives its
    params. ``input_shapes`` ({input name: shape}) fixes the shapes of inputs
    at import, as tvmc's ``--input-shapes`` does; an ONNX file is imported
    exactly as ``relay.frontend.from_onnx(onnx.load(path),
    shape=input_shapes, freeze_params=True)`` imports it, a TFLite file as
    ``relay.frontend.from_tflite`` does, but that fully-connected layers with
    per-channel weight scales (the TFLite converter's default) import too.
    A TorchScript file keeps no input shapes: ``input_shapes`` gives every
    input's, by the names ``from_pytorch`` gives them (``input0``, ...) or
    by the names of the module's ``forward`` arguments, and it is imported as
    ``relay.frontend.from_pytorch(torch.jit.load(path), [(name, shape),
    ...])`` imports it. ``dims`` ({axis name: size}) fixes every axis an
    ONNX file names so (its ``dim_param``) in every input.

    Raises FileNotFoundError for a missing file, ImportError when the onnx,
    tflite or torch package is missing, and ModelError (a ValueError) for a
    model that cannot be imported or an input or axis name the model does
    not have.
    """
    model = read_model(path, input_shapes=input_shapes, dims=dims)
    return model.mod, model.params


@dataclasses.dataclass
class Model:
    """A model as read: its module, params, and the names its file gives to
    the axes of its inputs ({input: {axis: name}}; ONNX's ``dim_param``)."""

    mod: "IRModule"
    params: "dict[str, NDArray]"
    axis_names: "dict[str, dict[int, str]]" = dataclasses.field(default_factory=dict)


def read_model(path: str, *, input_shapes: "Mapping[str, Sequence[int]] | None" = None,
               dims: "Mapping[str, int] | None" = None) -> Model:
    """The :class:`Model` of a file, read as :func:`load_model` reads it."""
    _require_file(path)
    input_shapes = None if input_shapes is None else {name: tuple(shape) for name, shape in input_shapes.items()}
    if path.endswith(".onnx"):
        return _read_onnx(path, input_shapes, dims or {})
    if dims:
        raise ModelError(f"{path}: --dim {next(iter(dims))}: the model names no axes (ONNX exports name them; "
                         "fix the shapes of this one with --input-shape)")
    if path.endswith(".tflite"):
        return Model(*load_tflite(path, input_shapes))
    if is_torchscript(path):
        return Model(*load_torchscript(path, input_shapes))
    import tvm  # pylint: disable=import-outside-toplevel

    if path.endswith(".json"):
        try:
            with open(path, encoding="utf-8") as stream:
                text = stream.read()
            _require_saved_module(json.loads(text))
            mod = tvm.ir.load_json(text)
        except RecursionError:
            raise ModelError(f"{path}: not a module saved with tvm.ir.save_json (nested too deeply)") from None
        except (tvm.TVMError, UnicodeDecodeError, ValueError, KeyError, TypeError) as err:
            raise ModelError(f"{path}: not a module saved with tvm.ir.save_json ({error_line(err)})") from None
        if not isinstance(mod, tvm.IRModule):
            raise ModelError(f"{path}: holds a {type(mod).__name__}, not an IRModule")
    else:
        try:
            with open(path, encoding="utf-8") as stream:
                source = stream.read()
        except UnicodeDecodeError:
            raise ModelError(f"{path}: not a Relay text file") from None
        from vexatvm_internal import formats  # pylint: disable=import-outside-toplevel

        try:
            formats.check_relay_text(source, _memory_bytes())
        except (ValueError, RecursionError) as err:
            raise ModelError(f"{path}: not a valid Relay module: {first_line(err)}") from None
        try:
            with first_diagnostic() as diagnostic:
                mod = tvm.relay.fromtext(source, source_name=path)
        except tvm.TVMError as err:
            where = diagnostic[0] if diagnostic else error_line(err)
            raise ModelError(f"{path}: not a valid Relay module: {where}") from None
        if not isinstance(mod, tvm.IRModule):
            raise ModelError(f"{path}: not a Relay module")
        mod = rename_inputs(mod, name_of_text)
    if "main" not in [gv.name_hint for gv in mod.get_global_vars()]:
        raise ModelError(f"{path}: the Relay module has no main function")
    params = _load_params(os.path.splitext(path)[0] + ".params")
    if input_shapes:
        mod = _fix_input_shapes(mod, input_shapes, path)
    return Model(mod, params)


@contextlib.contextmanager
def first_diagnostic() -> "Iterator[list[str]]":
    """Within the block, TVM's diagnostics (of the Relay text parser, of the
    type checker) are not printed: the first error's line, column and the
    first line of its message go into the yielded list instead."""
    from tvm.ir.diagnostics import override_renderer  # pylint: disable=import-outside-toplevel

    found: list[str] = []

    def render(context):
        for diagnostic in context.diagnostics:
            if not found:
                span = diagnostic.span
                message = _diagnostic_line(str(diagnostic.message))
                found.append(f"line {span.line}, column {span.column}: {message}" if span is not None else message)

    override_renderer(render)
    try:
        yield found
    finally:
        override_renderer(None)


def _diagnostic_line(message):
    """A diagnostic in one line: its first, with the indented items it introduces ("...match:" and two types)."""
    lines = [line for line in message.splitlines() if line.strip()]
    if not lines:
        return message
    first, items = lines[0].strip(), []
    if first.endswith(":"):
        for line in lines[1:]:
            if not line[:1].isspace():
                break
            items.append(line.strip())
    return f"{first} {', '.join(items)}" if items else first


# Names Relay text reads back as they were printed; the printer puts a "v"
# before a name that starts otherwise, and the parser stops at ".", ":" and
# the like, which exporters put in names ("input.1", "onnx::Conv_193", "x:0").
_TEXT_NAME = re.compile(r"[A-Za-z][A-Za-z0-9_]*")
_ESCAPED = "vexa_esc_"


def text_name(name: str) -> str:
    """name as Relay text carries it: unchanged where it reads back, else
    escaped reversibly (letters and digits kept, "_" doubled, any other byte
    of its UTF-8 as "_" and two hex digits) after the prefix "vexa_esc_"."""
    if _TEXT_NAME.fullmatch(name) and not name.startswith(_ESCAPED):
        return name
    escaped = []
    for byte in name.encode():
        char = chr(byte)
        if char.isascii() and char.isalnum():
            escaped.append(char)
        else:
            escaped.append("__" if char == "_" else f"_{byte:02x}")
    return _ESCAPED + "".join(escaped)


def name_of_text(name: str) -> str:
    """The name text_name escaped; any other name unchanged."""
    if not name.startswith(_ESCAPED):
        return name
    body, decoded, index = name[len(_ESCAPED):], bytearray(), 0
    try:
        while index < len(body):
            if body[index] != "_":
                decoded += body[index].encode()
                index += 1
            elif body[index + 1:index + 2] == "_":
                decoded += b"_"
                index += 2
            else:
                decoded.append(int(body[index + 1:index + 3], 16))
                index += 3
        return decoded.decode()
    except (ValueError, UnicodeDecodeError):  # not one of ours
        return name


def rename_inputs(mod, rename):
    """mod with main's parameters renamed by rename(name); mod itself where no name changes."""
    from tvm import relay  # pylint: disable=import-outside-toplevel

    main = mod["main"]
    binds = {param: relay.var(rename(param.name_hint), type_annotation=param.type_annotation)
             for param in main.params if rename(param.name_hint) != param.name_hint}
    if not binds:
        return mod
    params = [binds.get(param, param) for param in main.params]
    out = mod.clone()
    out["main"] = relay.Function(params, relay.bind(main.body, binds), main.ret_type, main.type_params, main.attrs)
    return out


def _require_file(path):
    """Refuses what is not a readable, non-empty file, in the words of the file system."""
    if os.path.isdir(path):
        raise ModelError(f"{path}: is a directory, not a model file")
    if not os.path.isfile(path):
        raise FileNotFoundError(f"cannot read {path}: No such file")
    if not os.access(path, os.R_OK):
        raise ModelError(f"{path}: cannot read: Permission denied")
    if os.path.getsize(path) == 0:
        raise ModelError(f"{path}: the file is empty")


def _require_saved_module(data):
    """What tvm.ir.load_json trusts: every node and tensor reference, tensor
    headers and sizes, the fields of every node (see formats)."""
    from vexatvm_internal import formats  # pylint: disable=import-outside-toplevel

    if not (isinstance(data, dict) and isinstance(data.get("attrs"), dict)):
        raise ValueError("JSON, but not a saved TVM object: no root, nodes and attrs")
    formats.check_saved_module(data, _memory_bytes())


def _load_params(path):
    if not os.path.isfile(path):
        return {}
    import tvm  # pylint: disable=import-outside-toplevel

    from vexatvm_internal import formats  # pylint: disable=import-outside-toplevel

    with open(path, "rb") as stream:
        blob = stream.read()
    try:
        formats.check_params(blob, _memory_bytes())
        return dict(tvm.runtime.load_param_dict(blob))
    except (tvm.TVMError, ValueError) as err:
        raise ModelError(f"{path}: not a params file written by tvm.runtime.save_param_dict ({error_line(err)})") from None


def load_onnx(path, input_shapes=None, freeze_params=True, dims=None):
    """(mod, params) of an ONNX file through TVM's ONNX frontend."""
    _require_file(path)
    model = _read_onnx(path, input_shapes, dims or {}, freeze_params)
    return model.mod, model.params


def _read_onnx(path, input_shapes, dims, freeze_params=True):
    try:
        import onnx  # pylint: disable=import-outside-toplevel
    except ImportError:
        raise ImportError("reading ONNX models needs the onnx package: pip install 'vexatvm_internal[onnx]'") from None
    import tvm  # pylint: disable=import-outside-toplevel
    from tvm import relay  # pylint: disable=import-outside-toplevel

    from vexatvm_internal.flow import onnx_weights  # pylint: disable=import-outside-toplevel

    model = onnx_weights.load_graph(path)
    if model is None:
        try:
            model = onnx.load(path)
        except Exception as err:  # onnx raises protobuf's DecodeError and others
            raise ModelError(f"{path}: not a readable ONNX model ({type(err).__name__})") from None
    base_dir = os.path.dirname(os.path.abspath(path))
    if not model.graph.output:
        raise ModelError(f"{path}: the ONNX model has no graph outputs, so nothing to partition")
    initializers = {init.name for init in model.graph.initializer}
    # Each input's declared axes: a size, the name of a symbolic axis, or None (unnamed).
    declared = {i.name: [d.dim_value if d.dim_value > 0 else (d.dim_param or None) for d in i.type.tensor_type.shape.dim]
                for i in model.graph.input if i.name not in initializers and i.type.tensor_type.HasField("shape")}
    if input_shapes:
        _require_known(input_shapes, [i.name for i in model.graph.input if i.name not in initializers], path)
        for name, axes in declared.items():
            if name in input_shapes:
                _require_rank(name, input_shapes[name], ["?" if axis is None else axis for axis in axes], path)
    shapes = _shapes_with_dims(declared, input_shapes, dims, path)
    _require_onnx_tensors_fit(model, {name: shape for name, shape in (shapes or {}).items()
                                      if all(isinstance(dim, int) for dim in shape)}, path, base_dir)
    axis_names = {name: {axis: dim for axis, dim in enumerate(axes) if isinstance(dim, str)}
                  for name, axes in declared.items()}
    axis_names = {name: axes for name, axes in axis_names.items() if axes}
    try:
        with onnx_weights.weights_from_files(model.graph, base_dir), frontend_folds():
            return Model(*relay.frontend.from_onnx(model, shape=shapes, freeze_params=freeze_params), axis_names)
    except Exception:  # pylint: disable=broad-except
        pass  # TVM's own import below gives its own module or error
    try:
        with onnx_weights.weights_from_files(model.graph, base_dir):
            return Model(*relay.frontend.from_onnx(model, shape=shapes, freeze_params=freeze_params), axis_names)
    except (tvm.TVMError,) + _FRONTEND_ERRORS as err:
        raise ModelError(f"{path}: TVM's ONNX frontend failed: {error_line(err)}") from None


def _shapes_with_dims(declared, input_shapes, dims, path):
    """input_shapes, and for every other input with an axis named in dims,
    its shape with those axes fixed (others left symbolic, as TVM leaves
    them). Refuses an axis name no input has, and a size that disagrees
    with a shape given for the input."""
    if not dims:
        return input_shapes
    from tvm import relay  # pylint: disable=import-outside-toplevel

    named = {axis for axes in declared.values() for axis in axes if isinstance(axis, str)}
    for name in dims:
        if name not in named:
            known = f"the inputs name {', '.join(sorted(named))}" if named else "the inputs name no axes"
            raise ModelError(f"{path}: --dim {name}: no axis of the inputs is named {name!r} ({known})")
    shapes = dict(input_shapes or {})
    for name, axes in declared.items():
        if name in shapes:
            for index, axis in enumerate(axes):
                if isinstance(axis, str) and axis in dims and shapes[name][index] != dims[axis]:
                    given = ",".join(map(str, shapes[name]))
                    raise ModelError(f"{path}: --dim {axis}={dims[axis]} conflicts with --input-shape "
                                     f"{name}={given}: axis {index} of {name} is {axis}")
        elif any(axis in dims for axis in axes if isinstance(axis, str)):
            shapes[name] = tuple(axis if isinstance(axis, int) else dims[axis] if axis in dims else relay.Any()
                                 for axis in axes)
    return shapes


def load_tflite(path, input_shapes=None):
    """(mod, params) of a TFLite flatbuffer through TVM's TFLite frontend,
    with the converter of :func:`tflite_converter`."""
    _require_file(path)
    try:
        import tflite  # pylint: disable=import-outside-toplevel
    except ImportError:
        raise ImportError("reading TFLite models needs the tflite package: pip install 'vexatvm_internal[tflite]'") from None
    import tvm  # pylint: disable=import-outside-toplevel
    from tvm import relay  # pylint: disable=import-outside-toplevel
    from tvm.relay.frontend.tflite import get_tensor_name  # pylint: disable=import-outside-toplevel

    with open(path, "rb") as stream:
        buffer = stream.read()
    # The file identifier first: the flatbuffer reader trusts every offset it reads.
    if len(buffer) < 8 or not tflite.Model.ModelBufferHasIdentifier(buffer, 0):
        raise ModelError(f"{path}: not a TFLite model (no TFL3 flatbuffer identifier)")
    try:
        model = tflite.Model.GetRootAsModel(buffer, 0)
        subgraph = model.Subgraphs(0)
        known = [get_tensor_name(subgraph, index) for index in subgraph.InputsAsNumpy()]
        ranks = {get_tensor_name(subgraph, index): list(subgraph.Tensors(index).ShapeAsNumpy())
                 for index in subgraph.InputsAsNumpy()}
    except Exception as err:  # pylint: disable=broad-except
        raise ModelError(f"{path}: not a readable TFLite model, truncated or corrupt ({type(err).__name__})") from None
    if input_shapes:
        _require_known(input_shapes, known, path)
        for name, dims in ranks.items():
            if name in input_shapes:
                _require_rank(name, input_shapes[name], dims, path)
    try:
        return relay.frontend.from_tflite(model, shape_dict=input_shapes, op_converter=tflite_converter())
    except _LayerError as err:
        raise ModelError(f"{path}: TVM's TFLite frontend failed on {err}") from None
    except (tvm.TVMError,) + _FRONTEND_ERRORS as err:
        raise ModelError(f"{path}: TVM's TFLite frontend failed: {error_line(err)}") from None


_TORCHSCRIPT_SUFFIXES = (".pt", ".pth")
_ZIP_MAGIC = b"PK\x03\x04"


def is_torchscript(path: str) -> bool:
    """Whether path is read as TorchScript: by its suffix, or as a zip archive
    (what torch.jit.save writes, whatever the name)."""
    if path.endswith(_TORCHSCRIPT_SUFFIXES):
        return True
    try:
        with open(path, "rb") as stream:
            return stream.read(len(_ZIP_MAGIC)) == _ZIP_MAGIC
    except OSError:
        return False


def load_torchscript(path, input_shapes=None):
    """(mod, params) of a TorchScript archive through TVM's PyTorch frontend.

    The zip directory and TorchScript's layout are checked first (see
    formats); torch.jit.load then reads the module, which runs no Python of
    the file's (unlike torch.load's pickles)."""
    import mmap  # pylint: disable=import-outside-toplevel

    from vexatvm_internal import formats  # pylint: disable=import-outside-toplevel

    _require_file(path)
    with open(path, "rb") as stream, mmap.mmap(stream.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        try:
            formats.check_torchscript(mapped, _memory_bytes())
        except ValueError as err:
            raise ModelError(f"{path}: {err}") from None
    try:
        import torch  # pylint: disable=import-outside-toplevel
    except ImportError:
        raise ImportError("reading TorchScript models needs torch: pip install 'vexatvm_internal[torch]'") from None
    import tvm  # pylint: disable=import-outside-toplevel
    from tvm import relay  # pylint: disable=import-outside-toplevel

    try:
        module = torch.jit.load(path, map_location="cpu")
    except Exception as err:  # pylint: disable=broad-except  # torch raises RuntimeError and others
        raise ModelError(f"{path}: not a readable TorchScript model: {error_line(err)}") from None
    try:
        inputs = _torchscript_inputs(module)
    except (RuntimeError, AttributeError) as err:  # no forward method, or no graph of it
        raise ModelError(f"{path}: not a readable TorchScript model: {error_line(err)}") from None
    input_infos = _torchscript_input_infos(inputs, input_shapes, path)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # torch's deprecation warnings on quantized modules
            return relay.frontend.from_pytorch(module, input_infos)
    except (tvm.TVMError,) + _FRONTEND_ERRORS as err:
        raise ModelError(f"{path}: TVM's PyTorch frontend failed: {error_line(err)}") from None


def _torchscript_inputs(module):
    """[(name from_pytorch gives, name of the forward argument)] of module's inputs."""
    graph_inputs = list(module.graph.inputs())[1:]  # the first is the module itself
    return [(f"input{index}", value.debugName().split(".")[0]) for index, value in enumerate(graph_inputs)]


def _torchscript_input_infos(inputs, input_shapes, path):
    """from_pytorch's [(name, shape)], named as the user named the inputs."""
    given = dict(input_shapes or {})
    listed = ", ".join(f"{name} ({argument})" for name, argument in inputs)
    infos = []
    for name, argument in inputs:
        named = [key for key in dict.fromkeys((name, argument)) if key in given]
        if len(named) > 1:
            raise ModelError(f"{path}: --input-shape names input {name} twice, as {name} and {argument}")
        if named:
            infos.append((named[0], given.pop(named[0])))
    if given:
        raise ModelError(f"{path}: no input named {', '.join(map(repr, given))} (inputs: {listed})")
    if len(infos) < len(inputs):
        missing = " ".join(f"--input-shape {name}=D1,D2,..." for (name, argument) in inputs
                           if not any(key == name or key == argument for key, _ in infos))
        raise ModelError(f"{path}: a TorchScript model keeps no input shapes; give {'each' if len(inputs) > 1 else 'its'} "
                         f"input's: {missing} (inputs: {listed})")
    return infos


class _LayerError(Exception):
    """A TFLite operator TVM's converter failed on: its code, output tensors and the error."""


def tflite_converter():
    """TVM's TFLite operator converter, as a subclass for ``from_tflite``'s
    ``op_converter``, with two changes:

    - A fully-connected layer with per-channel weight scales, which TFLite's
      converter writes by default, imports the way TVM imports a per-channel
      convolution. ``qnn.dense`` takes the vector of weight scales, and the
      requantize takes input scale times weight scales, computed as the
      convolution converter computes them. TVM's own fully-connected
      converter asserts a scalar weight scale; it runs unchanged but for
      reading the weight scales as a vector.
    - A converter that fails names its operator and output tensors."""
    import tvm  # pylint: disable=import-outside-toplevel
    from tvm.relay.frontend import tflite as frontend  # pylint: disable=import-outside-toplevel

    class Converter(frontend.OperatorConverter):
        def __init__(self, model, subgraph, exp_tab):
            super().__init__(model, subgraph, exp_tab)
            self.convert_map = {code: self._naming(code, convert) for code, convert in self.convert_map.items()}

        def _naming(self, code, convert):
            def converted(op):
                try:
                    return convert(op)
                except Exception as err:  # pylint: disable=broad-except
                    outputs = ", ".join(repr(frontend.get_tensor_name(self.subgraph, tensor.tensor_idx))
                                        for tensor in self.get_output_tensors(op))
                    raise _LayerError(f"{code} {outputs}: {error_line(err)}") from err

            return converted

        def convert_fully_connected(self, op):
            weight = self.get_input_tensors(op)[1]
            scale = weight.qnn_params["scale"] if weight.qnn_params else None
            if scale is None or not scale.data.shape:
                return super().convert_fully_connected(op)
            scalar = frontend.get_scalar_from_constant

            # Only the weight scale may be a vector: data and output scales are per tensor.
            def scalar_or_per_channel(expr):
                if isinstance(expr, tvm.relay.Constant) and expr.data.shape:
                    return frontend.get_tensor_from_constant(expr)
                return scalar(expr)

            frontend.get_scalar_from_constant = scalar_or_per_channel
            try:
                return super().convert_fully_connected(op)
            finally:
                frontend.get_scalar_from_constant = scalar

    return Converter


class _Typed:
    """What the ONNX frontend's converters read of common.infer_type's answer."""

    __slots__ = ("checked_type",)

    def __init__(self, checked_type):
        self.checked_type = checked_type


# The modules of TVM's frontends that call common.fold_constant and common.infer_type by name.
_FOLDING_MODULES = ("tvm.relay.frontend.common", "tvm.relay.frontend.onnx")


@contextlib.contextmanager
def frontend_folds():
    """Within the block, TVM's ONNX frontend gives the module it gives
    anyway, faster:
    - constants are folded through one folder for the whole import: the same
      expressions FoldConstantExpr gives, without walking the graph again
      for every node and without compiling a kernel for each shape
      computation or weight copy;
    - types are inferred once per node for the whole import, where the
      frontend types the whole graph built so far for every question: its
      converters get an object whose ``checked_type`` is the type TVM gives;
    - the table of operator converters, which the frontend builds afresh
      for every node, is built once per opset.
    Yields the folder, whose counts tell how its folds went. What it
    replaced is restored on the way out."""
    import functools  # pylint: disable=import-outside-toplevel
    import importlib  # pylint: disable=import-outside-toplevel

    from vexatvm_internal.rewrites import _FrontendFolder, _FrontendTypes  # pylint: disable=import-outside-toplevel

    folder, types = _FrontendFolder(), _FrontendTypes()
    modules = [importlib.import_module(name) for name in _FOLDING_MODULES]
    common, onnx_frontend = modules
    infer_type = common.infer_type

    def typed(node, mod=None):
        found = types.type_of(node) if mod is None else None
        return infer_type(node, mod) if found is None else _Typed(found)

    replaced = [(module, "fold_constant", folder) for module in modules]
    replaced += [(module, "infer_type", typed) for module in modules]
    replaced.append((onnx_frontend, "_get_convert_map", functools.lru_cache(maxsize=None)(onnx_frontend._get_convert_map)))  # pylint: disable=protected-access
    saved = [(module, name, getattr(module, name)) for module, name, _ in replaced]
    for module, name, value in replaced:
        setattr(module, name, value)
    try:
        yield folder
    finally:
        for module, name, value in saved:
            setattr(module, name, value)


def _require_known(input_shapes, known, path):
    unknown = [name for name in input_shapes if name not in known]
    if unknown:
        raise ModelError(f"{path}: no input named {', '.join(map(repr, unknown))} (inputs: {', '.join(known)})")


def _memory_bytes():
    """The machine's physical memory, or None where the system does not say."""
    try:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (ValueError, OSError, AttributeError):
        return None


def _gib(size):
    return f"{size / 2**30:,.1f} GiB"


def _require_onnx_tensors_fit(model, input_shapes, path, base_dir):
    """Refuses, naming the tensor, an initializer whose dims disagree with
    the data it holds, and a tensor larger than the machine's memory, before
    the frontend allocates it (or swaps trying)."""
    import math  # pylint: disable=import-outside-toplevel

    import numpy as np  # pylint: disable=import-outside-toplevel
    from onnx import TensorProto, helper  # pylint: disable=import-outside-toplevel

    from vexatvm_internal.flow import onnx_weights  # pylint: disable=import-outside-toplevel

    memory = _memory_bytes()

    # Strings have no fixed size; 4-bit types pack two values in a byte.
    unsized = {getattr(TensorProto, name) for name in ("STRING", "INT4", "UINT4", "FLOAT4E2M1")
               if hasattr(TensorProto, name)}

    def itemsize(data_type):
        if data_type in unsized:
            return None
        try:
            return np.dtype(helper.tensor_dtype_to_np_dtype(data_type)).itemsize
        except (KeyError, TypeError, ValueError):  # undefined or string types: nothing to size
            return None

    def require_fits(kind, name, dims, size):
        if any(dim < 0 for dim in dims):
            raise ModelError(f"{path}: {kind} {name!r} has a negative dimension {list(dims)}")
        need = math.prod(dims) * size
        if memory is not None and need > memory:
            raise ModelError(f"{path}: {kind} {name!r} of shape {list(dims)} would need {_gib(need)}, more than "
                             f"this machine's memory ({_gib(memory)})")
        return need

    typed_fields = ("float_data", "int32_data", "int64_data", "double_data", "uint64_data")
    complex_types = (TensorProto.COMPLEX64, TensorProto.COMPLEX128)
    for init in model.graph.initializer:
        size = itemsize(init.data_type)
        if size is None:
            continue
        need = require_fits("initializer", init.name, init.dims, size)
        if init.data_location == TensorProto.EXTERNAL:
            try:
                _, _, held = onnx_weights.external_data(init, base_dir)
            except onnx_weights.ExternalDataError as err:
                raise ModelError(f"{path}: {err}") from None
            if held != need:
                raise ModelError(f"{path}: initializer {init.name!r} of shape {list(init.dims)} needs {need} bytes "
                                 f"but holds {held}")
            continue
        if init.HasField("raw_data"):
            if len(init.raw_data) != need:
                raise ModelError(f"{path}: initializer {init.name!r} of shape {list(init.dims)} needs {need} bytes "
                                 f"but holds {len(init.raw_data)}")
            continue
        held = next((len(getattr(init, field)) for field in typed_fields if len(getattr(init, field))), 0)
        if init.data_type not in complex_types and held != math.prod(init.dims):
            raise ModelError(f"{path}: initializer {init.name!r} of shape {list(init.dims)} holds {held} values, "
                             f"not {math.prod(init.dims)}")
    for graph_input in model.graph.input:
        kind = graph_input.type.tensor_type
        size = itemsize(kind.elem_type) if kind.elem_type else None
        if size is None:
            continue
        if input_shapes and graph_input.name in input_shapes:
            require_fits("input", graph_input.name, input_shapes[graph_input.name], size)
        elif kind.HasField("shape") and all(dim.HasField("dim_value") for dim in kind.shape.dim):
            require_fits("input", graph_input.name, [dim.dim_value for dim in kind.shape.dim], size)


def _require_rank(name, shape, dims, path):
    """Refuses a shape of another rank than the input's declared dims."""
    if len(shape) != len(dims):
        declared = ",".join(str(dim) for dim in dims)
        raise ModelError(f"{path}: --input-shape {name}: {len(shape)} dimensions given, the input has "
                         f"{len(dims)} ({name}={declared})")


def _fix_input_shapes(mod, input_shapes, path):
    """mod with main's inputs of the given names given those shapes."""
    import tvm  # pylint: disable=import-outside-toplevel
    from tvm import relay  # pylint: disable=import-outside-toplevel

    main = mod["main"]
    _require_known(input_shapes, [p.name_hint for p in main.params], path)
    binds, params = {}, []
    for param in main.params:
        if param.name_hint in input_shapes:
            declared = getattr(param.type_annotation, "shape", None)
            if declared is not None:
                _require_rank(param.name_hint, input_shapes[param.name_hint], list(declared), path)
            dtype = param.type_annotation.dtype if param.type_annotation is not None else "float32"
            fixed = relay.var(param.name_hint, shape=input_shapes[param.name_hint], dtype=dtype)
            binds[param] = fixed
            param = fixed
        params.append(param)
    out = mod.clone()
    out["main"] = relay.Function(params, relay.bind(main.body, binds), None, main.type_params, main.attrs)
    try:
        return relay.transform.InferType()(out)
    except tvm.TVMError as err:
        raise ModelError(f"{path}: the input shapes do not fit the model: {error_line(err)}") from None


def dynamic_inputs(mod, params=None):
    """Names of main's inputs (params excluded) whose shape has a dimension
    that is not a fixed integer."""
    return list(dynamic_axes(mod, params))


def dynamic_axes(mod, params=None, axis_names=None):
    """{input: [name of each axis not of fixed size, or None where the file
    names it not]} of main's inputs (params excluded) with such axes, in
    main's order; axis_names as :class:`Model` has them."""
    from tvm import tir  # pylint: disable=import-outside-toplevel

    bound, names = set(params or ()), axis_names or {}
    found = {}
    for param in mod["main"].params:
        kind = param.type_annotation
        if param.name_hint in bound or kind is None or not hasattr(kind, "shape"):
            continue
        axes = [names.get(param.name_hint, {}).get(index) for index, dim in enumerate(kind.shape)
                if not isinstance(dim, tir.IntImm)]
        if axes:
            found[param.name_hint] = axes
    return found
