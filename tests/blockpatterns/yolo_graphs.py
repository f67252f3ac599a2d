"""YOLOv5 post-processing blocks in Relay, in the forms exports and
quantizers leave them, and readers of a partitioned module."""

import collections
from dataclasses import dataclass

import numpy as np
import tvm
from tvm import relay
from tvm.ir import Op

import vexatvm_internal

CLASSES = 3
NO = CLASSES + 5  # x, y, w, h, objectness, classes
GRIDS = (8, 4, 2)  # three scales, strides 8, 16, 32 of a 64x64 image
STRIDES = (8, 16, 32)

NAMES = {
    "fp32": "vexa_blocks.yolov5_fp32_post",
    "fp32_v2": "vexa_blocks.yolov5_fp32_post",
    "i8": "vexa_blocks.yolov5_i8_post",
    "qnn": "vexa_blocks.yolov5_qnn_i8_post",
}

# The QNN branch's optional steps, all present.
QNN_FULL = dict(pre_rt=True, post_rt=True, req_b0=True, req_b1=True, reshape_out=True, req_out=True)


def f32(value):
    return relay.const(float(value), "float32")


def i32(value):
    return relay.const(int(value), "int32")


class _Consts:
    def __init__(self, seed):
        self.rng = np.random.default_rng(seed)

    def grid(self, shape, g):
        return relay.const(self.rng.integers(0, g, shape).astype("float32"))

    def anchor(self, shape):
        return relay.const(self.rng.uniform(10, 100, shape).astype("float32"))

    def int8(self, shape):
        return relay.const(self.rng.integers(-100, 100, shape).astype("int8"))


def _qmul(lhs, rhs, out_scale=0.1):
    return relay.qnn.op.mul(lhs, rhs, f32(0.05), i32(-3), f32(0.02), i32(0), f32(out_scale), i32(-1))


def _qconst_op(op, lhs, rhs):
    return op(lhs, rhs, f32(0.05), i32(-3), f32(0.02), i32(0), f32(0.06), i32(-2))


def _requantize(x, scale=0.05):
    return relay.qnn.op.requantize(x, f32(0.1), i32(-1), f32(scale), i32(0), out_dtype="int8")


def _qconcat(parts, axis):
    n = len(parts)
    return relay.qnn.op.concatenate(parts, [f32(0.05)] * n, [i32(0)] * n, f32(0.05), i32(0), axis=axis)


# ---- float32, older head: three slices of one sigmoid --------------------------------

def fp32_branch(h, g, stride, c, layout=False, separate_sigmoids=False):
    """reshape, transpose, sigmoid, three strided_slices; xy*2 - 0.5 + grid,
    *stride; (wh*2)**2 * anchor; concatenate, reshape. With ``layout`` the
    head arrives in NHWC and passes a layout_transform first."""
    if layout:
        h = relay.layout_transform(h, "NHWC", "NCHW")

    def sigmoid():
        return relay.sigmoid(relay.transpose(relay.reshape(h, (1, 3, NO, g, g)), (0, 1, 3, 4, 2)))

    y = sigmoid()
    ys = [sigmoid(), sigmoid(), sigmoid()] if separate_sigmoids else [y, y, y]
    shape = (1, 3, g, g, 2)

    def part(src, lo, hi):
        return relay.strided_slice(src, begin=(0, 0, 0, 0, lo), end=(1, 3, g, g, hi))

    xy = relay.subtract(relay.multiply(part(ys[0], 0, 2), f32(2.0)), f32(0.5))
    xy = relay.multiply(relay.add(xy, c.grid(shape, g)), f32(stride))
    wh = relay.multiply(relay.power(relay.multiply(part(ys[1], 2, 4), f32(2.0)), f32(2.0)), c.anchor(shape))
    conf = part(ys[2], 4, NO)
    return relay.reshape(relay.concatenate([xy, wh, conf], axis=4), (1, 3 * g * g, NO))


# ---- float32, newer head: one split -------------------------------------------------

