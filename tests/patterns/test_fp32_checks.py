"""The float32 checks called on typed expressions: their decisions, the values
they return (MergeComposite accepts only bool or int), the order in which
they decide, and the errors they let through."""

import numpy as np
import pytest
import tvm
from tvm import relay

from vexatvm_internal import patterns
from vexatvm_standins.relay_traversal import current_graph

from fp32_graphs import BASE, NANO, NANO_KOV2, PRO, arch, conv_nhwc, find_call, tensor, typed, typed_module, var

# Limits picked inline so the boundaries are cheap to reach.
LIMITS = {"base": PRO, "channels": 8, "max_kernel_side": 4}
NARROW = {"base": PRO, "channels": 4, "max_kernel_side": 8}
NO_FLAG = {"channels": 16, "max_kernel_side": 3}  # defines no "has_kov2" at all


def region(*shape, dtype="float32", composite="vexa_fp32.conv2d"):
    """The output of a region an earlier entry captured: a call of a composite function."""
    p = relay.var("p", shape=shape, dtype=dtype)
    func = relay.Function([p], relay.negative(p)).with_attr("Composite", composite)
    return relay.Call(func, [var("r", *shape, dtype=dtype)])


def decide(check, expr, arch_value=PRO):
    with arch(arch_value):
        return getattr(patterns, check)(typed(expr))


def explained(check, expr, arch_value=PRO):
    with arch(arch_value):
        return patterns.explain_check(getattr(patterns, check), typed(expr))


def row(check, make, expected, id, arch_value=PRO):
    return pytest.param(check, make, arch_value, expected, id=f"{check}-{id}")


def run(check, make, arch_value, expected):
    # `is`: the value must be the bool itself, not merely truthy.
    assert decide(check, make(), arch_value) is expected
    # Explained, the verdict is the same, and a refusal says why.
    verdict, reason = explained(check, make(), arch_value)
    assert verdict is expected and bool(reason) is (not expected)


BIAS = "check_fp32_bias_add"
BIAS_ADD = [
    row(BIAS, lambda: relay.add(region(1, 8, 8, 16), tensor(16)), True, "nhwc-vector"),
    row(BIAS, lambda: relay.nn.bias_add(region(1, 8, 8, 16), tensor(16), axis=3), True, "nhwc-bias_add"),
    row(BIAS, lambda: relay.nn.bias_add(region(1, 8, 8, 16), tensor(8), axis=1), False, "nchw-vector"),
    row(BIAS, lambda: relay.add(region(1, 8, 8, 16), tensor(1, 16)), False, "rank-2-bias"),
    # What the driver's preparation leaves of every per-channel bias.
    row(BIAS, lambda: relay.add(region(1, 8, 8, 16), tensor(1, 1, 1, 16)), False, "rank-4-bias"),
    row(BIAS, lambda: relay.nn.bias_add(region(1, 16, 5), tensor(16), axis=1), True, "3d-channels-second"),
    row(BIAS, lambda: relay.add(region(1, 16, 5), tensor(5)), False, "3d-last-axis"),
    row(BIAS, lambda: relay.add(region(1, 16, 5), tensor(1, 16, 1)), False, "3d-rank-3-bias"),
    row(BIAS, lambda: relay.add(region(4, 16), tensor(1, 16)), True, "rank-2-data-any-bias"),
    row(BIAS, lambda: relay.add(region(1, 2, 3, 4, 5), tensor(1, 1, 1, 1, 5)), True, "rank-5-data-any-bias"),
    row(BIAS, lambda: relay.add(var("x", 1, 8, 8, 16), tensor(16)), False, "graph-input"),
    row(BIAS, lambda: relay.add(relay.nn.relu(var("x", 1, 8, 8, 16)), tensor(16)), False, "primitive-call"),
    row(BIAS, lambda: relay.add(region(1, 8, 8, 16, dtype="float16"), tensor(16, dtype="float16")), False,
        "float16"),
    row(BIAS, lambda: relay.add(region(1, 8, 8, 16), tensor(16)), True, "nano", NANO),
]

BCAST = "check_fp32_3d_add_broadcast"
BROADCAST = [
    row(BCAST, lambda: relay.add(tensor(64), var("x", 1, 10, 64)), True, "vector-over-last-axis"),
    row(BCAST, lambda: relay.add(tensor(64), var("x", 1, 10, 64)), False, "nano", NANO),
    row(BCAST, lambda: relay.add(tensor(64), var("x", 1, 10, 64)), True, "nano-with-flag", NANO_KOV2),
    row(BCAST, lambda: relay.add(tensor(64), var("x", 1, 64)), False, "2d-data"),
    row(BCAST, lambda: relay.add(tensor(1, 64), var("x", 1, 10, 64)), False, "2d-constant"),
    row(BCAST, lambda: relay.add(tensor(1), var("x", 1, 10, 64)), False, "length-1-constant"),
    row(BCAST, lambda: relay.add(tensor(64, dtype="float16"), var("x", 1, 10, 64, dtype="float16")), False,
        "float16"),
]

