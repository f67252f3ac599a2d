"""Float32 Relay programs in the forms frontends leave (PyTorch/ONNX imports),
and readers of a partitioned module (which composite claims an output, what
is inside it)."""

import collections
import contextlib
import math

import numpy as np
import tvm
from tvm import relay

import vexatvm_internal
from vexatvm_internal.flow import driver
from vexatvm_standins.build_module import BuildConfig

PRO, BASE, NANO = "vexa-pro", "vexa-base", "vexa-nano"
# vexa-nano with the transformer flag set: the gate must follow the flag, not the name.
NANO_KOV2 = {"base": NANO, "has_kov2": True}


def f32(value):
    """A float32 scalar exactly as const() makes it from a Python float."""
    return relay.const(float(value))


def tensor(*shape, seed=0, dtype="float32"):
    return relay.const((np.random.default_rng(seed).standard_normal(shape) * 0.1).astype(dtype))


def var(name, *shape, dtype="float32"):
    return relay.var(name, shape=shape, dtype=dtype)


@contextlib.contextmanager
def arch(value):
    """Make `value` (a built-in name or an inline description) the current architecture."""
    with BuildConfig(arch_config={"arch": value}):
        yield


# ---------------------------------------------------------------- modules


def module(*outputs):
    body = outputs[0] if len(outputs) == 1 else relay.Tuple(list(outputs))
    return tvm.IRModule.from_expr(relay.Function(relay.analysis.free_vars(body), body))


def typed_module(*outputs):
    return relay.transform.InferType()(module(*outputs))


def typed(expr):
    """`expr` with inferred types (the body of a fresh typed module)."""
    return typed_module(expr)["main"].body


def partition(*outputs, tables=("vexa_fp32",), arch=PRO, params=None):
    """Through the stand-in driver: preparation (NHWC, folded constants), then
    MergeComposite entry by entry with the real checks."""
    mod = outputs[0] if isinstance(outputs[0], tvm.IRModule) else module(*outputs)
    return vexatvm_internal.partition_for_vexa(mod, params, tables=tables, arch=arch, canonicalize=False)


def merge_unprepared(*outputs, tables=("vexa_fp32",), arch=PRO):
    """MergeComposite entry by entry after InferType only. The driver's
    ConvertLayout turns every per-channel bias into a rank-4 constant, so a
    1-D bias on 4-D data can be reached this way only."""
    mod = typed_module(*outputs)
    with BuildConfig(arch_config={"arch": arch}):
        for _, entries in driver.resolve_tables(tables):
            mod = driver.merge_entries(mod, entries)
    return mod


def partition_forms(forms, **kwargs):
    """Partition independent forms (name -> output expression) as one module;
    returns name -> that form's output in the partitioned module."""
    names = list(forms)
    mod = partition(*[forms[name] for name in names], **kwargs)
    body = mod["main"].body
    fields = list(body.fields) if len(names) > 1 else [body]
    return dict(zip(names, fields))


# ---------------------------------------------------------------- readers


def op_name(call):
    return call.op.name if isinstance(call, relay.Call) and isinstance(call.op, tvm.ir.Op) else None


def composite_of(func):
    if isinstance(func, relay.Function) and func.attrs and "Composite" in func.attrs:
        return str(func.attrs["Composite"])
    return None


def root_composite(expr):
    """The composite whose call produces `expr`, or None."""
    return composite_of(expr.op) if isinstance(expr, relay.Call) else None


def ops_in(expr):
    """Sorted operator names of every call in `expr`, function bodies included."""
    names = []
    relay.analysis.post_order_visit(expr, lambda node: names.append(op_name(node)) if op_name(node) else None)
    return tuple(sorted(names))


def inside(expr):
    """Sorted operator names inside the composite that produces `expr`."""
    assert root_composite(expr), f"not a composite call: {expr}"
    return ops_in(expr.op.body)


def composites(expr):
    """Counter of the composite names called anywhere in `expr`."""
    found = collections.Counter()

    def visit(node):
        if isinstance(node, relay.Call) and composite_of(node.op):
            found[composite_of(node.op)] += 1

    relay.analysis.post_order_visit(expr, visit)
    return found