def fp32_v2_branch(h, g, stride, c, layout=False, score=2, xy_index=0, wh_index=1,
                   sections=(2, 4), second_split=False, constants_left=False):
    """reshape, transpose, sigmoid, split; (xy*2 + grid)*stride; (wh*2)**2 *
    anchor; concatenate with split output ``score``, reshape. With
    ``second_split`` the score comes from another split of the same sigmoid;
    with ``constants_left`` every add and multiply has its constant first."""
    if layout:
        h = relay.layout_transform(h, "NHWC", "NCHW")
    y = relay.sigmoid(relay.transpose(relay.reshape(h, (1, 3, NO, g, g)), (0, 1, 3, 4, 2)))
    parts = relay.split(y, sections, axis=4)
    shape = (1, 3, g, g, 2)

    def mul(x, k):
        return relay.multiply(k, x) if constants_left else relay.multiply(x, k)

    def add(x, k):
        return relay.add(k, x) if constants_left else relay.add(x, k)

    xy = mul(add(mul(parts[xy_index], f32(2.0)), c.grid(shape, g)), f32(stride))
    wh = mul(relay.power(mul(parts[wh_index], f32(2.0)), f32(2.0)), c.anchor(shape))
    conf = relay.split(y, sections, axis=4)[score] if second_split else parts[score]
    return relay.reshape(relay.concatenate([xy, wh, conf], axis=4), (1, 3 * g * g, -1))


# ---- int8: sigmoid between dequantize and quantize, the rest in float --------------

def i8_branch(h, g, stride, c, square="multiply", separate_dequantize=False):
    """dequantize, sigmoid, quantize, dequantize; per part reshape,
    strided_slice, reshape; xy*2 + grid, *stride, *1/640; wh*wh, *4, *anchor;
    concatenate, reshape. ``square``: "multiply" (one expression times
    itself), "power", or "copies" (two equal but separate expressions)."""

    def dequantized():
        y = relay.qnn.op.dequantize(h, f32(0.1), i32(-2))
        y = relay.qnn.op.quantize(relay.sigmoid(y), f32(1 / 256), i32(-128), out_dtype="int8")
        return relay.qnn.op.dequantize(y, f32(1 / 256), i32(-128))

    pat = dequantized()
    srcs = [dequantized(), dequantized(), dequantized()] if separate_dequantize else [pat, pat, pat]

    def part(src, lo, hi):
        y = relay.strided_slice(relay.reshape(src, (1, 3, NO, g * g)), begin=(0, 0, lo, 0), end=(1, 3, hi, g * g))
        return relay.reshape(y, (1, 3, hi - lo, g, g))

    shape = (1, 3, 2, g, g)
    xy = relay.multiply(relay.add(relay.multiply(part(srcs[0], 0, 2), f32(2.0)), c.grid(shape, g)), f32(stride))
    xy = relay.multiply(xy, f32(1 / 640))
    wh = part(srcs[1], 2, 4)
    if square == "power":
        wh = relay.power(wh, f32(2.0))
    elif square == "copies":
        wh = relay.multiply(wh, part(srcs[1], 2, 4))
    else:
        wh = relay.multiply(wh, wh)
    wh = relay.multiply(relay.multiply(wh, f32(4.0)), c.anchor(shape))
    conf = part(srcs[2], 4, NO)
    return relay.reshape(relay.concatenate([xy, wh, conf], axis=2), (1, 3 * g * g, NO))


# ---- fully quantized ----------------------------------------------------------------

def qnn_input_shape(g, pre_rt=True, post_rt=True, **_):
    """Head layout: NCHW-like when a reshape-transpose follows, else already
    (1, 3, g, g, NO)."""
    return (1, 3 * NO, g, g) if (pre_rt or post_rt) else (1, 3, g, g, NO)


