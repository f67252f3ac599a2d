"""What each float32 builder matches at the root of an expression, where the
partitioning would hide the difference (another entry, or the check, would
decide instead)."""

import math

import numpy as np
import pytest
from tvm import relay
from tvm.relay.op.contrib.register import get_pattern_table

from vexatvm_internal import patterns

from fp32_graphs import (B, D, S, attention, attention_masked_split, attention_scaled_qk, attention_sliced,
                         f32, gelu_erf, gelu_tanh, hswish, hswish_onnx, layer_norm, silu, tensor, var)


def x4(name="x"):
    return var(name, 1, 8, 8, 8)


def x3(name="x"):
    return var(name, B, S, D)


def qkv(name="qkv"):
    return var(name, B, S, 3 * D)


def dense(x, weight=None):
    return relay.nn.dense(x, tensor(16, 16) if weight is None else weight)


def cat(n):
    return relay.concatenate([x4(f"c{i}") for i in range(n)], axis=1)


def resize(x):
    return relay.image.resize2d(x, size=(16, 16), method="nearest_neighbor", rounding_method="round")


def pool(kind, x):
    if kind == "max":
        return relay.nn.max_pool2d(x, pool_size=(2, 2))
    if kind == "avg":
        return relay.nn.avg_pool2d(x, pool_size=(8, 8))
    if kind == "adaptive":
        return relay.nn.adaptive_avg_pool2d(x, output_size=(1, 1))
    return relay.nn.global_avg_pool2d(x)


def conv1d(weight):
    return relay.nn.conv1d(var("x", 1, 8, 16), weight, channels=8, kernel_size=3)


def tconv(weight):
    return relay.nn.conv2d_transpose(x4(), weight, channels=8, kernel_size=(2, 2), strides=(2, 2))


def qkv_vars(tag):
    return var(f"q{tag}", B, S, D), var(f"k{tag}", B, S, D), var(f"v{tag}", B, S, D)


def case(builder, make, expected, id):
    return pytest.param(builder, make, expected, id=f"{builder}-{id}")