def find_call(expr, name):
    """The first call of operator `name` met walking `expr` in post order."""
    found = []
    relay.analysis.post_order_visit(expr, lambda node: found.append(node) if op_name(node) == name else None)
    assert found, f"no {name} in expression"
    return found[0]


def ops(*names, **counts):
    """A sorted operator multiset: ops("nn.dense", reshape=2)."""
    out = list(names)
    for name, count in counts.items():
        out += [name.replace("__", ".")] * count
    return tuple(sorted(out))


# ---------------------------------------------------------------- CNN pieces


def conv(x, cin, cout, kernel=3, groups=1, bias=True, weight=None, seed=0):
    """An NCHW convolution as the frontends write it: conv2d, then nn.bias_add."""
    weight = tensor(cout, cin // groups, kernel, kernel, seed=seed) if weight is None else weight
    y = relay.nn.conv2d(x, weight, channels=cout, kernel_size=(kernel, kernel),
                        padding=(kernel // 2, kernel // 2), groups=groups)
    return relay.nn.bias_add(y, tensor(cout, seed=seed + 1)) if bias else y


def conv_nhwc(x, cin, cout, kernel=1, groups=1, seed=0):
    """A convolution already in NHWC/HWIO: ConvertLayout leaves it as it is."""
    w = tensor(kernel, kernel, cin // groups, cout, seed=seed)
    return relay.nn.conv2d(x, w, channels=cout, kernel_size=(kernel, kernel), padding=(kernel // 2, kernel // 2),
                           groups=groups, data_layout="NHWC", kernel_layout="HWIO")


def hswish(x):
    """x * clip(x + 3, 0, 6) / 6, as PyTorch's hardswish decomposes."""
    return relay.multiply(x, relay.divide(relay.clip(relay.add(x, f32(3.0)), 0.0, 6.0), f32(6.0)))


def hswish_onnx(x):
    """ONNX HardSwish as TVM imports it: x * clip(x * 1/6 + 0.5, 0, 1)."""
    return relay.multiply(x, relay.clip(relay.add(relay.multiply(x, f32(1.0 / 6.0)), f32(0.5)), 0.0, 1.0))


def silu(x):
    return relay.multiply(x, relay.sigmoid(x))


def nearest(x, size, rounding="round", layout="NCHW"):
    return relay.image.resize2d(x, size=size, layout=layout, method="nearest_neighbor", rounding_method=rounding)


# ---------------------------------------------------------------- transformer pieces

B, S, H, HD = 1, 8, 2, 8  # batch, sequence, heads, head size
D = H * HD


def dense(x, din, dout, seed=0, bias=True):
    """reshape, nn.dense with constant weights, reshape, then add(C, x): the
    Linear layer of an exported transformer."""
    y = relay.nn.dense(relay.reshape(x, (-1, din)), tensor(dout, din, seed=seed))
    y = relay.reshape(y, (B, S, dout))
    return relay.add(tensor(dout, seed=seed + 1), y) if bias else y


def layer_norm(x, dim=D, eps=1e-5, scale=True, shift=True, cast=None, variance="power", seed=0):
    """Layer normalisation written out as the ONNX importer leaves opset < 17."""
    if variance == "power":
        mean = relay.mean(x, axis=-1, keepdims=True)
        err = relay.subtract(x, mean)
        var_ = relay.mean(relay.power(err, f32(2.0)), axis=-1, keepdims=True)
    elif variance == "square_of_mean":  # E[x^2] - E[x]^2
        mean = relay.mean(x, axis=-1, keepdims=True)
        err = relay.subtract(x, mean)
        var_ = relay.subtract(relay.mean(relay.power(x, f32(2.0)), axis=-1, keepdims=True),
                              relay.power(mean, f32(2.0)))
    elif variance == "operator":
        mean = relay.mean(x, axis=-1, keepdims=True)
        err = relay.subtract(x, mean)
        var_ = relay.variance(x, axis=-1, keepdims=True)
    else:
        raise ValueError(variance)
    y = relay.divide(err, relay.sqrt(relay.add(var_, f32(eps))))
    if scale:
        y = relay.multiply(y, tensor(dim, seed=seed))
    if shift:
        y = relay.add(y, tensor(dim, seed=seed + 1))
    if cast:
        y = relay.cast(y, cast)
    return y


def gelu_tanh(x, sqrt_2_over_pi=None, regrouped=False):
    """gelu_new: 0.5 x (1 + tanh(sqrt(2/pi) (x + 0.044715 x^3))), in the operand
    order the exporters use."""
    c = f32(math.sqrt(2 / math.pi)) if sqrt_2_over_pi is None else sqrt_2_over_pi
    inner = relay.add(x, relay.multiply(relay.power(x, f32(3.0)), f32(0.044715)))
    bracket = relay.add(relay.tanh(relay.multiply(c, inner)), f32(1.0))
    if regrouped:  # (x * bracket) * 0.5
        return relay.multiply(relay.multiply(x, bracket), f32(0.5))
    return relay.multiply(relay.multiply(x, f32(0.5)), bracket)


def gelu_erf(x, reciprocal=False):
    """gelu: x (erf(x / sqrt 2) + 1) 0.5."""
    ratio = relay.multiply(x, f32(1 / math.sqrt(2.0))) if reciprocal else relay.divide(x, f32(math.sqrt(2.0)))
    return relay.multiply(relay.multiply(x, relay.add(relay.erf(ratio), f32(1.0))), f32(0.5))


def _split_heads(y, axes):
    """reshape, transpose, reshape to (B*H, ., .)."""
    y = relay.transpose(relay.reshape(y, (B, S, H, HD)), axes)
    return relay.reshape(y, (B * H, S, HD) if axes == (0, 2, 1, 3) else (B * H, HD, S))


def _merge_heads(y, merge=True):
    """reshape, transpose, reshape back to (B, S, D)."""
    if not merge:
        return y
    return relay.reshape(relay.transpose(relay.reshape(y, (B, H, S, HD)), (0, 2, 1, 3)), (B, S, D))


def attention(q, k, v, scale="divide", merge=True):
    """Multi-head attention with scores divided by sqrt(head size)
    ("multiply": multiplied by its reciprocal after the product)."""
    query = _split_heads(q, (0, 2, 1, 3))
    key = relay.transpose(_split_heads(k, (0, 2, 3, 1)), (0, 2, 1))
    scores = relay.reshape(relay.nn.batch_matmul(query, key), (B, H, S, S))
    if scale == "divide":
        scores = relay.divide(scores, f32(math.sqrt(HD)))
    else:
        scores = relay.multiply(scores, f32(1 / math.sqrt(HD)))
    probs = relay.reshape(relay.nn.softmax(scores), (B * H, S, S))
    value = relay.transpose(_split_heads(v, (0, 2, 1, 3)), (0, 2, 1))
    return _merge_heads(relay.nn.batch_matmul(probs, value), merge)


def _scaled_heads(y, axes):
    """reshape, transpose, multiply by a constant, reshape (query and key scaled before the product)."""
    y = relay.multiply(relay.transpose(relay.reshape(y, (B, S, H, HD)), axes), f32(HD ** -0.25))
    return relay.reshape(y, (B * H, S, HD) if axes == (0, 2, 1, 3) else (B * H, HD, S))


def attention_scaled_qk(q, k, v, casts=True, mask=None):
    """Query and key each scaled before the product, softmax between casts;
    `mask` adds a constant to the scores, constant first."""
    query = _scaled_heads(q, (0, 2, 1, 3))
    key = relay.transpose(_scaled_heads(k, (0, 2, 3, 1)), (0, 2, 1))
    scores = relay.reshape(relay.nn.batch_matmul(query, key), (B, H, S, S))
    if mask is not None:
        scores = relay.add(mask, scores)
    if casts:
        probs = relay.cast(relay.nn.softmax(relay.cast(scores, "float32")), "float32")
    else:
        probs = relay.nn.softmax(scores)
    probs = relay.reshape(probs, (B * H, S, S))
    value = relay.transpose(_split_heads(v, (0, 2, 1, 3)), (0, 2, 1))
    return _merge_heads(relay.nn.batch_matmul(probs, value))


def causal_mask():
    """True at the future positions, the ones masked_fill overwrites."""
    return relay.const(np.triu(np.ones((S, S), "bool"), 1).reshape(1, 1, S, S))


def attention_masked_split(qkv, other_split_for_key=False):
    """Query, key and value as the three outputs of one split of a fused
    projection; scores scaled by a multiply, then where(mask, fill, scores)
    with a constant mask and fill."""
    parts = relay.split(qkv, 3, axis=-1)
    key_parts = relay.split(qkv, 3, axis=-1) if other_split_for_key else parts
    query = _split_heads(parts[0], (0, 2, 1, 3))
    key = relay.transpose(_split_heads(key_parts[1], (0, 2, 3, 1)), (0, 2, 1))
    scores = relay.multiply(relay.reshape(relay.nn.batch_matmul(query, key), (B, H, S, S)), f32(1 / math.sqrt(HD)))
    scores = relay.where(causal_mask(), f32(-1e4), scores)
    probs = relay.reshape(relay.nn.softmax(scores), (B * H, S, S))
    value = relay.transpose(_split_heads(parts[2], (0, 2, 1, 3)), (0, 2, 1))
    return _merge_heads(relay.nn.batch_matmul(probs, value))


def _sliced_head(qkv, index):
    """strided_slice of the fused projection, reshape to (S, H, HD), transpose to heads."""
    part = relay.strided_slice(qkv, begin=[0, 0, index * D], end=[B, S, (index + 1) * D])
    return relay.transpose(relay.reshape(part, (S, H, HD)), (1, 0, 2))


def attention_sliced(qkv, query="sliced", key=None):
    """Query, key and value sliced out of one fused projection (B == 1).
    `query`: "sliced", "constant" (a learned query), or an expression of shape
    (B, S, D) that is only reshaped (a query projected on its own). `key`:
    None (sliced), or such an expression."""
    if isinstance(query, relay.Expr):
        q = relay.divide(relay.transpose(relay.reshape(query, (S, H, HD)), (1, 0, 2)), f32(math.sqrt(HD)))
    elif query == "sliced":
        q = relay.divide(_sliced_head(qkv, 0), f32(math.sqrt(HD)))
    elif query == "constant":
        q = tensor(H, S, HD, seed=5)
    else:
        raise ValueError(query)
    if key is None:
        key = relay.transpose(_sliced_head(qkv, 1), (0, 2, 1))
    else:
        key = relay.transpose(relay.transpose(relay.reshape(key, (S, H, HD)), (1, 0, 2)), (0, 2, 1))
    scores = relay.nn.batch_matmul(q, key, transpose_b=False)
    probs = relay.nn.softmax(relay.reshape(scores, (H, S, S)))
    value = relay.transpose(_sliced_head(qkv, 2), (0, 2, 1))
    return _merge_heads(relay.nn.batch_matmul(probs, value))


def encoder_layer(tokens, seed=0):
    """One post-norm encoder layer: projections, divide-form attention,
    residual adds, erf gelu, layer norms (eps 1e-5)."""
    q, k, v = (dense(tokens, D, D, seed=seed + i) for i in (0, 2, 4))
    h = layer_norm(relay.add(dense(attention(q, k, v), D, D, seed=seed + 6), tokens), seed=seed + 8)
    ff = dense(gelu_erf(dense(h, D, 4 * D, seed=seed + 10)), 4 * D, D, seed=seed + 12)
    return layer_norm(relay.add(ff, h), seed=seed + 14)


class _Host(relay.ExprVisitor):
    def __init__(self):
        super().__init__()
        self.calls = []

    def visit_call(self, call):
        if op_name(call):
            self.calls.append(call)
        if not composite_of(call.op):
            self.visit(call.op)
        for arg in call.args:
            self.visit(arg)


def host_calls(expr, name=None):
    """Operator calls left outside composites (optionally only those of `name`)."""
    visitor = _Host()
    visitor.visit(expr)
    return [call for call in visitor.calls if name is None or op_name(call) == name]


def host_ops(expr):
    return collections.Counter(op_name(call) for call in host_calls(expr))