def qnn_branch(h, g, stride, c, pre_rt=True, post_rt=True, req_b0=True, req_b1=True, reshape_out=True,
               req_out=True, req_score=True, square="multiply", separate_quantize=False):
    """[reshape, transpose], dequantize, sigmoid, quantize, [reshape,
    transpose]; per part strided_slice, reshape, then qnn.mul/subtract/add/
    mul/mul [requantize] for the centre, qnn.mul, square, qnn.mul, qnn.mul
    [requantize] for the size, requantize for the score; qnn.concatenate
    [reshape] [requantize]. Bracketed steps are switched by the flags."""
    if pre_rt:
        h = relay.transpose(relay.reshape(h, (1, 3, NO, g, g)), (0, 1, 3, 4, 2))

    def quantized():
        y = relay.sigmoid(relay.qnn.op.dequantize(h, f32(0.1), i32(-2)))
        y = relay.qnn.op.quantize(y, f32(1 / 256), i32(-128), out_dtype="int8")
        if post_rt:
            if pre_rt:
                y = relay.transpose(relay.reshape(y, (1, 3, g, g, NO)), (0, 1, 2, 3, 4))
            else:
                y = relay.transpose(relay.reshape(y, (1, 3, NO, g, g)), (0, 1, 3, 4, 2))
        return y

    p = quantized()
    srcs = [quantized(), quantized(), quantized()] if separate_quantize else [p, p, p]

    def part(src, lo, hi):
        y = relay.strided_slice(src, begin=(0, 0, 0, 0, lo), end=(1, 3, g, g, hi))
        return relay.reshape(y, (1, 3 * g * g, hi - lo))

    shape = (1, 3 * g * g, 2)
    b0 = _qmul(part(srcs[0], 0, 2), c.int8(()))
    b0 = _qconst_op(relay.qnn.op.subtract, b0, c.int8(()))
    b0 = _qconst_op(relay.qnn.op.add, b0, c.int8(shape))
    b0 = _qmul(_qmul(b0, c.int8(())), c.int8(()))
    if req_b0:
        b0 = _requantize(b0)
    b1 = _qmul(part(srcs[1], 2, 4), c.int8(()))
    if square == "power":
        b1 = relay.power(b1, relay.const(2, "int8"))
    elif square == "copies":
        b1 = _qmul(b1, _qmul(part(srcs[1], 2, 4), c.int8(())))
    else:
        b1 = _qmul(b1, b1)
    b1 = _qmul(_qmul(b1, c.int8(shape)), c.int8(()))
    if req_b1:
        b1 = _requantize(b1)
    b2 = part(srcs[2], 4, NO)
    if req_score:
        b2 = _requantize(b2)
    y = _qconcat([b0, b1, b2], axis=2)
    if reshape_out:
        y = relay.reshape(y, (1, 3 * g * g, NO))
    if req_out:
        y = _requantize(y)
    return y


BRANCHES = {"fp32": fp32_branch, "fp32_v2": fp32_v2_branch, "i8": i8_branch, "qnn": qnn_branch}
QUANTIZED = ("i8", "qnn")


def _head(form, g, layout, options, index):
    """The head convolution's output, as a variable behind one producer op
    that must stay outside the block."""
    if form in QUANTIZED:
        shape = qnn_input_shape(g, **options) if form == "qnn" else (1, 3 * NO, g, g)
        var = relay.var(f"head{index}", shape=shape, dtype="int32")
        return var, relay.qnn.op.requantize(var, f32(0.001), i32(0), f32(0.1), i32(-2), out_dtype="int8")
    if layout:
        var = relay.var(f"head{index}", shape=(1, g, g, 3 * NO))
        return var, relay.add(var, f32(0.25))
    var = relay.var(f"head{index}", shape=(1, 3 * NO, g, g))
    return var, relay.add(var, f32(0.25))


def op_counts(expr):
    """Operator name -> calls in expr, functions it calls included."""
    counts = collections.Counter()

    def visit(node):
        if isinstance(node, relay.Call) and isinstance(node.op, Op):
            counts[node.op.name] += 1

    relay.analysis.post_order_visit(expr, visit)
    return counts


@dataclass
class Graph:
    mod: tvm.IRModule
    block_ops: collections.Counter  # operators of the post-processing block
    outside_ops: collections.Counter  # everything else