CASES = [
    # Weights must be constants: a variable weight stays on the host.
    case("make_fp32_conv2d_pat", lambda: relay.nn.conv2d(x4(), tensor(8, 8, 3, 3), kernel_size=(3, 3)), True,
         "constant-weight"),
    case("make_fp32_conv2d_pat", lambda: relay.nn.conv2d(x4(), var("w", 8, 8, 3, 3), kernel_size=(3, 3)), False,
         "variable-weight"),
    case("make_fp32_conv1d_pat", lambda: conv1d(tensor(8, 8, 3)), True, "constant-weight"),
    case("make_fp32_conv1d_pat", lambda: conv1d(var("w", 8, 8, 3)), False, "variable-weight"),
    case("make_fp32_tconv2d_pat", lambda: tconv(tensor(8, 8, 2, 2)), True, "constant-weight"),
    case("make_fp32_tconv2d_pat", lambda: tconv(var("w", 8, 8, 2, 2)), False, "variable-weight"),
    # Bias add: add or nn.bias_add of data and a constant.
    case("make_fp32_bias_add_pat", lambda: relay.add(x4(), tensor(8)), True, "add"),
    case("make_fp32_bias_add_pat", lambda: relay.nn.bias_add(x4(), tensor(8)), True, "bias_add"),
    case("make_fp32_bias_add_pat", lambda: relay.add(x4(), var("b", 8)), False, "add-of-variable"),
    case("make_fp32_bias_add_pat", lambda: relay.nn.bias_add(x4(), var("b", 8)), False, "bias_add-of-variable"),
    case("make_fp32_bias_add_pat", lambda: relay.subtract(x4(), tensor(8)), False, "subtract"),
    # Residual add, optionally under a cast; any operands (the check rejects constants).
    case("make_fp32_res_add_pat", lambda: relay.add(x4("a"), x4("b")), True, "add"),
    case("make_fp32_res_add_pat", lambda: relay.cast(relay.add(x4("a"), x4("b")), "float16"), True, "cast-of-add"),
    case("make_fp32_res_add_pat", lambda: relay.add(tensor(8), tensor(8)), True, "add-of-constants"),
    case("make_fp32_res_add_pat", lambda: relay.cast(relay.subtract(x4("a"), x4("b")), "float16"), False,
         "cast-of-subtract"),
    case("make_fp32_res_add_pat", lambda: relay.cast(relay.cast(relay.add(x4("a"), x4("b")), "float16"),
                                                      "float32"), False, "two-casts"),
    case("make_fp32_res_add_constant_pat", lambda: relay.add(tensor(1, 8, 8, 8), x4()), True, "constant-first"),
    case("make_fp32_res_add_constant_pat", lambda: relay.add(x4("a"), x4("b")), False, "no-constant"),
    case("make_fp32_3d_add_broadcast_pat", lambda: relay.add(tensor(D), x3()), True, "constant-first"),
    case("make_fp32_3d_add_broadcast_pat", lambda: relay.add(x3("a"), x3("b")), False, "no-constant"),
    case("make_fp32_2d_add_broadcast_pat", lambda: relay.reshape(relay.add(var("x", 8, 16), tensor(16)), (1, 8, 16)),
         True, "reshape-of-add"),
    case("make_fp32_2d_add_broadcast_pat", lambda: relay.add(var("x", 8, 16), tensor(16)), False, "no-reshape"),
    case("make_fp32_2d_add_broadcast_pat", lambda: relay.reshape(relay.add(var("x", 8, 16), var("b", 16)),
                                                                  (1, 8, 16)), False, "add-of-variable"),
    # Pooling.
    case("make_fp32_avg_pool2d_pat", lambda: pool("adaptive", x4()), True, "adaptive"),
    case("make_fp32_avg_pool2d_pat", lambda: pool("avg", x4()), True, "avg"),
    case("make_fp32_avg_pool2d_pat", lambda: pool("global", x4()), False, "global"),
    case("make_fp32_avg_pool2d_onnx_pat", lambda: pool("global", x4()), True, "global"),
    case("make_fp32_avg_pool2d_onnx_pat", lambda: pool("adaptive", x4()), False, "adaptive"),
    case("make_fp32_maxpool2d_pat", lambda: pool("max", x4()), True, "bare"),
    case("make_fp32_maxpool2d_pat", lambda: pool("max", relay.nn.pad(x4(), ((0, 0),) * 2 + ((1, 1),) * 2, 0.0)), True,
         "zero-pad"),
    case("make_fp32_maxpool2d_pat", lambda: pool("avg", x4()), False, "avg"),
    # Dense with constant weights, optionally between reshapes.
    case("make_fp32_matmul_pat", lambda: relay.reshape(dense(relay.reshape(x3(), (S, D))), (B, S, D)), True,
         "between-reshapes"),
    case("make_fp32_matmul_pat", lambda: dense(relay.reshape(x3(), (S, D))), True, "after-reshape"),
    case("make_fp32_matmul_pat", lambda: relay.reshape(dense(var("x", S, D)), (B, S, D)), True, "before-reshape"),
    case("make_fp32_matmul_pat", lambda: dense(var("x", S, D)), True, "bare"),
    case("make_fp32_matmul_pat", lambda: dense(var("x", S, D), var("w", 16, 16)), False, "variable-weight"),
    case("make_fp32_matmul_pat", lambda: relay.nn.matmul(var("x", S, D), tensor(16, 16)), False, "nn.matmul"),
    # silu: one x on both sides.
    case("make_fp32_silu_pat", lambda: silu(x4()), True, "x-sigmoid-x"),
    case("make_fp32_silu_pat", lambda: relay.multiply(x4(), relay.sigmoid(x4("y"))), False, "x-sigmoid-y"),
    case("make_fp32_silu_pat", lambda: relay.multiply(x4(), relay.tanh(x4())), False, "tanh"),
    # hswish: 3.0 and 6.0 exactly, float32 scalars.
    case("make_fp32_hswish_pat", lambda: hswish(x4()), True, "divide-by-6"),
    case("make_fp32_hswish_pat", lambda: (lambda x: relay.multiply(relay.multiply(
        x, relay.clip(relay.add(x, f32(3.0)), 0.0, 6.0)), f32(1 / 6)))(x4()), False, "times-one-sixth"),
    case("make_fp32_hswish_pat", lambda: (lambda x: relay.multiply(x, relay.divide(
        relay.clip(relay.add(x, relay.const(np.array([3.0], "float32"))), 0.0, 6.0), f32(6.0))))(x4()), False,
         "shape-1-constant"),
    case("make_fp32_hswish_pat", lambda: (lambda x: relay.multiply(x, relay.divide(
        relay.clip(relay.add(x, f32(3.0)), 0.0, 6.0), relay.const(6.0, "float64"))))(x4()), False,
         "float64-constant"),
    case("make_fp32_hswish_pat", lambda: relay.multiply(x4(), relay.divide(
        relay.clip(relay.add(x4("y"), f32(3.0)), 0.0, 6.0), f32(6.0))), False, "two-inputs"),
    # The clip bounds are not part of the pattern.
    case("make_fp32_hswish_pat", lambda: (lambda x: relay.multiply(x, relay.divide(
        relay.clip(relay.add(x, f32(3.0)), -1.0, 100.0), f32(6.0))))(x4()), True, "any-clip-bounds"),
    case("make_fp32_hswish_onnx_pat", lambda: hswish_onnx(x4()), True, "one-sixth"),
    case("make_fp32_hswish_onnx_pat", lambda: (lambda x: relay.multiply(x, relay.clip(relay.add(
        relay.multiply(x, relay.const(np.float32(1 / 6))), relay.const(np.float32(0.5))), 0.0, 1.0)))(x4()), True,
         "numpy-float32-constants"),
    # ONNX HardSigmoid's default alpha is 0.2: that is not a hard-swish.
    case("make_fp32_hswish_onnx_pat", lambda: (lambda x: relay.multiply(x, relay.clip(relay.add(
        relay.multiply(x, f32(0.2)), f32(0.5)), 0.0, 1.0)))(x4()), False, "alpha-0.2"),
    # Concatenation of 2 to 7 inputs.
    *[case("make_f32_concatenate_pat", (lambda n: lambda: cat(n))(n), 2 <= n <= 7, f"{n}-inputs") for n in range(1, 10)],
    case("make_fp32_concat_upsampling_pat", lambda: resize(cat(2)), True, "2-inputs"),
    case("make_fp32_concat_upsampling_pat", lambda: resize(cat(7)), True, "7-inputs"),
    case("make_fp32_concat_upsampling_pat", lambda: resize(cat(8)), False, "8-inputs"),
    case("make_fp32_concat_upsampling_pat", lambda: resize(x4()), False, "no-concatenate"),
    # gelu, tanh and erf forms with the exporters' operand placement.
    case("make_fp32_gelu_pat", lambda: gelu_tanh(x3()), True, "tanh"),
    case("make_fp32_gelu_pat", lambda: gelu_erf(x3()), True, "erf"),
    case("make_fp32_gelu_pat", lambda: gelu_tanh(x3(), regrouped=True), False, "tanh-regrouped"),
    # sqrt(2/pi) computed in float64 and cast: a call, not a float32 constant.
    case("make_fp32_gelu_pat", lambda: gelu_tanh(x3(), relay.cast(relay.const(math.sqrt(2 / math.pi), "float64"),
                                                                  "float32")), False, "tanh-float64-cast"),
    case("make_fp32_gelu_pat", lambda: gelu_tanh(x3(), f32(0.7978)), False, "tanh-rounded-constant"),
    case("make_fp32_gelu_pat", lambda: gelu_tanh(x3(), relay.const(np.float32(math.sqrt(2 / math.pi)))), True,
         "tanh-numpy-float32"),
    case("make_fp32_gelu_pat", lambda: gelu_erf(x3(), reciprocal=True), False, "erf-times-reciprocal"),
    case("make_fp32_gelu_pat", lambda: (lambda x: relay.multiply(relay.multiply(x, relay.add(relay.erf(
        relay.divide(x, f32(math.sqrt(2.0)))), f32(1.0))), f32(0.5)))(x3()), True, "erf-exported"),
    case("make_fp32_gelu_pat", lambda: (lambda x: relay.multiply(relay.multiply(x, relay.add(relay.erf(
        relay.divide(x, f32(1.414))), f32(1.0))), f32(0.5)))(x3()), False, "erf-rounded-constant"),
    # Layer normalisation, epsilon 1e-5 exactly; the scale is required.
    case("make_fp32_layer_norm_pat", lambda: layer_norm(x3()), True, "scale-shift"),
    case("make_fp32_layer_norm_pat", lambda: layer_norm(x3(), shift=False), True, "scale"),
    case("make_fp32_layer_norm_pat", lambda: layer_norm(x3(), cast="float16"), True, "scale-shift-cast"),
    case("make_fp32_layer_norm_pat", lambda: layer_norm(x3(), shift=False, cast="float16"), True, "scale-cast"),
    case("make_fp32_layer_norm_pat", lambda: (lambda x: relay.add(relay.multiply(relay.divide(
        relay.subtract(x, relay.mean(x, axis=1, keepdims=True)),
        relay.sqrt(relay.add(relay.mean(relay.power(relay.subtract(x, relay.mean(x, axis=1, keepdims=True)),
                                                    f32(2.0)), axis=1, keepdims=True), f32(1e-5)))),
        tensor(D)), tensor(D)))(x3()), False, "centred-input-computed-twice"),
    case("make_fp32_layer_norm_pat", lambda: (lambda x: (lambda err: relay.multiply(relay.divide(err, relay.sqrt(
        relay.add(relay.mean(relay.power(err, f32(2.0)), axis=1, keepdims=True), f32(1e-5)))), tensor(S, 1)))(
        relay.subtract(x, relay.mean(x, axis=1, keepdims=True))))(x3()), True, "other-reduction-axis"),
    case("make_fp32_layer_norm_pat", lambda: layer_norm(x3(), eps=1e-6), False, "eps-1e-6"),
    case("make_fp32_layer_norm_pat", lambda: layer_norm(x3(), eps=1e-12), False, "eps-1e-12"),
    case("make_fp32_layer_norm_pat", lambda: layer_norm(x3(), scale=False), False, "shift-without-scale"),
    case("make_fp32_layer_norm_pat", lambda: layer_norm(x3(), scale=False, shift=False), False, "no-affine"),
    case("make_fp32_layer_norm_pat", lambda: layer_norm(x3(), variance="square_of_mean"), False,
         "mean-of-squares"),
    case("make_fp32_layer_norm_pat", lambda: layer_norm(x3(), variance="operator"), False, "variance-operator"),
    case("make_fp32_layer_norm_pat", lambda: relay.multiply(layer_norm(x3(), scale=False, shift=False),
                                                            var("gamma", D)), False, "variable-scale"),
    # Attention blocks.
    case("make_fp32_attention_pat", lambda: attention(*qkv_vars(0)), True, "divide"),
    case("make_fp32_attention_pat", lambda: attention(*qkv_vars(0), scale="multiply"), False, "multiply-after-product"),
    case("make_fp32_attention_pat", lambda: attention(*qkv_vars(0), merge=False), False, "no-head-merge"),
    case("make_fp32_attention_pat", lambda: attention_scaled_qk(*qkv_vars(0)), False, "scaled-query-key"),
    case("make_fp32_attention_pat2", lambda: attention_scaled_qk(*qkv_vars(0)), True, "scaled-query-key-casts"),
    case("make_fp32_attention_pat2", lambda: attention_scaled_qk(*qkv_vars(0), casts=False), False, "no-casts"),
    case("make_fp32_attention_pat2", lambda: attention(*qkv_vars(0), scale="multiply"), False,
         "multiply-after-product"),
    case("make_fp32_masked_attention_pat", lambda: attention_masked_split(qkv()), True, "one-split"),
    case("make_fp32_masked_attention_pat", lambda: attention_masked_split(qkv(), other_split_for_key=True), False,
         "key-from-another-split"),
    case("make_fp32_masked_attention_pat", lambda: attention(*qkv_vars(0), scale="multiply"), False,
         "no-split-no-where"),
    case("make_fp32_masked_attention_pat2", lambda: attention_scaled_qk(*qkv_vars(0), mask=tensor(1, 1, S, S)), True,
         "constant-mask"),
    case("make_fp32_masked_attention_pat2", lambda: attention_scaled_qk(*qkv_vars(0), mask=var("m", 1, 1, S, S)),
         False, "computed-mask"),
    case("make_fp32_masked_attention_pat2", lambda: attention_scaled_qk(*qkv_vars(0), mask=tensor(1, 1, S, S),
                                                                         casts=False), False, "no-casts"),
    case("make_fp32_attention_sliced_pat", lambda: attention_sliced(qkv()), True, "sliced-query"),
    case("make_fp32_attention_sliced_pat", lambda: attention_sliced(qkv(), query=x3("q")), True, "reshaped-query"),
    case("make_fp32_attention_sliced_pat", lambda: attention_sliced(qkv(), query="constant"), False,
         "constant-query"),
    case("make_fp32_attention_sliced_pat", lambda: attention_sliced(qkv(), key=x3("k")), False, "key-not-sliced"),
]


