"""Int8 convolution, hard-swish convolution, TFLite convolution, fully-connected
and clip entries, partitioned through the driver; the grouped-convolution check
against the architecture's channel width."""

import numpy as np
import pytest
import yaml
from tvm import relay

from vexatvm_internal import patterns
from vexatvm_standins.build_module import BuildConfig
from int8_graphs import (
    STEM,
    composites,
    conv_ops,
    f32,
    host_ops,
    i32,
    merge_unprepared,
    ops,
    partition,
    qconv,
    qmul,
    stem,
    uint8_input,
)

NANO, BASE, PRO = "vexa-nano", "vexa-base", "vexa-pro"
INLINE_48 = {"base": "vexa-nano", "channels": 48}


# ---------------------------------------------------------------- vexa.qnn_conv

@pytest.mark.parametrize(
    "kwargs, inside",
    [
        # The stem keeps the padded input in NHWC, so the pad can be captured.
        ({"pad": 1, "relu6": True}, conv_ops(pad=True, relu6=True)),
        ({"pad": 2}, conv_ops(pad=True)),
        ({}, conv_ops()),
        ({"relu6": True}, conv_ops(relu6=True)),
        ({"bias": False}, conv_ops(bias=False)),
        ({"bias": False, "pad": 1, "relu6": True}, conv_ops(bias=False, pad=True, relu6=True)),
        ({"groups": 8, "pad": 1}, conv_ops(pad=True)),  # depthwise
        # One output channel: the bias arrives as a single expand_dims.
        ({"cout": 1}, ops("cast", "clip", "layout_transform", "qnn.conv2d", "qnn.requantize",
                          "add", "expand_dims", qnn__quantize=2)),
    ],
    ids=["pad-relu6", "pad2", "plain", "relu6", "no-bias", "no-bias-pad-relu6", "depthwise", "one-channel"],
)
def test_conv_is_captured_whole(kwargs, inside):
    kwargs = dict(kwargs)
    cout = kwargs.pop("cout", 8)
    mod = partition(qconv(stem(8), 8, cout, **kwargs))
    assert composites(mod) == sorted([STEM, ("vexa.qnn_conv", inside)])
    assert host_ops(mod) == ()


@pytest.mark.parametrize(
    "kwargs, expected, left_on_host",
    [
        ({"first_clip": False}, [], ("add", "cast", "qnn.conv2d", "qnn.requantize")),
        ({"cast": False}, [], ("add", "clip", "qnn.conv2d", "qnn.requantize")),
        ({"first_clip": False, "cast": False}, [], ("add", "qnn.conv2d", "qnn.requantize")),
        # Without a cast and a bias, the TFLite form takes it (its weights stay outside).
        ({"cast": False, "bias": False},
         [("vexa.qnn_tflite_qconv", ("clip", "qnn.conv2d", "qnn.requantize"))], ("qnn.quantize",)),
    ],
    ids=["no-first-clip", "no-cast", "neither", "no-cast-no-bias"],
)
def test_incomplete_conv_is_not_a_qnn_conv(kwargs, expected, left_on_host):
    mod = partition(qconv(stem(8), 8, 8, **kwargs))
    assert composites(mod) == sorted([STEM] + expected)
    host = host_ops(mod)
    for name in left_on_host:
        assert name in host


def test_conv_needs_quantized_weights():
    x = uint8_input(8)
    w = relay.const(np.ones((8, 8, 3, 3), "int8"))
    y = relay.qnn.op.conv2d(x, w, i32(0), i32(0), f32(0.05), f32(0.02), kernel_size=(3, 3), channels=8)
    y = relay.qnn.op.requantize(y, f32(0.001), i32(0), f32(0.05), i32(0), out_dtype="int32")
    mod = partition(relay.cast(relay.clip(y, 0.0, 255.0), "uint8"))
    # Not a "vexa.qnn_conv": the TFLite form takes it and leaves the cast.
    assert composites(mod) == [("vexa.qnn_tflite_qconv", ("clip", "qnn.conv2d", "qnn.requantize"))]
    assert host_ops(mod) == ("cast",)


