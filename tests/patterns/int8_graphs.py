"""Quantized Relay programs in the forms frontends produce, and readers of a
partitioned module (which composites, what is inside them, what is left)."""

import collections

import numpy as np
import tvm
from tvm import relay

import vexatvm_internal
from vexatvm_internal.flow import driver
from vexatvm_standins.build_module import BuildConfig


def f32(value):
    return relay.const(float(value), "float32")


def i32(value):
    return relay.const(int(value), "int32")


def weights(shape, seed=0):
    return relay.const(np.random.default_rng(seed).standard_normal(shape).astype("float32"))


def uint8_input(channels, size=8, name="x", dtype="uint8"):
    """An NCHW activation, as PyTorch's importer gives it."""
    return relay.var(name, shape=(1, channels, size, size), dtype=dtype)


def qconv(x, cin, cout, *, kernel=3, pad=0, groups=1, bias=True, first_clip=True, cast=True,
          relu6=False, zp=0, seed=0):
    """A quantized convolution as PyTorch's importer writes it (NCHW): optional
    pad, quantize of float weights, qnn.conv2d, bias_add of a quantized bias,
    requantize to int32, clip, cast to uint8, optional ReLU6 clip."""
    if pad:
        x = relay.nn.pad(x, [[0, 0], [0, 0], [pad, pad], [pad, pad]], pad_value=f32(zp))
    w = relay.qnn.op.quantize(weights((cout, cin // groups, kernel, kernel), seed), f32(0.02), i32(0),
                              out_dtype="int8", axis=0)
    y = relay.qnn.op.conv2d(x, w, i32(zp), i32(0), f32(0.05), f32(0.02), kernel_size=(kernel, kernel),
                            channels=cout, groups=groups, out_dtype="int32")
    if bias:
        b = relay.qnn.op.quantize(weights((cout,), seed + 1), f32(0.001), i32(0), out_dtype="int32", axis=0)
        y = relay.nn.bias_add(y, b)
    y = relay.qnn.op.requantize(y, f32(0.001), i32(0), f32(0.05), i32(zp), axis=1, out_dtype="int32")
    if first_clip:
        y = relay.clip(y, 0.0, 255.0)
    if cast:
        y = relay.cast(y, "uint8")
    if relu6:
        y = relay.clip(y, float(zp), 120.0)
    return y


def stem(channels, cin=3, size=8, name="x"):
    """A 1x1 convolution on the network input. ConvertLayout converts layouts
    forward from convolutions only, so what follows it runs in NHWC."""
    return qconv(uint8_input(cin, size, name), cin, channels, kernel=1, seed=7)


def qadd(lhs, rhs, relu=False):
    y = relay.qnn.op.add(lhs, rhs, f32(0.05), i32(0), f32(0.05), i32(0), f32(0.1), i32(0))
    return relay.clip(y, 0.0, 255.0) if relu else y


def qmul(lhs, rhs, clip=False):
    y = relay.qnn.op.mul(lhs, rhs, f32(0.05), i32(0), f32(0.05), i32(0), f32(0.1), i32(0))
    return relay.clip(y, 0.0, 255.0) if clip else y


def requantize(x, out_dtype="uint8"):
    return relay.qnn.op.requantize(x, f32(0.05), i32(0), f32(0.04), i32(0), out_dtype=out_dtype)


def qconcat(inputs, axis=1):
    n = len(inputs)
    return relay.qnn.op.concatenate(inputs, [f32(0.05)] * n, [i32(0)] * n, f32(0.05), i32(0), axis=axis)


def dequantize(x):
    return relay.qnn.op.dequantize(x, f32(0.05), i32(0))


def quantize(x, out_dtype="uint8"):
    return relay.qnn.op.quantize(x, f32(0.05), i32(0), out_dtype=out_dtype)


def module(*outputs):
    body = outputs[0] if len(outputs) == 1 else relay.Tuple(list(outputs))
    return tvm.IRModule.from_expr(relay.Function(relay.analysis.free_vars(body), body))


def partition(*outputs, tables=("vexa",), arch=None, params=None):
    """Partition through the stand-in driver (preparation, then MergeComposite entry by entry)."""
    mod = outputs[0] if isinstance(outputs[0], tvm.IRModule) else module(*outputs)
    return vexatvm_internal.partition_for_vexa(mod, params, tables=tables, arch=arch, canonicalize=False)


def merge_unprepared(*outputs, tables=("vexa",), arch="vexa-pro"):
    """MergeComposite entry by entry after InferType only. The driver's
    ConvertLayout canonicalises every nn.bias_add into add(expand_dims), so
    the bias_add forms can be reached this way only."""
    mod = relay.transform.InferType()(module(*outputs))
    with BuildConfig(arch_config={"arch": arch}):
        for _, entries in driver.resolve_tables(tables):
            mod = driver.merge_entries(mod, entries)
    return mod


def _op_name(call):
    return call.op.name if isinstance(call.op, tvm.ir.Op) else None


def _composite_name(func):
    if isinstance(func, relay.Function) and func.attrs and "Composite" in func.attrs:
        return str(func.attrs["Composite"])
    return None


def ops_in(expr):
    """Sorted operator names of every call in expr, function bodies included."""
    names = []

    def visit(node):
        if isinstance(node, relay.Call) and _op_name(node):
            names.append(_op_name(node))

    relay.analysis.post_order_visit(expr, visit)
    return tuple(sorted(names))


def composites(mod):
    """Sorted (composite name, sorted operator names inside) of every composite call."""
    found = []

    def visit(node):
        if isinstance(node, relay.Call) and _composite_name(node.op):
            found.append((_composite_name(node.op), ops_in(node.op.body)))

    relay.analysis.post_order_visit(mod["main"], visit)
    return sorted(found)


def composite_names(mod):
    return collections.Counter(name for name, _ in composites(mod))


class _HostOps(relay.ExprVisitor):
    def __init__(self):
        super().__init__()
        self.names = []

    def visit_call(self, call):
        if _op_name(call):
            self.names.append(_op_name(call))
        if not _composite_name(call.op):
            self.visit(call.op)
        for arg in call.args:
            self.visit(arg)


def host_ops(mod, ignore=("layout_transform",)):
    """Sorted operator names left outside composites (by default without the
    layout changes ConvertLayout inserted)."""
    visitor = _HostOps()
    visitor.visit(mod["main"])
    return tuple(sorted(n for n in visitor.names if n not in ignore))


def ops(*names, **counts):
    """A sorted operator multiset: ops("cast", clip=2) -> ("cast", "clip", "clip")."""
    out = list(names)
    for name, count in counts.items():
        out += [name.replace("__", ".")] * count
    return tuple(sorted(out))


# What one PyTorch-style convolution becomes inside "vexa.qnn_conv" once the
# driver has converted it to NHWC: weights quantized and transformed, the bias
# canonicalised to add(conv, layout_transform(expand_dims(expand_dims(b)))).
CONV_CORE = ("qnn.quantize", "layout_transform", "qnn.conv2d", "qnn.requantize", "clip", "cast")
NHWC_BIAS = ("qnn.quantize", "expand_dims", "expand_dims", "layout_transform", "add")


def conv_ops(pad=False, bias=True, relu6=False):
    names = list(CONV_CORE) + (list(NHWC_BIAS) if bias else [])
    if pad:
        names.append("nn.pad")
    if relu6:
        names.append("clip")
    return tuple(sorted(names))


STEM = ("vexa.qnn_conv", conv_ops())