@pytest.mark.parametrize("builder, make, expected", CASES)
def test_builder_matches(builder, make, expected):
    assert getattr(patterns, builder)().match(make()) is expected


@pytest.mark.parametrize(
    "with_constant_query, make, expected",
    [
        pytest.param(True, lambda: attention_sliced(qkv(), query="constant"), True, id="constant-query"),
        pytest.param(True, lambda: attention_sliced(qkv()), False, id="computed-query"),
        pytest.param(1, lambda: attention_sliced(qkv(), query="constant"), True, id="truthy-int"),
        pytest.param(None, lambda: attention_sliced(qkv()), True, id="none"),
        pytest.param(0, lambda: attention_sliced(qkv()), True, id="falsy-int"),
        pytest.param([], lambda: attention_sliced(qkv(), query="constant"), False, id="empty-list"),
    ],
)
def test_sliced_attention_with_constant_query(with_constant_query, make, expected):
    by_keyword = patterns.make_fp32_attention_sliced_pat(with_constant_query=with_constant_query)
    by_position = patterns.make_fp32_attention_sliced_pat(with_constant_query)
    assert by_keyword.match(make()) is expected
    assert by_position.match(make()) is expected


@pytest.mark.parametrize(
    "builder, make",
    [
        pytest.param("make_fp32_bias_add_pat", lambda: relay.add(tensor(8), x4()), id="bias-add-constant-first"),
        pytest.param("make_fp32_res_add_constant_pat", lambda: relay.add(x4(), tensor(1, 8, 8, 8)),
                     id="constant-add-data-first"),
        pytest.param("make_fp32_3d_add_broadcast_pat", lambda: relay.add(x3(), tensor(D)), id="broadcast-data-first"),
        pytest.param("make_fp32_silu_pat", lambda: (lambda x: relay.multiply(relay.sigmoid(x), x))(x4()),
                     id="silu-swapped"),
        pytest.param("make_fp32_hswish_pat", lambda: (lambda x: relay.multiply(relay.divide(
            relay.clip(relay.add(f32(3.0), x), 0.0, 6.0), f32(6.0)), x))(x4()), id="hswish-swapped"),
    ],
)
def test_matcher_treats_add_and_multiply_as_commutative(builder, make):
    # A fact of TVM 0.19's matcher, not of the patterns: operand order does not
    # keep these apart; on real graphs the checks do.
    assert getattr(patterns, builder)().match(make())


