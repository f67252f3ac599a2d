"""Preparation: the module brought to the form the tables expect.

Params bound, types inferred, convolutions in NHWC, constants folded for the
float tables; with canonicalization, a graph quantized as dequantize -> op ->
quantize gets QNN operators first (int8 tables only), and data movement on
constants is folded."""

import contextlib

import tvm
from tvm import relay
from tvm.relay.build_module import bind_params_by_name

__all__ = ["prepare", "Handover", "fold_constant_moves", "has_fake_quantized_anchors", "table_names", "FLOAT_TABLES",
           "DESIRED_LAYOUTS"]

FLOAT_TABLES = ("vexa_fp32", "vexa_fp32_quantizer", "vexa_blocks")
DESIRED_LAYOUTS = {"qnn.conv2d": ["NHWC", "default"], "nn.conv2d": ["NHWC", "default"]}


def table_names(tables):
    """A table name, or an iterable of them, as a tuple of names."""
    if isinstance(tables, str):
        return (tables,)
    return tuple(tables)


def _int8_tables_only(names):
    # The block table captures dequantized post-processing as it is written.
    return all(name not in FLOAT_TABLES for name in names)


_FLOAT_ANCHORS = ("nn.conv2d", "nn.dense", "nn.matmul", "nn.batch_matmul", "nn.conv2d_transpose")


def _dequantized(node):
    return isinstance(node, relay.Call) and isinstance(node.op, tvm.ir.Op) and node.op.name == "qnn.dequantize"


def has_fake_quantized_anchors(func):
    """Whether a float convolution or matrix product reads a dequantized
    tensor (ONNX QDQ), or a float add reads two (ONNX QLinearAdd): a graph
    quantized as dequantize -> op -> quantize rather than with the QNN
    operators the int8 tables capture. A graph written with QNN operators
    keeps its dequantized islands, which the int8 entries capture as they are."""
    from vexatvm_internal.report.summary import walk  # pylint: disable=import-outside-toplevel

    found: list[relay.Call] = []

    def visit(node):
        if found or not isinstance(node, relay.Call) or not isinstance(node.op, tvm.ir.Op) or not node.args:
            return
        name = node.op.name
        if (name in _FLOAT_ANCHORS and _dequantized(node.args[0])) or (
                name == "add" and len(node.args) == 2 and all(_dequantized(arg) for arg in node.args)):
            found.append(node)

    walk(func.body, visit)
    return bool(found)


class Handover:
    """A module its caller gives up to the flow, which may then fold the
    layout changes of its weights in their own memory rather than keep both
    layouts (see fold_constant_moves). The caller keeps no other reference
    to the module or its constants."""

    def __init__(self, mod):
        self._mod = mod

    def peek(self):
        """The module, still handed over."""
        return self._mod

    def take(self):
        mod, self._mod = self._mod, None
        if mod is None:
            raise ValueError("the module was handed over already")
        return mod


def prepare(mod, params=None, tables=("vexa",), canonicalize=False):
    """Bind params, infer types, convert convolutions to NHWC and, for the float
    tables, fold constants. Returns a new module; ``mod`` is left unchanged,
    unless it is a Handover.

    With ``canonicalize``, a graph quantized as dequantize -> op -> quantize
    first gets QNN operators (TVM's FakeQuantizationToInteger) when only int8
    tables are applied, and data movement on constants is folded for
    every table."""
    names = table_names(tables)
    # Reusing weights' memory needs them to be the module's alone: not params the caller holds.
    reuse = isinstance(mod, Handover) and not params
    mod = mod.take() if isinstance(mod, Handover) else mod
    mod = mod.clone()
    if params:
        mod["main"] = bind_params_by_name(mod["main"], params)
    fold = any(name in FLOAT_TABLES for name in names)
    first = [relay.transform.InferType()]
    quantize = canonicalize and _int8_tables_only(names) and has_fake_quantized_anchors(mod["main"])
    if quantize:
        first += [relay.transform.FakeQuantizationToInteger(), relay.transform.InferType()]
    first.append(relay.transform.ConvertLayout(DESIRED_LAYOUTS))
    with _exact_fake_quantization(quantize), tvm.transform.PassContext(opt_level=3):
        mod = tvm.transform.Sequential(first)(mod)
        if fold or canonicalize:
            mod = fold_constant_moves(mod, reuse)
        rest = [relay.transform.FoldConstant()] if fold else []
        return tvm.transform.Sequential(rest + [relay.transform.InferType()])(mod)


# Operators whose integer form in FakeQuantizationToInteger is not what the
# float form computes up to float rounding: average pools and means sum in
# int32 and divide with truncation, half a step low on average. No int8
# entry takes them in that form, so they stay float, as imported.
_INEXACT_IN_INTEGERS = ("nn.avg_pool2d", "nn.global_avg_pool2d", "nn.adaptive_avg_pool1d", "mean")
_FQ2I = "FTVMFakeQuantizationToInteger"


@contextlib.contextmanager
def _exact_fake_quantization(active=True):
    """Within the block, FakeQuantizationToInteger leaves the operators of
    _INEXACT_IN_INTEGERS (and the regions around them) as they are. TVM's
    registrations are restored afterwards."""
    saved = []
    for name in _INEXACT_IN_INTEGERS if active else ():
        op = tvm.ir.Op.get(name)
        convert = op.get_attr(_FQ2I)
        if convert is not None:
            saved.append((op, convert))
            op.reset_attr(_FQ2I)
    try:
        yield
    finally:
        for op, convert in saved:
            op.set_attr(_FQ2I, convert)


def fold_constant_moves(mod, reuse=False):
    """mod with data movement on constants in main folded, bit for bit as
    FoldConstant folds it, without compiling a kernel per call. With
    ``reuse``, the caller gives mod up: a constant that only its move reads
    takes the moved value in its own memory, and mod is not to be used
    again."""
    from vexatvm_internal.rewrites import _fold_constant_moves  # pylint: disable=import-outside-toplevel

    out = mod.clone()
    out["main"] = _fold_constant_moves(mod["main"], reuse)
    return relay.transform.InferType()(out)