RES = "check_fp32_res_add"
RESIDUAL = [
    row(RES, lambda: relay.add(var("a", 1, 8), var("b", 1, 8)), True, "same-shape"),
    row(RES, lambda: relay.add(var("a", 1, 8), var("b", 1, 8)), True, "nano", NANO),
    row(RES, lambda: relay.add(var("a", 1, 8), var("b", 8)), False, "broadcast"),
    row(RES, lambda: relay.cast(relay.add(var("a", 1, 8), var("b", 1, 8)), "float32"), True, "under-cast"),
    row(RES, lambda: relay.cast(relay.add(var("a", 1, 8), var("b", 8)), "float32"), False, "broadcast-under-cast"),
    row(RES, lambda: relay.add(tensor(1, 8), var("b", 1, 8)), False, "constant-left"),
    row(RES, lambda: relay.add(var("a", 1, 8), tensor(1, 8)), False, "constant-right"),
    # The dtype examined is the root's: the cast's output.
    row(RES, lambda: relay.cast(relay.add(var("a", 1, 8, dtype="float16"), var("b", 1, 8, dtype="float16")),
                                "float32"), True, "float16-add-cast-to-float32"),
    row(RES, lambda: relay.cast(relay.add(var("a", 1, 8), var("b", 1, 8)), "float16"), False, "cast-to-float16"),
    row(RES, lambda: relay.add(var("a", 1, 8, dtype="float16"), var("b", 1, 8, dtype="float16")), False, "float16"),
    row(RES, lambda: relay.negative(var("a", 1, 8)), False, "one-operand"),
    row(RES, lambda: relay.cast(relay.negative(var("a", 1, 8)), "float32"), False, "one-operand-under-cast"),
]

RESC = "check_fp32_res_add_constant"
RESIDUAL_CONSTANT = [
    row(RESC, lambda: relay.add(tensor(1, 8), var("x", 1, 8)), True, "full-shape"),
    row(RESC, lambda: relay.add(tensor(1, 8), var("x", 1, 8)), False, "nano", NANO),
    row(RESC, lambda: relay.add(tensor(8), var("x", 1, 8)), False, "broadcast"),
    row(RESC, lambda: relay.add(var("x", 1, 8), tensor(1, 8)), False, "constant-second"),
    row(RESC, lambda: relay.add(tensor(1, 8), tensor(1, 8)), False, "two-constants"),
    row(RESC, lambda: relay.add(tensor(1, 8, dtype="float16"), var("x", 1, 8, dtype="float16")), False, "float16"),
    row(RESC, lambda: relay.negative(tensor(1, 8)), False, "one-operand"),
]


def resize(method, rounding, data=None):
    data = var("x", 1, 4, 4, 8) if data is None else data
    return relay.image.resize2d(data, size=(8, 8), layout="NHWC", method=method, rounding_method=rounding)


UP = "check_fp32_upsampling"
UPSAMPLING = [
    *[row(UP, (lambda m, r: lambda: resize(m, r))(method, rounding), expected, f"{method}-{rounding or 'none'}")
      for method, rounding, expected in [
          ("nearest_neighbor", "round", True),
          ("nearest_neighbor", "", True),
          ("nearest_neighbor", "floor", False),
          ("nearest_neighbor", "ceil", False),
          ("nearest_neighbor", "round_prefer_floor", False),  # ONNX Resize's default nearest_mode
          ("nearest_neighbor", "round_prefer_ceil", False),
          ("linear", "", True),
          ("linear", "floor", True),
          ("bilinear", "", True),
          ("bilinear", "ceil", True),
          ("cubic", "", False),
          ("cubic", "round", False),
      ]],
    row(UP, lambda: resize("linear", "", tensor(1, 4, 4, 8)), False, "constant-input"),
    # Op names compare by name: str() of an Op reads "Op(concatenate)".
    row(UP, lambda: resize("linear", "", relay.concatenate([var("a", 1, 4, 4, 4), var("b", 1, 4, 4, 4)], 3)), False,
        "concatenate-input"),
    row(UP, lambda: resize("linear", "", relay.nn.relu(relay.concatenate([var("a", 1, 4, 4, 4),
                                                                          var("b", 1, 4, 4, 4)], 3))), True,
        "relu-of-concatenate-input"),
    row(UP, lambda: resize("linear", "", var("x", 1, 4, 4, 8, dtype="float16")), False, "float16"),
]


def gap(shape, kind="adaptive", layout="NHWC", dtype="float32", output=(1, 1)):
    x = var("x", *shape, dtype=dtype)
    if kind == "adaptive":
        return relay.nn.adaptive_avg_pool2d(x, output_size=output, layout=layout)
    if kind == "global":
        return relay.nn.global_avg_pool2d(x, layout=layout)
    return relay.nn.avg_pool2d(x, pool_size=shape[1:3], layout=layout)


AVG = "check_avg_pool2d"
AVG_POOL = [
    # Index 1 and 2 against "channels", and against "max_kernel_side" (the
    # spatial extent of NHWC input); the limits pass.
    row(AVG, lambda: gap((1, 4, 4, 8)), True, "at-limits", LIMITS),
    row(AVG, lambda: gap((1, 9, 4, 4)), False, "dim1-over-channels", LIMITS),
    row(AVG, lambda: gap((1, 4, 5, 4)), False, "dim2-over-channels", NARROW),
    row(AVG, lambda: gap((1, 5, 4, 4)), False, "dim1-over-kernel-side", LIMITS),
    row(AVG, lambda: gap((1, 4, 5, 4)), False, "dim2-over-kernel-side", LIMITS),
    # The channel count is no kernel side: a real global pool of 512 channels.
    row(AVG, lambda: gap((1, 4, 4, 9)), True, "channels-over-kernel-side", LIMITS),
    row(AVG, lambda: gap((1, 7, 7, 512)), True, "pro-512-channels"),
    row(AVG, lambda: gap((1, 4, 4, 8), kind="global"), True, "global-at-limits", LIMITS),
    row(AVG, lambda: gap((1, 4, 4, 4), kind="avg"), True, "avg-pool-to-1x1", LIMITS),
    row(AVG, lambda: gap((1, 4, 4, 4), output=(2, 2)), False, "output-2x2", LIMITS),
    # NCHW output (1, C, 1, 1) fails the 1-by-1 test unless C is 1.
    row(AVG, lambda: gap((1, 4, 4, 4), kind="global", layout="NCHW"), False, "nchw", LIMITS),
    row(AVG, lambda: gap((1, 1, 4, 4), kind="global", layout="NCHW"), True, "nchw-one-channel", LIMITS),
    row(AVG, lambda: gap((1, 8, 8, 8)), True, "pro"),
    row(AVG, lambda: gap((1, 8, 8, 8)), False, "nano", NANO),
    row(AVG, lambda: gap((1, 7, 7, 7)), True, "nano-at-kernel-side", NANO),
    row(AVG, lambda: gap((1, 4, 4, 8), dtype="float16"), False, "float16", LIMITS),
]