# One form each registered entry must claim, by composite name.
SAMPLES = {
    "vexa_fp32.conv2d": lambda: relay.nn.conv2d(x4(), tensor(8, 8, 3, 3), kernel_size=(3, 3)),
    "vexa_fp32.tconv2d": lambda: tconv(tensor(8, 8, 2, 2)),
    "vexa_fp32.bias_add": lambda: relay.nn.bias_add(x4(), tensor(8)),
    "vexa_fp32.maxpool2d": lambda: pool("max", relay.nn.pad(x4(), ((0, 0),) * 2 + ((1, 1),) * 2, 0.0)),
    "vexa_fp32.leaky_relu": lambda: relay.nn.leaky_relu(x4()),
    "vexa_fp32.silu": lambda: silu(x4()),
    "vexa_fp32.hswish": lambda: hswish(x4()),
    "vexa_fp32.hswish_onnx": lambda: hswish_onnx(x4()),
    "vexa_fp32.gelu": lambda: gelu_tanh(x3()),
    "vexa_fp32.layer_norm": lambda: layer_norm(x3(), cast="float16"),
    "vexa_fp32.attention_sliced": lambda: attention_sliced(qkv()),
    "vexa_fp32.attention": lambda: attention(*qkv_vars(0)),
    "vexa_fp32.masked_attention": lambda: attention_masked_split(qkv()),
    "vexa_fp32.attention_const_query": lambda: attention_sliced(qkv(), query="constant"),
    "vexa_fp32.matmul": lambda: relay.reshape(dense(relay.reshape(x3(), (S, D))), (B, S, D)),
    "vexa_fp32.3d_add_broadcast": lambda: relay.add(tensor(D), x3()),
    "vexa_fp32.2d_add_broadcast": lambda: relay.reshape(relay.add(var("x", 8, 16), tensor(16)), (1, 8, 16)),
    "vexa_fp32.res_add": lambda: relay.cast(relay.add(x4("a"), x4("b")), "float16"),
    "vexa_fp32.res_add_constant": lambda: relay.add(tensor(1, 8, 8, 8), x4()),
    "vexa_fp32.relu": lambda: relay.nn.relu(x4()),
    "vexa_fp32.avg_pool2d": lambda: pool("adaptive", x4()),
    "vexa_fp32.avg_pool2d_onnx": lambda: pool("global", x4()),
    "vexa_fp32.upsampling_concat": lambda: resize(cat(3)),
    "vexa_fp32.upsampling": lambda: resize(x4()),
    "vexa_fp32.hardtanh": lambda: relay.clip(x4(), 0.0, 6.0),
    "vexa_fp32.sigmoid": lambda: relay.sigmoid(x4()),
    "vexa_fp32.transpose_nop": lambda: relay.transpose(x4(), (0, 2, 3, 1)),
    "vexa_fp32.cast_nop": lambda: relay.cast(x4(), "float32"),
    "vexa_fp32.concatenate": lambda: cat(2),
}