def post_block(forms, options=None, layout=False, join=None, seed=0):
    """A graph of head producers, the post-processing of ``len(forms)``
    scales (one form per scale), and a box clip after it. ``options`` is one
    dict for every scale, or a list of one per scale. ``join``: "concat" (the
    float join), "qnn" (qnn.concatenate then dequantize), "none" (the
    branches returned as a tuple, no join); by default from the forms."""
    c = _Consts(seed)
    if not isinstance(options, (list, tuple)):
        options = [dict(options or {})] * len(forms)
    if join is None:
        join = "qnn" if forms[0] == "qnn" else "concat"

    def build(bare):
        heads, inputs = [], []
        for i, (form, g, stride, opts) in enumerate(zip(forms, GRIDS, STRIDES, options)):
            var, produced = _head(form, g, layout, opts, i)
            inputs.append(var)
            heads.append(var if bare else produced)
        kw = [dict(o) for o in options]
        for form, k in zip(forms, kw):
            if form in ("fp32", "fp32_v2"):
                k["layout"] = layout
        branches = [BRANCHES[f](h, g, s, c, **k) for f, h, g, s, k in zip(forms, heads, GRIDS, STRIDES, kw)]
        if join == "none":
            return inputs, relay.Tuple(branches)
        if join == "qnn":
            out = relay.qnn.op.dequantize(_qconcat(branches, axis=1), f32(0.05), i32(0))
        elif join == "qnn_raw":
            out = _qconcat(branches, axis=1)
        else:
            out = relay.concatenate(branches, axis=1)
        return inputs, out

    _, block = build(bare=True)
    block_ops = op_counts(block)
    inputs, out = build(bare=False)
    if join != "none":
        out = relay.clip(out, 0.0, 127.0 if join == "qnn_raw" else 640.0)
    mod = tvm.IRModule.from_expr(relay.Function(inputs, out))
    mod = relay.transform.InferType()(mod)
    return Graph(mod, block_ops, op_counts(mod["main"].body) - block_ops)


def quantized_detector(form, options=None, seed=0):
    """Three int8 feature maps, a qnn.conv2d head on each (as quantized
    exports leave it: conv2d, requantize) and the ``form`` ("i8" or "qnn")
    post-processing after them."""
    options = dict(options or {})
    c = _Consts(seed)
    rng = np.random.default_rng(seed)
    feats, branches = [], []
    for i, (g, stride) in enumerate(zip(GRIDS, STRIDES)):
        x = relay.var(f"feat{i}", shape=(1, 16, g, g), dtype="uint8")
        w = relay.const(rng.integers(-5, 5, (3 * NO, 16, 1, 1)).astype("int8"))
        y = relay.qnn.op.conv2d(x, w, i32(0), i32(0), f32(0.05), f32(0.02), kernel_size=(1, 1),
                                channels=3 * NO, out_dtype="int32")
        y = relay.qnn.op.requantize(y, f32(0.001), i32(0), f32(0.1), i32(-2), out_dtype="int8")
        if form == "qnn" and not (options.get("pre_rt", True) or options.get("post_rt", True)):
            # the branch then starts at (1, 3, g, g, NO): the layout change stays outside
            y = relay.transpose(relay.reshape(y, (1, 3, NO, g, g)), (0, 1, 3, 4, 2))
        feats.append(x)
        branches.append(BRANCHES[form](y, g, stride, c, **options))
    if form == "qnn":
        out = relay.qnn.op.dequantize(_qconcat(branches, axis=1), f32(0.05), i32(0))
    else:
        out = relay.concatenate(branches, axis=1)
    return relay.transform.InferType()(tvm.IRModule.from_expr(relay.Function(feats, out)))


# ---- reading a partitioned module ------------------------------------------------------

def partition(mod, tables=("vexa_blocks",), arch=None, params=None):
    return vexatvm_internal.partition_for_vexa(mod, params, tables=tables, arch=arch, canonicalize=False)


def composites(mod):
    """(composite name, function, call) of every composite call in main, in
    post order."""
    found = []

    def visit(node):
        if isinstance(node, relay.Call) and isinstance(node.op, relay.Function):
            attrs = node.op.attrs
            if attrs is not None and "Composite" in attrs:
                found.append((str(attrs["Composite"]), node.op, node))

    relay.analysis.post_order_visit(mod["main"].body, visit)
    return found


def host_ops(mod):
    """Operators of main outside every composite."""
    inside = collections.Counter()
    for _, func, _ in composites(mod):
        inside.update(op_counts(func.body))
    return op_counts(mod["main"].body) - inside


def composite_names(mod):
    return collections.Counter(name for name, _, _ in composites(mod))


def block_composites(mod):
    return [(n, f, c) for n, f, c in composites(mod) if n.startswith("vexa_blocks.")]