HT = "check_fp32_hardtanh"
HARDTANH = [
    row(HT, lambda: relay.clip(var("x", 1, 8), 0.0, 6.0), True, "relu6"),
    row(HT, lambda: relay.clip(var("x", 1, 8), 0.0, 1e30), True, "any-upper-bound"),
    row(HT, lambda: relay.clip(var("x", 1, 8), -0.0, 6.0), True, "negative-zero"),
    row(HT, lambda: relay.clip(var("x", 1, 8), -1.0, 1.0), False, "minus-one"),
    row(HT, lambda: relay.clip(var("x", 1, 8), 0.5, 6.0), False, "half"),
    row(HT, lambda: relay.clip(var("x", 1, 8, dtype="float16"), 0.0, 6.0), False, "float16"),
]


def tconv(groups=1, dilation=(1, 1), strides=(2, 2), kernel=(2, 2), dtype="float32"):
    x = var("x", 1, 4, 8, 8, dtype=dtype)
    w = tensor(4, 4 // groups, *kernel, dtype=dtype)
    return relay.nn.conv2d_transpose(x, w, channels=4, kernel_size=kernel, strides=strides, dilation=dilation,
                                     groups=groups)


TC = "check_fp32_tconv2d"
TCONV = [
    row(TC, lambda: tconv(), True, "stride-equals-kernel"),
    row(TC, lambda: tconv(), True, "base", BASE),
    row(TC, lambda: tconv(), False, "nano-lacks-support", NANO),
    row(TC, lambda: tconv(), True, "nano-with-operator", {"base": NANO, "operators": ["TransposedConv2d"]}),
    row(TC, lambda: tconv(), False, "pro-without-operator", {"base": PRO, "operators": ["Conv2d"]}),
    row(TC, lambda: tconv(groups=2), False, "groups-2"),
    row(TC, lambda: tconv(dilation=(2, 1)), False, "dilation-2-1"),
    row(TC, lambda: tconv(dilation=(1, 2)), False, "dilation-1-2"),
    row(TC, lambda: tconv(strides=(3, 3)), False, "stride-over-kernel"),
    row(TC, lambda: tconv(strides=(3, 1), kernel=(2, 3)), False, "stride-x-over-kernel"),
    row(TC, lambda: tconv(strides=(1, 3), kernel=(3, 2)), False, "stride-y-over-kernel"),
    row(TC, lambda: tconv(strides=(3, 3), kernel=(3, 3)), True, "stride-3-kernel-3"),
    row(TC, lambda: tconv(strides=(1, 1), kernel=(3, 3)), True, "stride-under-kernel"),
    row(TC, lambda: tconv(dtype="float16"), False, "float16"),
]


def transpose(shape, axes, dtype="float32"):
    return relay.transpose(var("x", *shape, dtype=dtype), axes)


TN = "check_fp32_transpose_nop"
TRANSPOSE = [
    row(TN, lambda: transpose((4, 1, 8), (0, 2, 1)), True, "one-moved-extent"),
    row(TN, lambda: transpose((4, 2, 8), (0, 2, 1)), False, "two-moved-extents"),
    row(TN, lambda: transpose((4, 2, 8), (0, 1, 2)), True, "identity"),
    row(TN, lambda: transpose((1, 1, 1, 16), (0, 3, 1, 2)), True, "nhwc-to-nchw-of-vector"),
    row(TN, lambda: transpose((1, 8, 8, 1), (0, 3, 1, 2)), False, "nhwc-to-nchw"),
    # No axes: the full reversal.
    row(TN, lambda: transpose((1, 1, 8), None), True, "reversal-one-extent"),
    row(TN, lambda: transpose((1, 3, 1), None), True, "reversal-of-ones"),
    row(TN, lambda: transpose((4, 1, 8), None), False, "reversal-two-extents"),
    row(TN, lambda: transpose((4, 1, 8), (0, 2, 1)), False, "nano", NANO),
    row(TN, lambda: transpose((4, 1, 8), (0, 2, 1)), True, "nano-with-flag", NANO_KOV2),
    row(TN, lambda: transpose((4, 1, 8), (0, 2, 1), dtype="float16"), False, "float16"),
]

NC = "check_fp32_nop_cast"
NOP_CAST = [
    row(NC, lambda: relay.cast(var("x", 2, 8), "float32"), True, "float32-to-float32"),
    row(NC, lambda: relay.cast(var("x", 2, 8), "float16"), False, "float32-to-float16"),
    row(NC, lambda: relay.cast(var("x", 2, 8, dtype="float16"), "float32"), False, "float16-to-float32"),
    # Only the types are compared: a float16 no-op cast passes too.
    row(NC, lambda: relay.cast(var("x", 2, 8, dtype="float16"), "float16"), True, "float16-to-float16"),
    row(NC, lambda: relay.cast(var("x", 2, 8), "float32"), True, "nano", NANO),
]

RELU = [
    row("check_fp32_relu", lambda: relay.nn.relu(region(1, 8)), True, "captured-input"),
    row("check_fp32_relu", lambda: relay.nn.relu(region(1, 8)), True, "nano", NANO),
    row("check_fp32_relu", lambda: relay.nn.relu(var("x", 1, 8)), False, "graph-input"),
    row("check_fp32_relu", lambda: relay.nn.relu(relay.negative(var("x", 1, 8))), False, "primitive-input"),
    row("check_fp32_relu", lambda: relay.nn.relu(region(1, 8, dtype="float16")), False, "float16"),
]

GATED = ["check_fp32_transformer", "check_fp32_gelu", "check_fp32_layer_norm", "check_fp32_attention",
         "check_fp32_masked_attention", "check_fp32_matmul"]
GATE = [
    *[row(check, lambda: relay.nn.relu(var("x", 1, 8)), expected, f"{label}", arch_value)
      for check in GATED
      for label, arch_value, expected in [
          ("pro", PRO, True), ("base", BASE, False), ("nano", NANO, False), ("nano-with-flag", NANO_KOV2, True),
          ("pro-flag-off", {"base": PRO, "has_kov2": False}, False), ("flag-undefined", NO_FLAG, False)]],
    *[row(check, lambda: relay.nn.relu(var("x", 1, 8, dtype="float16")), False, "float16") for check in GATED],
    # Not behind the gate.
    row("check_fp32", lambda: relay.nn.relu(var("x", 1, 8)), True, "nano", NANO),
    row("check_fp32", lambda: relay.nn.relu(var("x", 1, 8, dtype="float16")), False, "float16"),
    row("check_fp32_silu", lambda: relay.nn.relu(var("x", 1, 8)), True, "nano", NANO),
    row("check_fp32_silu", lambda: relay.nn.relu(var("x", 1, 8, dtype="float16")), False, "float16"),
]


@pytest.mark.parametrize("check, make, arch_value, expected",
                         BIAS_ADD + BROADCAST + RESIDUAL + RESIDUAL_CONSTANT + RELU + GATE)
def test_add_and_gate_decisions(check, make, arch_value, expected):
    run(check, make, arch_value, expected)


@pytest.mark.parametrize("check, make, arch_value, expected", UPSAMPLING + AVG_POOL + HARDTANH)
def test_resize_pool_and_clip_decisions(check, make, arch_value, expected):
    run(check, make, arch_value, expected)


@pytest.mark.parametrize("check, make, arch_value, expected", TCONV + TRANSPOSE + NOP_CAST)
def test_tconv_transpose_and_cast_decisions(check, make, arch_value, expected):
    run(check, make, arch_value, expected)


DECISIONS = BIAS_ADD + BROADCAST + RESIDUAL + RESIDUAL_CONSTANT + RELU + GATE + UPSAMPLING + AVG_POOL + HARDTANH + \
    TCONV + TRANSPOSE + NOP_CAST


def test_every_check_of_the_float_tables_has_refusals_with_reasons():
    # A check added to a table needs rows above that it refuses, and `run` then requires their reasons.
    from tvm.relay.op.contrib.register import get_pattern_table

    checks = {entry[2].__name__ for table in ("vexa_fp32", "vexa_fp32_quantizer")
              for entry in get_pattern_table(table) if len(entry) == 3}
    refused = {param.values[0] for param in DECISIONS if param.values[3] is False} | {"check_fp32_concatenate"}
    assert checks <= refused, checks - refused


@pytest.mark.parametrize("check, make, arch_value, words", [
    ("check_fp32_matmul", lambda: relay.nn.relu(var("x", 1, 8)), NANO,
     "vexa-nano does not set has_kov2, which the transformer-era entries need"),
    ("check_fp32_gelu", lambda: relay.nn.relu(var("x", 1, 8)), {"base": PRO, "has_kov2": False},
     "the given architecture does not set has_kov2"),
    ("check_fp32_relu", lambda: relay.nn.relu(var("x", 1, 8, dtype="float16")), PRO, "output is float16, not float32"),
    ("check_fp32_relu", lambda: relay.nn.relu(relay.negative(var("x", 1, 8))), PRO,
     "input negative runs on the host; this entry takes a relu only right after an accelerator region"),
    (AVG, lambda: gap((1, 8, 8, 8)), NANO, "pool window 8×8 exceeds max_kernel_side 7 of vexa-nano"),
    (AVG, lambda: gap((1, 9, 4, 4)), LIMITS, "pool window 9×4 exceeds channels 8 of the given architecture"),
    (BIAS, lambda: relay.add(region(1, 8, 8, 16), tensor(1, 1, 1, 16)), PRO, "bias is 4-D, not one value per channel"),
    (BIAS, lambda: relay.add(region(1, 8, 8, 16), relay.var("b", shape=(relay.Any(),))), PRO,
     "a dynamic extent is not fixed, and the check needs its value"),
    (RES, lambda: relay.add(var("a", 1, 8), var("b", 8)), PRO, "operand shapes [1, 8] and [8] differ"),
    (TC, lambda: tconv(), NANO, "vexa-nano does not support TransposedConv2d"),
    (TC, lambda: tconv(strides=(3, 3)), PRO, "strides 3×3 exceed the kernel 2×2"),
    (UP, lambda: resize("cubic", ""), PRO, "method cubic"),
    (TN, lambda: transpose((4, 2, 8), (0, 2, 1)), PRO, "moves 2 axes of extent other than 1"),
])
def test_refusals_name_their_cause(check, make, arch_value, words):
    verdict, reason = explained(check, make(), arch_value)
    assert verdict is False and words in reason


# ---------------------------------------------------------------- concatenation


def cat_inputs(dtype="float32"):
    return [var("a", 1, 4, 4, 8, dtype=dtype), var("b", 1, 4, 4, 8, dtype=dtype)]


def conv_region(x, groups=(1,), composite="vexa_fp32.conv2d", dtype="float32"):
    """A captured region holding one convolution per entry of `groups`."""
    p = relay.var("p", shape=(1, 4, 4, 16), dtype=dtype)
    body = p
    for g in groups:
        body = conv_nhwc(body, 16, 16, groups=g)
    if not groups:
        body = relay.nn.max_pool2d(body, pool_size=(2, 2), layout="NHWC")
    return relay.Call(relay.Function([p], body).with_attr("Composite", composite), [x])


def concat_graph(consumers, dtype="float32"):
    """A concatenation and its consumers, each built by a function of it."""
    cat = relay.concatenate(cat_inputs(dtype), axis=3)
    outputs = [make(cat) for make in consumers] or [cat]
    return outputs


def check_concat(outputs, arch_value=PRO, explain=False):
    mod = typed_module(*outputs)
    with current_graph(mod), arch(arch_value):
        cat = find_call(mod["main"], "concatenate")
        return patterns.explain_check(patterns.check_fp32_concatenate, cat) if explain else \
            patterns.check_fp32_concatenate(cat)


@pytest.mark.parametrize(
    "consumers, expected",
    [
        pytest.param([], True, id="graph-output"),
        pytest.param([lambda c: relay.Tuple([c, c])], True, id="only-in-a-tuple"),
        pytest.param([lambda c: conv_region(c)], True, id="captured-conv"),
        pytest.param([lambda c: conv_region(c, groups=(), composite="vexa_fp32.maxpool2d")], True,
                     id="captured-without-conv"),
        pytest.param([lambda c: conv_region(c), lambda c: conv_region(c)], True, id="two-captured-convs"),
        pytest.param([lambda c: relay.nn.relu(c)], False, id="primitive-consumer"),
        pytest.param([lambda c: conv_region(c), lambda c: relay.nn.relu(c)], False, id="captured-and-primitive"),
        pytest.param([lambda c: relay.nn.relu(relay.TupleGetItem(relay.Tuple([c]), 0))], False,
                     id="primitive-through-tuple"),
        pytest.param([lambda c: conv_region(c, groups=(2,))], False, id="grouped-conv"),
        pytest.param([lambda c: conv_region(c, groups=(16,))], False, id="depthwise-conv"),
        pytest.param([lambda c: conv_region(c), lambda c: conv_region(c, groups=(4,))], False,
                     id="plain-and-grouped"),
    ],
)
def test_concatenate_consumers(consumers, expected):
    assert check_concat(concat_graph(consumers)) is expected
    verdict, reason = check_concat(concat_graph(consumers), explain=True)
    assert verdict is expected and bool(reason) is (not expected)


def test_concatenate_float16():
    assert check_concat(concat_graph([lambda c: conv_region(c, dtype="float16")], dtype="float16")) is False


# ---------------------------------------------------------------- errors


def test_concatenate_asserts_one_conv_per_consumer_region():
    with pytest.raises(AssertionError):
        check_concat(concat_graph([lambda c: conv_region(c, groups=(1, 1))]))


@pytest.mark.parametrize(
    "check, make, arch_value, error",
    [
        # A transposed convolution built without kernel_size: the unpacking fails.
        pytest.param(TC, lambda: relay.nn.conv2d_transpose(var("x", 1, 4, 8, 8), tensor(4, 4, 2, 2), strides=(2, 2)),
                     PRO, TypeError, id="tconv-without-kernel-size"),
        pytest.param(AVG, lambda: gap((1, 4, 4, 4)), {"base": PRO, "channels": "many"}, ValueError,
                     id="channels-not-a-number"),
        pytest.param(AVG, lambda: gap((1, 4, 4, 4)), {"has_kov2": True}, RuntimeError, id="channels-undefined"),
        pytest.param(AVG, lambda: relay.mean(var("x", 1, 1, 4), axis=2), PRO, IndexError, id="rank-2-output"),
    ],
)
def test_errors_propagate(check, make, arch_value, error):
    with pytest.raises(error):
        decide(check, make(), arch_value)


def dims(*extents):
    """A shape of int64 dimensions, as the ONNX frontend writes them; None is a symbolic extent."""
    return [relay.Any() if e is None else tvm.tir.IntImm("int64", e) for e in extents]


def wide_var(name, *extents):
    return relay.var(name, shape=dims(*extents), dtype="float32")


# A shape variable, as a frontend names a dynamic axis.
N = tvm.tir.Var("n", "int64")


# The add checks read static shapes through TVM's C API and fall back to
# TVM's Python reads elsewhere: decisions and errors must not depend on which.
# Where a symbolic extent leaves a comparison undecided, the match is refused.
@pytest.mark.parametrize(
    "check, make, expected",
    [
        pytest.param(BIAS, lambda: relay.add(region(1, 8, 8, 16), relay.const(np.zeros(16, "float32"))), True,
                     id="bias-int32"),
        pytest.param(BIAS, lambda: relay.add(wide_var("x", 1, 8, 8, 16), tensor(16)), False, id="bias-int64-input"),
        pytest.param(BIAS, lambda: relay.add(region(1, 8, 8, 16), wide_var("b", 16)), True, id="bias-mixed-widths"),
        pytest.param(BIAS, lambda: relay.add(region(1, 8, 8, 16), wide_var("b", 1)), False, id="bias-mismatch"),
        # A comparison a symbolic extent leaves undecided refuses the match,
        # whichever side the extent is on.
        pytest.param(BIAS, lambda: relay.add(region(1, 8, 8, 16), wide_var("b", None)), False,
                     id="bias-symbolic-channel"),
        pytest.param(BIAS, lambda: relay.add(region(1, 8, 8, relay.Any()), tensor(16)), False,
                     id="data-symbolic-channel"),
        pytest.param(BIAS, lambda: relay.add(region(N, 8, 8, 16), tensor(16)), True, id="data-variable-batch"),
        pytest.param(BIAS, lambda: relay.add(region(1, 8, 8, 16), wide_var("b", None, 16)), False,
                     id="bias-symbolic-rank-2"),
        pytest.param(BCAST, lambda: relay.add(tensor(64), wide_var("x", None, None, 64)), True,
                     id="broadcast-symbolic-batch-and-sequence"),
        pytest.param(BCAST, lambda: relay.add(tensor(64), wide_var("x", 1, 10, None)), False,
                     id="broadcast-symbolic-last-axis"),
        pytest.param(RES, lambda: relay.add(wide_var("a", None, 8), wide_var("b", None, 8)), False,
                     id="residual-symbolic-extents-are-distinct"),
        pytest.param(RES, lambda: relay.add(wide_var("a", 1, 8), var("b", 1, 8)), True, id="residual-mixed-widths"),
        pytest.param(RES, lambda: relay.cast(relay.add(wide_var("a", 1, 8), wide_var("b", 8)), "float32"), False,
                     id="residual-under-cast-mismatch"),
        pytest.param(RES, lambda: relay.add(var("a", N, 8), var("b", N, 8)), True, id="residual-one-variable-batch"),
        pytest.param(RESC, lambda: relay.add(tensor(1, 8), wide_var("x", 1, None)), False,
                     id="residual-constant-symbolic"),
        pytest.param(RESC, lambda: relay.add(tensor(1, 8), var("x", N, 8)), False, id="residual-constant-variable"),
        pytest.param(AVG, lambda: relay.nn.adaptive_avg_pool2d(wide_var("x", 1, None, 7, 64), output_size=(1, 1),
                                                               layout="NHWC"), False, id="avg-pool-symbolic-height"),
        pytest.param(AVG, lambda: relay.nn.adaptive_avg_pool2d(wide_var("x", 1, 7, 7, 64), output_size=(N, 1),
                                                               layout="NHWC"), False, id="avg-pool-variable-output"),
        pytest.param(AVG, lambda: gap((N, 7, 7, 64)), True, id="avg-pool-variable-batch"),
        pytest.param(TN, lambda: relay.transpose(wide_var("x", None, 4, 1), (0, 2, 1)), True,
                     id="transpose-keeps-symbolic-batch"),
        pytest.param(TN, lambda: relay.transpose(wide_var("x", 1, None, 1), (0, 2, 1)), False,
                     id="transpose-moves-symbolic-extent"),
        pytest.param(RES, lambda: relay.add(relay.TupleGetItem(relay.Tuple([var("a", 1, 8)]), 0), var("b", 1, 8)),
                     True, id="residual-projection-operand"),
    ],
)
def test_static_and_symbolic_shapes(check, make, expected):
    expr = make()
    if isinstance(expected, type):
        with pytest.raises(expected):
            decide(check, expr)
    else:
        run(check, make, PRO, expected)


@pytest.mark.parametrize("check", [BIAS, BCAST, RES, RESC, "check_fp32"])
def test_add_checks_on_untyped_operands(check):
    # The root typed, its operands not: TVM's own error on the first read.
    a, b = var("a", 1, 8, 8), var("b", 1, 8, 8)
    body = relay.add(a, b)
    typed_body = typed(body)
    untyped = relay.Call(typed_body.op, [a, b], typed_body.attrs)
    with pytest.raises(ValueError, match="checked_type"):
        with arch(PRO):
            getattr(patterns, check)(untyped)


def test_fp32_tests_of_non_tensor_types():
    pair = typed(relay.Tuple([var("a", 1, 8), var("b", 1, 8)]))
    with pytest.raises(AttributeError):
        patterns.check_fp32(pair)
    assert patterns.is_captured(pair) is False
    assert patterns.is_captured(3) is False


def test_checks_need_inferred_types():
    with pytest.raises(ValueError, match="checked_type"):
        with arch(PRO):
            patterns.check_fp32_hardtanh(relay.clip(var("x", 1, 8), 0.0, 6.0))


# ---------------------------------------------------------------- order of decision


@pytest.fixture
def queried(monkeypatch):
    """Records every parameter query the checks make: (name, keyword arguments)."""
    calls = []
    real = patterns.archquery_parameter

    def recording(arch_value, name, *args, **kwargs):
        calls.append((name, args, kwargs))
        return real(arch_value, name, *args, **kwargs)

    monkeypatch.setattr(patterns, "archquery_parameter", recording)
    return calls


@pytest.fixture
def supports_queries(monkeypatch):
    """Records every operator-support query the checks make."""
    calls = []
    real = patterns.arch_supports_operator

    def counting(arch_value, operator):
        calls.append(operator)
        return real(arch_value, operator)

    monkeypatch.setattr(patterns, "arch_supports_operator", counting)
    return calls


GATE_QUERY = ("has_kov2", (), {"fail_if_not_found": False})  # tolerates an undefined flag


def limit(name):
    return (name, (), {})  # no keyword: an undefined limit is an error


@pytest.mark.parametrize(
    "check, make, arch_value, expected, queries",
    [
        pytest.param(AVG, lambda: gap((1, 4, 4, 4), output=(2, 2)), LIMITS, False, [], id="avg-output-not-1x1"),
        pytest.param(AVG, lambda: gap((1, 9, 4, 4)), LIMITS, False, [limit("channels")], id="avg-over-channels"),
        pytest.param(AVG, lambda: gap((1, 4, 5, 4)), LIMITS, False, [limit("channels"), limit("max_kernel_side")],
                     id="avg-over-kernel-side"),
        pytest.param(BCAST, lambda: relay.add(tensor(1, 64), var("x", 1, 10, 64)), PRO, False, [],
                     id="broadcast-shape"),
        pytest.param(BCAST, lambda: relay.add(tensor(64), var("x", 1, 10, 64)), PRO, True, [GATE_QUERY],
                     id="broadcast-gate"),
        pytest.param(TN, lambda: transpose((4, 2, 8), (0, 2, 1)), PRO, False, [], id="transpose-moves-two"),
        # The gate comes first: a constant-second add is refused by it on vexa-nano.
        pytest.param(RESC, lambda: relay.add(var("x", 1, 8), tensor(1, 8)), NANO, False, [GATE_QUERY],
                     id="constant-add-gate-first"),
        pytest.param("check_fp32_gelu", lambda: relay.nn.relu(var("x", 1, 8)), NANO, False, [GATE_QUERY],
                     id="gelu"),
        pytest.param(TN, lambda: transpose((4, 1, 8), (0, 2, 1)), NO_FLAG, False, [GATE_QUERY],
                     id="transpose-flag-undefined"),
        pytest.param(RES, lambda: relay.add(var("a", 1, 8), var("b", 1, 8)), PRO, True, [], id="res-add"),
        pytest.param(HT, lambda: relay.clip(var("x", 1, 8), 0.0, 6.0), PRO, True, [], id="hardtanh"),
        pytest.param(UP, lambda: resize("nearest_neighbor", "round"), PRO, True, [], id="upsampling"),
    ],
)
def test_architecture_queries_made(queried, check, make, arch_value, expected, queries):
    assert decide(check, make(), arch_value) is expected
    assert queried == queries


@pytest.mark.parametrize(
    "make, expected, queries",
    [
        pytest.param(lambda: tconv(groups=2), False, [], id="groups"),
        pytest.param(lambda: tconv(dilation=(2, 1)), False, [], id="dilation"),
        pytest.param(lambda: tconv(strides=(3, 3)), False, [], id="stride"),
        pytest.param(lambda: tconv(), True, ["TransposedConv2d"], id="support"),
    ],
)
def test_tconv_support_query_comes_last(supports_queries, make, expected, queries):
    assert decide(TC, make(), NANO if queries == [] else PRO) is expected
    assert supports_queries == queries


class Attrs:
    """Attributes that record which names a check reads."""

    def __init__(self, **values):
        self.values = values
        self.read = []

    def get_int(self, name):
        self.read.append(name)
        return self.values[name]

    get_str = get_int
    __getitem__ = get_int


class Call:
    """Just enough of a typed call for checks that decide on attributes."""

    def __init__(self, attrs, dtype="float32"):
        self.attrs = attrs
        self.args = [object()]
        self.checked_type = type("T", (), {"dtype": dtype})()


@pytest.mark.parametrize(
    "check, values, expected, read",
    [
        pytest.param(UP, dict(method="cubic", rounding_method="round"), False, ["method"], id="resize-method"),
        pytest.param(UP, dict(method="linear", rounding_method="floor"), True, ["method", "rounding_method"],
                     id="resize-linear"),
        pytest.param(HT, dict(a_min=-1.0, a_max=1.0), False, ["a_min"], id="clip-lower-bound-only"),
        pytest.param(HT, dict(a_min=0.0, a_max=1.0), True, ["a_min"], id="clip-upper-bound-never"),
        pytest.param(TC, dict(groups=2, dilation=(1, 1), strides=(1, 1), kernel_size=(2, 2)), False, ["groups"],
                     id="tconv-groups"),
        pytest.param(TC, dict(groups=1, dilation=(2, 1), strides=(1, 1), kernel_size=(2, 2)), False,
                     ["groups", "dilation"], id="tconv-dilation"),
        pytest.param(TC, dict(groups=1, dilation=(1, 1), strides=(3, 1), kernel_size=(2, 2)), False,
                     ["groups", "dilation", "strides", "kernel_size"], id="tconv-stride"),
    ],
)
def test_attribute_reads_stop_at_the_deciding_test(check, values, expected, read):
    attrs = Attrs(**values)
    with arch(PRO):
        assert getattr(patterns, check)(Call(attrs)) is expected
    assert attrs.read == read


@pytest.mark.parametrize(
    "values, error",
    [
        pytest.param(dict(groups=1, dilation=(1,)), ValueError, id="one-dilation"),
        pytest.param(dict(groups=1, dilation=(1, 1, 1)), ValueError, id="three-dilations"),
        pytest.param(dict(groups=1, dilation=(1, 1), strides=(1, 1), kernel_size=3), TypeError, id="scalar-kernel"),
    ],
)
def test_tconv_unpacks_pairs(values, error):
    with pytest.raises(error):
        with arch(PRO):
            patterns.check_fp32_tconv2d(Call(Attrs(**values)))


# ---------------------------------------------------------------- module globals


class Marker(Exception):
    pass


def raising(*args, **kwargs):
    raise Marker()


@pytest.mark.parametrize(
    "helper, check, make",
    [
        ("get_current_arch_value", "check_fp32_gelu", lambda: relay.nn.relu(var("x", 1, 8))),
        ("archquery_parameter", AVG, lambda: gap((1, 4, 4, 4))),
        ("arch_supports_operator", TC, lambda: tconv()),
        ("check_fp32_transformer", "check_fp32_gelu", lambda: relay.nn.relu(var("x", 1, 8))),
        ("check_fp32_transformer", "check_fp32_matmul", lambda: relay.nn.relu(var("x", 1, 8))),
        ("check_fp32_transformer", BCAST, lambda: relay.add(tensor(64), var("x", 1, 10, 64))),
        ("check_fp32_transformer", TN, lambda: transpose((4, 1, 8), (0, 2, 1))),
        ("check_fp32_transformer", RESC, lambda: relay.add(tensor(1, 8), var("x", 1, 8))),
        ("is_captured", "check_fp32_relu", lambda: relay.nn.relu(region(1, 8))),
        ("is_captured", BIAS, lambda: relay.add(region(1, 8, 8, 16), tensor(16))),
    ],
)
def test_checks_call_helpers_by_module_name(monkeypatch, helper, check, make):
    # As module-level Python functions would: a rebound helper is the one used.
    expr = typed(make())
    monkeypatch.setattr(patterns, helper, raising)
    with pytest.raises(Marker):
        with arch(PRO):
            getattr(patterns, check)(expr)


@pytest.mark.parametrize("helper", ["get_consumers_mc", "find_call_of_type"])
def test_concatenate_calls_traversal_by_module_name(monkeypatch, helper):
    outputs = concat_graph([lambda c: conv_region(c)])
    monkeypatch.setattr(patterns, helper, raising)
    with pytest.raises(Marker):
        check_concat(outputs)


@pytest.mark.parametrize(
    "check, make, arch_value",
    [
        ("check_fp32_silu", lambda: relay.nn.relu(var("x", 1, 8)), NANO),
        ("check_fp32_transformer", lambda: relay.nn.relu(var("x", 1, 8)), PRO),
        *[(check, lambda: relay.nn.relu(var("x", 1, 8)), PRO) for check in GATED[1:]],
        (BIAS, lambda: relay.add(region(1, 8, 8, 16), tensor(16)), PRO),
        (BCAST, lambda: relay.add(tensor(64), var("x", 1, 10, 64)), PRO),
        (RES, lambda: relay.cast(relay.add(var("a", 1, 8), var("b", 1, 8)), "float32"), PRO),
        (RESC, lambda: relay.add(tensor(1, 8), var("x", 1, 8)), PRO),
        (UP, lambda: resize("nearest_neighbor", ""), PRO),
        (AVG, lambda: gap((1, 4, 4, 8)), LIMITS),
        (HT, lambda: relay.clip(var("x", 1, 8), 0.0, 6.0), PRO),
        (TC, lambda: tconv(), PRO),
        (TN, lambda: transpose((4, 1, 8), (0, 2, 1)), PRO),
    ],
)
def test_last_step_returns_check_fp32_unchanged(monkeypatch, check, make, arch_value):
    # MergeComposite accepts an int as well as a bool: the value passes through.
    expr = typed(make())
    monkeypatch.setattr(patterns, "check_fp32", lambda extract: 7)
    with arch(arch_value):
        assert getattr(patterns, check)(expr) == 7


def test_concatenate_returns_check_fp32_unchanged(monkeypatch):
    outputs = concat_graph([lambda c: conv_region(c)])
    monkeypatch.setattr(patterns, "check_fp32", lambda extract: 7)
    assert check_concat(outputs) == 7


@pytest.mark.parametrize("value", [0, None, ""])
def test_relu_returns_a_falsy_check_fp32_unchanged(monkeypatch, value):
    expr = typed(relay.nn.relu(region(1, 8)))
    monkeypatch.setattr(patterns, "check_fp32", lambda extract: value)
    assert patterns.check_fp32_relu(expr) is value


def called_with(check, **kwargs):
    """None when the call's arguments were accepted, else the binding error."""
    try:
        with arch(PRO):
            getattr(patterns, check)(**kwargs)
    except TypeError as error:
        if "incompatible function arguments" in str(error) or "keyword argument" in str(error):
            return error
    except Exception:  # the expression need not suit the check
        pass
    return None


@pytest.mark.parametrize("check", sorted(name for name in dir(patterns) if name.startswith("check_fp32")
                                          or name == "check_avg_pool2d"))
def test_argument_names(check):
    keyword = "expr" if check in (RES, RESC) else "extract"
    expr = typed(relay.nn.relu(var("x", 1, 8)))
    assert called_with(check, **{keyword: expr}) is None
    assert called_with(check, **{"expr" if keyword == "extract" else "extract": expr}) is not None