@pytest.mark.parametrize("table", ["vexa_fp32", "vexa_fp32_quantizer"])
def test_registered_patterns_claim_their_forms(table):
    for name, pattern, _ in get_pattern_table(table):
        assert pattern.match(SAMPLES[name]()), name


@pytest.mark.parametrize(
    "entry, side, sample, expected",
    [
        # The alternatives of entries 12 and 13: the first builder on the left.
        (11, "left", lambda: attention(*qkv_vars(0)), True),
        (11, "left", lambda: attention_scaled_qk(*qkv_vars(0)), False),
        (11, "right", lambda: attention_scaled_qk(*qkv_vars(0)), True),
        (12, "left", lambda: attention_masked_split(qkv()), True),
        (12, "left", lambda: attention_scaled_qk(*qkv_vars(0), mask=tensor(1, 1, S, S)), False),
        (12, "right", lambda: attention_scaled_qk(*qkv_vars(0), mask=tensor(1, 1, S, S)), True),
        # Entry 11 takes a computed query, entry 14 a constant one.
        (10, None, lambda: attention_sliced(qkv(), query="constant"), False),
        (13, None, lambda: attention_sliced(qkv()), False),
    ],
)
def test_registered_attention_entries(entry, side, sample, expected):
    pattern = get_pattern_table("vexa_fp32")[entry][1]
    if side:
        pattern = getattr(pattern, side)
    assert pattern.match(sample()) is expected