def nhwc_conv(x, cin, cout, bias, groups=1):
    """A quantized NHWC convolution with the bias as nn.bias_add."""
    w = relay.qnn.op.quantize(relay.const(np.ones((3, 3, cin // groups, cout), "float32")), f32(0.02), i32(0),
                              out_dtype="int8")
    y = relay.qnn.op.conv2d(x, w, i32(0), i32(0), f32(0.05), f32(0.02), kernel_size=(3, 3), channels=cout,
                            groups=groups, data_layout="NHWC", kernel_layout="HWIO")
    if bias == "quantized":
        b = relay.qnn.op.quantize(relay.const(np.ones(cout, "float32")), f32(0.001), i32(0), out_dtype="int32")
        y = relay.nn.bias_add(y, b, axis=3)
    elif bias == "plain":
        y = relay.nn.bias_add(y, relay.const(np.ones(cout, "int32")), axis=3)
    y = relay.qnn.op.requantize(y, f32(0.001), i32(0), f32(0.05), i32(0), out_dtype="int32")
    return relay.cast(relay.clip(y, 0.0, 255.0), "uint8")


@pytest.mark.parametrize(
    "bias, expected",
    [
        ("quantized", [("vexa.qnn_conv", ops("cast", "clip", "nn.bias_add", "qnn.conv2d", "qnn.requantize",
                                             qnn__quantize=2))]),
        # The bias must be a quantize; the TFLite form then takes the rest.
        ("plain", [("vexa.qnn_tflite_qconv", ("clip", "nn.bias_add", "qnn.conv2d", "qnn.requantize"))]),
    ],
)
def test_bias_add_form(bias, expected):
    # The driver canonicalises nn.bias_add, so this form is merged unprepared.
    x = relay.var("x", shape=(1, 8, 8, 8), dtype="uint8")
    assert composites(merge_unprepared(nhwc_conv(x, 8, 8, bias))) == expected


def test_bias_add_form_check_reads_channels_through_the_bias_add():
    # groups 4, 64 -> 128 channels: refused on a width of 32, accepted on 128.
    x = relay.var("x", shape=(1, 8, 8, 64), dtype="uint8")
    expr = nhwc_conv(x, 64, 128, "quantized", groups=4)
    # Refused, the convolution falls to the TFLite form (without its cast).
    assert [n for n, _ in composites(merge_unprepared(expr, arch=NANO))] == ["vexa.qnn_tflite_qconv"]
    assert [n for n, _ in composites(merge_unprepared(expr, arch=PRO))] == ["vexa.qnn_conv"]


# ------------------------------------------------- vexa.qnn_conv_hswish_requant

def shifted_clip(conv, source=None):
    """clip(cast(clip(add(requantize(source), k)))): the shift of a hard-swish."""
    r = relay.qnn.op.requantize(conv if source is None else source, f32(0.05), i32(0), f32(0.05), i32(0),
                                out_dtype="int32")
    return relay.clip(relay.cast(relay.clip(relay.add(r, i32(60)), 0.0, 255.0), "uint8"), 0.0, 120.0)


HSWISH_SIMPLE = conv_ops(relu6=True) + ("qnn.mul",)
HSWISH_REQUANT = conv_ops() + ops("add", "cast", "clip", "clip", "qnn.requantize", "qnn.mul")


@pytest.mark.parametrize(
    "form, trailing_clip, arch, inside",
    [
        ("simple", False, PRO, HSWISH_SIMPLE),
        ("simple", True, PRO, HSWISH_SIMPLE + ("clip",)),
        ("requant", False, PRO, HSWISH_REQUANT),
        ("requant", True, PRO, HSWISH_REQUANT + ("clip",)),
        # The entry has no check: a grouped convolution refused on its own is taken.
        ("grouped", False, NANO, HSWISH_SIMPLE),
    ],
)
def test_hswish_conv_goes_to_its_own_entry(form, trailing_clip, arch, inside):
    cin, groups = (64, 4) if form == "grouped" else (8, 1)
    conv = qconv(uint8_input(cin), cin, cin, groups=groups)
    right = shifted_clip(conv) if form == "requant" else relay.clip(conv, 0.0, 120.0)
    mod = partition(qmul(conv, right, clip=trailing_clip), arch=arch)
    assert composites(mod) == [("vexa.qnn_conv_hswish_requant", tuple(sorted(inside)))]
    assert host_ops(mod) == ()


@pytest.mark.parametrize("form", ["simple", "requant", "requant-source"])
def test_hswish_conv_parts_must_be_one_convolution(form):
    x = uint8_input(8)
    a = qconv(x, 8, 8, seed=1)
    b = qconv(x, 8, 8, seed=2)
    if form == "simple":
        right = relay.clip(b, 0.0, 120.0)
    elif form == "requant":
        right = shifted_clip(b)
    else:  # the shift requantizes another convolution than the one multiplied
        right = shifted_clip(a, source=b)
    mod = partition(qmul(a, right))
    names = [name for name, _ in composites(mod)]
    assert "vexa.qnn_conv_hswish_requant" not in names
    assert names.count("vexa.qnn_conv") == 2
    assert "qnn.mul" in host_ops(mod)


# --------------------------------------------------- grouped convolution check

@pytest.mark.parametrize(
    "cin, cout, groups, arch, accepted, queried",
    [
        (16, 32, 1, NANO, True, False),  # ordinary
        (16, 16, 16, NANO, True, False),  # depthwise
        (8, 32, 8, NANO, True, False),  # groups == input channels
        (32, 8, 8, NANO, True, False),  # groups == output channels
        (48, 48, 3, PRO, False, False),  # not a power of two
        (64, 128, 4, NANO, False, True),  # 64 < 32 fails
        (64, 128, 4, BASE, False, True),  # 64 < 64 fails
        (64, 128, 4, PRO, True, True),
        (16, 64, 2, NANO, True, True),  # only the input channels must be below the width
        (64, 16, 2, NANO, False, True),
        (12, 8, 2, NANO, False, True),  # 12/2 does not divide 32
        (12, 8, 2, INLINE_48, True, True),
        (16, 48, 4, NANO, False, True),  # 48/4 does not divide 32
        (16, 48, 4, PRO, False, True),
        (16, 48, 4, INLINE_48, True, True),
    ],
)
def test_grouped_conv_against_architecture(arch_queries, cin, cout, groups, arch, accepted, queried):
    mod = partition(qconv(uint8_input(cin), cin, cout, groups=groups), arch=arch)
    if accepted:
        assert composites(mod) == [("vexa.qnn_conv", conv_ops())]
    else:
        assert composites(mod) == []
        assert "qnn.conv2d" in host_ops(mod)
    text = yaml.safe_dump(arch) if isinstance(arch, dict) else yaml.safe_dump({"arch": arch})
    assert arch_queries == ([(text, "channels")] if queried else [])


def test_failing_architecture_query_propagates(arch_queries):
    no_channels = {"max_kernel_side": 3}
    # Ordinary and depthwise convolutions never ask.
    ok = partition(qconv(uint8_input(16), 16, 16), qconv(uint8_input(16, name="y"), 16, 16, groups=16),
                   arch=no_channels)
    assert [n for n, _ in composites(ok)] == ["vexa.qnn_conv", "vexa.qnn_conv"]
    with pytest.raises(RuntimeError, match="Architecture query for channels failed"):
        partition(qconv(uint8_input(64), 64, 128, groups=4), arch=no_channels)
    assert arch_queries == [(yaml.safe_dump(no_channels), "channels")]


def test_check_on_untyped_conv_raises_the_hosts_error():
    expr = qconv(uint8_input(8), 8, 8)
    with pytest.raises(ValueError, match="checked_type"):
        patterns.check_qnn_conv_pattern(expr)


def typed_body(expr):
    import tvm

    return relay.transform.InferType()(tvm.IRModule.from_expr(expr))["main"].body


def test_check_walks_only_through_operator_calls():
    # A call of a function (a captured region) on the way to the convolution,
    # or running out of calls, fails the walk with the host's AttributeError.
    p = relay.var("p", shape=(1, 8, 6, 6), dtype="int32")
    region = relay.Function([p], relay.cast(p, "int32")).with_attr("Composite", "vexa.other")
    conv = qconv(uint8_input(8), 8, 8, first_clip=False, cast=False)
    for root in (relay.cast(relay.Call(region, [conv]), "uint8"), relay.cast(uint8_input(8, name="y"), "int32")):
        with pytest.raises(AttributeError):
            patterns.check_qnn_conv_pattern(typed_body(root))


@pytest.mark.parametrize(
    "channels, groups, expected",
    [(8, 1, True), (None, 1, True), (None, 2, False), (8, 2, True), (24, 3, False)],
    ids=["static", "symbolic-input-channels-ungrouped", "symbolic-input-channels-grouped", "grouped-pow2",
         "grouped-not-pow2"],
)
def test_conv_check_on_static_and_symbolic_channels(channels, groups, expected):
    # Only a grouped convolution needs the input's channels: a symbolic
    # extent then proves nothing, and the convolution is refused.
    import tvm

    cin = 8 if channels is None else channels
    extent = relay.Any() if channels is None else tvm.tir.IntImm("int64", channels)
    x = relay.var("x", shape=(1, 8, 8, extent), dtype="uint8")
    w = relay.const(np.ones((3, 3, cin // groups, cin), "int8"))
    conv = relay.qnn.op.conv2d(x, w, i32(0), i32(0), f32(0.05), f32(0.02), kernel_size=(3, 3), channels=cin,
                               groups=groups, data_layout="NHWC", kernel_layout="HWIO", out_dtype="int32")
    conv = typed_body(conv)
    with BuildConfig(arch_config={"arch": "vexa-pro"}):
        assert patterns._check_conv(conv) is expected


class FakeConv:
    """Just enough of a typed qnn.conv2d call for the grouped-convolution check."""

    def __init__(self, groups, channels, input_channels):
        values = {"groups": groups, "channels": channels}
        self.attrs = type("Attrs", (), {"get_int": lambda _, key: values[key]})()
        data_type = type("T", (), {"shape": (1, 8, 8, input_channels)})()
        self.args = [type("Data", (), {"checked_type": data_type})()]


@pytest.mark.parametrize(
    "groups, channels, input_channels, expected",
    [(1, 2**64, 8, True), (2, 2**63, 8, False), (2**64, 2**65, 2**66, False)],
    ids=["ungrouped", "grouped", "all-past-int64"],
)
def test_conv_check_counts_past_a_long(groups, channels, input_channels, expected):
    # Counts are compared as Python integers, however large.
    with BuildConfig(arch_config={"arch": "vexa-pro"}):
        assert patterns._check_conv(FakeConv(groups, channels, input_channels)) is expected


# ------------------------------------------------------- vexa.qnn_tflite_qconv

def tflite_conv(x, cin, cout, *, pad=False, bias=False, clip=False):
    """A TFLite-style NHWC convolution: int8 weights, int32 bias, requantize to int8, no cast."""
    if pad:
        x = relay.nn.pad(x, [[0, 0], [1, 1], [1, 1], [0, 0]], pad_value=f32(0))
    w = relay.const(np.ones((3, 3, cin, cout), "int8"))
    y = relay.qnn.op.conv2d(x, w, i32(0), i32(0), f32(0.05), f32(0.02), kernel_size=(3, 3), channels=cout,
                            data_layout="NHWC", kernel_layout="HWIO")
    if bias:
        y = relay.nn.bias_add(y, relay.const(np.ones(cout, "int32")), axis=3)
    y = relay.qnn.op.requantize(y, f32(0.001), i32(0), f32(0.05), i32(0), out_dtype="int8")
    return relay.clip(y, -128.0, 127.0) if clip else y


def nhwc_int8(channels=8):
    return relay.var("x", shape=(1, 8, 8, channels), dtype="int8")


@pytest.mark.parametrize(
    "pad, clip, inside",
    [
        (False, False, ("qnn.conv2d", "qnn.requantize")),
        (True, False, ("nn.pad", "qnn.conv2d", "qnn.requantize")),
        (True, True, ("clip", "nn.pad", "qnn.conv2d", "qnn.requantize")),
    ],
)
def test_tflite_conv_without_bias_through_the_driver(pad, clip, inside):
    mod = partition(tflite_conv(nhwc_int8(), 8, 8, pad=pad, clip=clip))
    assert composites(mod) == [("vexa.qnn_tflite_qconv", inside)]
    assert host_ops(mod) == ()


def test_tflite_conv_with_bias():
    expr = tflite_conv(nhwc_int8(), 8, 8, pad=True, bias=True, clip=True)
    merged = merge_unprepared(expr)
    assert composites(merged) == [
        ("vexa.qnn_tflite_qconv", ("clip", "nn.bias_add", "nn.pad", "qnn.conv2d", "qnn.requantize"))
    ]
    # Through the driver the bias arrives as add(conv, expand_dims(b)): no form takes it.
    assert composites(partition(expr)) == []


# -------------------------------------------------------------- vexa.qnn_fc

def qdense(flatten="squeeze", bias="quantized", weights="quantized", tail=True):
    x = relay.var("x", shape=(1, 16, 1, 1), dtype="uint8")
    if flatten == "squeeze":
        x = relay.squeeze(relay.reshape(x, (0, -1, 1, 1)), axis=[2, 3])
    elif flatten == "tflite":
        x = relay.reshape(relay.reshape(relay.transpose(x, (0, 2, 3, 1)), (1, -1)), (1, 16))
    else:
        x = relay.reshape(x, (1, 16))
    w = relay.const(np.ones((4, 16), "float32"))
    w = relay.qnn.op.quantize(w, f32(0.02), i32(0), out_dtype="int8") if weights == "quantized" else \
        relay.const(np.ones((4, 16), "int8"))
    y = relay.qnn.op.dense(x, w, i32(0), i32(0), f32(0.05), f32(0.02), units=4)
    if bias == "quantized":
        y = relay.nn.bias_add(y, relay.qnn.op.quantize(relay.const(np.ones(4, "float32")), f32(0.001), i32(0),
                                                        out_dtype="int32"))
    elif bias == "plain":
        y = relay.nn.bias_add(y, relay.const(np.ones(4, "int32")))
    y = relay.qnn.op.requantize(y, f32(0.001), i32(0), f32(0.05), i32(0), out_dtype="int32")
    return relay.cast(relay.clip(y, 0.0, 255.0), "uint8") if tail else y


FC = ("nn.bias_add", "qnn.dense", "qnn.requantize")


@pytest.mark.parametrize(
    "kwargs, inside",
    [
        ({}, ops("reshape", "squeeze", "cast", "clip", *FC, qnn__quantize=2)),
        ({"tail": False}, ops("reshape", "squeeze", *FC, qnn__quantize=2)),
        ({"flatten": "tflite"}, ops("transpose", "reshape", "reshape", "cast", "clip", *FC, qnn__quantize=2)),
        ({"bias": "plain", "weights": "int8"}, ops("reshape", "squeeze", "cast", "clip", *FC)),
        ({"bias": None}, None),  # the bias is required
        ({"flatten": "reshape"}, None),  # a lone reshape is not a flattening form
    ],
    ids=["squeeze", "no-clip-cast", "tflite", "unquantized-constants", "no-bias", "lone-reshape"],
)
def test_fc_entry(kwargs, inside):
    # Merged unprepared: the driver turns the required nn.bias_add into add(expand_dims).
    merged = merge_unprepared(qdense(**kwargs), tables="vexa_with_fc")
    assert composites(merged) == ([("vexa.qnn_fc", inside)] if inside else [])
    assert composites(merge_unprepared(qdense(**kwargs), tables="vexa")) == []


def test_fc_with_bias_is_not_captured_through_the_driver():
    assert composites(partition(qdense(), tables="vexa_with_fc")) == []


# ------------------------------------------------------------------ vexa.clip

@pytest.mark.parametrize(
    "table, expected",
    [
        ("vexa", [STEM, ("vexa.qnn_conv", conv_ops(relu6=True))]),
        # The lone clip is taken last; the convolution keeps both of its clips.
        ("vexa_with_clip", [STEM, ("vexa.clip", ("clip",)), ("vexa.qnn_conv", conv_ops(relu6=True))]),
    ],
)
def test_clip_entry(table, expected):
    y = qconv(stem(8), 8, 8, relu6=True)
    pooled = relay.nn.max_pool2d(y, pool_size=(2, 2), layout="NCHW")
    mod = partition(relay.clip(relay.cast(pooled, "int32"), 0.0, 100.0), tables=table)
    got = [c for c in composites(mod) if c[0] != "vexa.maxpool2d"]
    assert got == sorted(expected)
