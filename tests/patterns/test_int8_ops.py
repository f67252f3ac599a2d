"""Int8 element-wise, concatenation, pooling, resize and activation entries,
partitioned through the driver, and the decisions of their checks."""

import numpy as np
import pytest
from tvm import relay
from tvm.relay.dataflow_pattern import is_constant, is_op, wildcard

from vexatvm_internal import patterns
from vexatvm_internal.flow import driver
from vexatvm_standins.build_module import BuildConfig
from vexatvm_standins.relay_traversal import current_graph
from int8_graphs import (
    STEM,
    composites,
    conv_ops,
    dequantize,
    f32,
    host_ops,
    i32,
    module,
    partition,
    qadd,
    qconcat,
    qconv,
    qmul,
    quantize,
    requantize,
    stem,
    uint8_input,
)


def var(name, shape, dtype="uint8"):
    return relay.var(name, shape=shape, dtype=dtype)


def const(shape, dtype="uint8"):
    return relay.const(np.ones(shape, dtype))


# ----------------------------------------------------------------- vexa.qnn_add

@pytest.mark.parametrize(
    "lhs, rhs, relu, accepted",
    [
        (var("a", (1, 8, 8, 16)), var("b", (1, 8, 8, 16)), False, True),
        (var("a", (1, 8, 8, 16)), var("b", (1, 8, 8, 16)), True, True),
        (var("a", (1, 8, 8, 16)), const((1, 8, 8, 16)), False, False),
        (const((1, 8, 8, 16)), var("a", (1, 8, 8, 16)), False, False),
        (var("a", (1, 8, 8, 16)), const((1, 8, 8, 16)), True, False),  # the walk passes the clip
        (var("a", (1, 8, 8, 16)), var("b", (1, 1, 1, 16)), False, False),  # broadcast
        (var("a", (1, 1, 1, 16)), var("b", (1, 8, 8, 16)), True, False),
        (var("a", (1, 8, 8, 16)), var("b", (1, 8, 8, 1)), False, False),
        (var("a", (8, 8, 16)), var("b", (8, 8, 16)), False, False),  # 3-D
        (var("a", (8, 16)), var("b", (8, 16)), False, False),
        (var("a", (1, 2, 8, 8, 16)), var("b", (1, 2, 8, 8, 16)), False, False),
    ],
    ids=["equal-4d", "equal-4d-relu", "const-right", "const-left", "const-relu", "broadcast",
         "broadcast-relu", "broadcast-channels", "3d", "2d", "5d"],
)
def test_add_check(lhs, rhs, relu, accepted):
    mod = partition(qadd(lhs, rhs, relu=relu))
    inside = ("clip", "qnn.add") if relu else ("qnn.add",)
    assert composites(mod) == ([("vexa.qnn_add", inside)] if accepted else [])
    if not accepted:
        assert "qnn.add" in host_ops(mod)


@pytest.mark.parametrize(
    "lhs, rhs, expected",
    [
        ((1, 8, 8, 16), (1, 8, 8, 16), True),
        ((1, 8, 8, 16), (1, 1, 1, 16), False),
        # A symbolic extent proves no equality, on either side.
        ((None, 8, 8, 16), (None, 8, 8, 16), False),
        ((1, 8, 8, None), (1, 8, 8, 16), False),
        ((1, 8, 8, 16), (1, 8, 8, None), False),
    ],
    ids=["static", "broadcast", "symbolic-both", "symbolic-left", "symbolic-right"],
)
def test_add_check_on_static_and_symbolic_shapes(lhs, rhs, expected):
    import tvm

    def operand(name, shape):
        return relay.var(name, shape=[relay.Any() if d is None else d for d in shape], dtype="uint8")

    add = qadd(operand("a", lhs), operand("b", rhs))
    call = relay.transform.InferType()(tvm.IRModule.from_expr(add))["main"].body
    assert patterns._check_qnn_add(call) is expected


def test_residual_add_of_two_convolutions():
    a, b = stem(8, name="a"), stem(8, name="b")
    mod = partition(qadd(a, qconv(b, 8, 8, pad=1), relu=True))
    assert composites(mod) == sorted([STEM, ("vexa.qnn_conv", conv_ops(pad=True)), STEM,
                                      ("vexa.qnn_add", ("clip", "qnn.add"))])


@pytest.mark.parametrize("op, commutes", [("add", True), ("multiply", True), ("subtract", False)])
def test_matcher_treats_add_and_multiply_as_commutative(op, commutes):
    # Upstream TVM 0.19: a pattern op(x, C) also matches op(C, x) for add and
    # multiply, so operand-order edge cases cannot hold for those two.
    x = relay.var("x", shape=(4,))
    swapped = getattr(relay, op)(relay.const(np.ones(4, "float32")), x)
    assert is_op(op)(wildcard(), is_constant()).match(swapped) == commutes


# ------------------------------------------------------------------ vexa.concat

@pytest.mark.parametrize(
    "requantized",
    [
        [False],
        [False, False],
        [True, False],
        [True, True, True],
        [False, True, False, True, False, True, False],
        [False] * 8,
    ],
    ids=["1", "2", "2-first-requantized", "3-requantized", "7-mixed", "8"],
)
def test_concat_inputs(requantized):
    inputs = [stem(8, name=f"s{i}") for i in range(len(requantized))]
    inputs = [requantize(x) if r else x for x, r in zip(inputs, requantized)]
    mod = partition(qconcat(inputs))
    got = [c for c in composites(mod) if c != STEM]
    if 2 <= len(requantized) <= 7:
        # Requantizes in front are captured; nothing else is.
        assert got == [("vexa.concat", tuple(sorted(["qnn.concatenate"] + ["qnn.requantize"] * sum(requantized))))]
        assert host_ops(mod) == ()
    else:
        assert got == []
        assert "qnn.concatenate" in host_ops(mod)


def concat_of_stems(channels=8):
    return qconcat([stem(channels, name="a"), stem(channels, name="b")])


def maxpool(x):
    return relay.nn.max_pool2d(x, pool_size=(2, 2))


@pytest.mark.parametrize(
    "consumers, arch, captured",
    [
        (lambda cat: [cat], "vexa-nano", True),
        (lambda cat: [qconv(cat, 16, 16)], "vexa-nano", True),
        (lambda cat: [maxpool(cat)], "vexa-nano", True),
        (lambda cat: [qconv(cat, 16, 16, groups=16)], "vexa-nano", False),  # depthwise has groups > 1 too
        (lambda cat: [qconv(cat, 16, 16, groups=2)], "vexa-nano", False),  # grouped conv captured first
        (lambda cat: [qconv(cat, 16, 16, groups=2, pad=1)], "vexa-nano", False),
        (lambda cat: [maxpool(cat), qconv(cat, 16, 16)], "vexa-nano", True),
        (lambda cat: [maxpool(cat), qconv(cat, 16, 16, groups=2)], "vexa-nano", False),
        (lambda cat: [qconv(cat, 16, 16, groups=2), maxpool(cat)], "vexa-nano", False),
    ],
    ids=["output", "conv", "maxpool", "depthwise", "grouped", "grouped-padded", "pool-and-conv",
         "pool-and-grouped", "grouped-and-pool"],
)
def test_concat_consumers(consumers, arch, captured):
    mod = partition(*consumers(concat_of_stems()), arch=arch)
    names = [name for name, _ in composites(mod)]
    assert ("vexa.concat" in names) == captured


def test_concat_refusal_names_its_grouped_consumer():
    from vexatvm_internal.report.summary import RefusalLog, explain

    log = RefusalLog()
    mod = driver.partition(module(qconv(concat_of_stems(), 16, 16, groups=2)), tables=("vexa",), arch="vexa-nano",
                           wrap_check=log.wrap, after_prepare=log.annotate)
    refusals = [r for item in explain(mod, log) for r in item["refusals"] if r["entry"] == "vexa.concat"]
    assert [r["reason"] for r in refusals] == [
        "it feeds a grouped convolution (groups 2), which takes no concatenated input"]


@pytest.mark.parametrize("arch, conv_captured", [("vexa-nano", False), ("vexa-pro", True)])
def test_concat_into_grouped_conv_whether_or_not_the_conv_was_captured(arch, conv_captured):
    # groups 4, 64 -> 128: refused on vexa-nano, so the concat's consumer is the
    # bare qnn.conv2d there and a captured region on vexa-pro.
    mod = partition(qconv(concat_of_stems(32), 64, 128, groups=4), arch=arch)
    names = [name for name, _ in composites(mod)]
    assert names.count("vexa.qnn_conv") == 2 + conv_captured
    assert "vexa.concat" not in names
    assert "qnn.concatenate" in host_ops(mod)


def test_concat_check_stops_at_the_first_grouped_consumer(monkeypatch):
    asked = []
    real_consumers, real_find = patterns.get_consumers_mc, patterns.find_call_of_type

    def grouped_first(extract):
        found = list(real_consumers(extract))
        return sorted(found, key=lambda c: 0 if real_find(c, "qnn.conv2d") else 1)

    def find(consumer, op_name):
        asked.append(op_name)
        return real_find(consumer, op_name)

    monkeypatch.setattr(patterns, "get_consumers_mc", grouped_first)
    monkeypatch.setattr(patterns, "find_call_of_type", find)
    cat = concat_of_stems()
    mod = partition(maxpool(cat), maxpool(relay.cast(cat, "int8")), qconv(cat, 16, 16, groups=2),
                    arch="vexa-nano")
    assert "vexa.concat" not in [name for name, _ in composites(mod)]
    assert asked == ["qnn.conv2d"]


def test_concat_check_asserts_one_convolution_per_consumer(monkeypatch):
    real_find = patterns.find_call_of_type
    monkeypatch.setattr(patterns, "find_call_of_type", lambda c, op: list(real_find(c, op)) * 2)
    with pytest.raises(AssertionError):
        partition(qconv(concat_of_stems(), 16, 16))


def test_concat_check_lets_traversal_errors_through(monkeypatch):
    def broken(extract):
        raise KeyError("no consumers here")

    monkeypatch.setattr(patterns, "get_consumers_mc", broken)
    with pytest.raises(KeyError, match="no consumers here"):
        partition(concat_of_stems())


# ------------------------------------------------------- resize and upsampling

@pytest.mark.parametrize(
    "dtype, method, rounding, accepted",
    [
        ("uint8", "nearest_neighbor", "round_prefer_ceil", True),
        ("uint8", "nearest_neighbor", "", True),
        ("int8", "nearest_neighbor", "round", True),
        ("int8", "nearest_neighbor", "", True),
        ("uint8", "nearest_neighbor", "floor", False),
        ("uint8", "nearest_neighbor", "ceil", False),
        ("uint8", "nearest_neighbor", "round_prefer_floor", False),
        ("uint8", "linear", "", False),
        ("int8", "cubic", "round", False),
        ("float32", "nearest_neighbor", "", False),
        ("int32", "nearest_neighbor", "", False),
        ("int16", "nearest_neighbor", "round", False),
    ],
)
def test_resize_check(dtype, method, rounding, accepted):
    x = uint8_input(8, dtype=dtype)
    mod = partition(relay.image.resize2d(x, (16, 16), method=method, rounding_method=rounding))
    assert composites(mod) == ([("vexa.upsampling_nearest", ("image.resize2d",))] if accepted else [])


def test_resize_of_a_constant_is_refused():
    resized = relay.image.resize2d(const((1, 8, 8, 8)), (16, 16), method="nearest_neighbor")
    assert composites(partition(resized)) == []


def test_resize_takes_the_requantize_in_front():
    resized = relay.image.resize2d(requantize(uint8_input(8)), (16, 16), method="nearest_neighbor")
    assert composites(partition(resized)) == [("vexa.upsampling_nearest", ("image.resize2d", "qnn.requantize"))]


@pytest.mark.parametrize("method", ["nearest_neighbor", "linear", "cubic"])
def test_float_resize_between_dequantize_and_quantize(method):
    # No check: any method; the lone float resize inside is never "nearest".
    resized = relay.image.resize2d(dequantize(uint8_input(8)), (16, 16), method=method)
    mod = partition(quantize(resized))
    assert composites(mod) == [("vexa.upsampling", ("image.resize2d", "qnn.dequantize", "qnn.quantize"))]
    assert composites(partition(resized)) == []  # the quantize is required


# ------------------------------------------------------ pools, leaky ReLU, mean

def pad(x, width=1):
    return relay.nn.pad(x, [[0, 0], [0, 0], [width, width], [width, width]], pad_value=f32(0))


def avg(x):
    return relay.cast(relay.nn.avg_pool2d(relay.cast(x, "int32"), (3, 3)), "uint8")


def mean(x):
    m = relay.mean(x, axis=[2, 3], keepdims=True)
    return relay.qnn.op.requantize(m, f32(0.05), i32(0), f32(0.05), i32(0), out_dtype="uint8")


X = uint8_input(8)
X32 = uint8_input(8, dtype="int32")


@pytest.mark.parametrize(
    "expr, expected",
    [
        (relay.nn.max_pool2d(pad(X), pool_size=(3, 3)), [("vexa.maxpool2d", ("nn.max_pool2d", "nn.pad"))]),
        (relay.nn.max_pool2d(X, pool_size=(3, 3), padding=(1, 1)), [("vexa.maxpool2d", ("nn.max_pool2d",))]),
        (quantize(relay.nn.leaky_relu(dequantize(X), 0.1)),
         [("vexa.leaky_relu", ("nn.leaky_relu", "qnn.dequantize", "qnn.quantize"))]),
        (relay.qnn.op.leaky_relu(X, 0.1, f32(0.05), i32(0), f32(0.05), i32(0)), []),
        (relay.cast(relay.nn.adaptive_avg_pool2d(relay.cast(X, "int32"), (1, 1)), "uint8"),
         [("vexa.avg_pooling2d", ("cast", "cast", "nn.adaptive_avg_pool2d"))]),
        (relay.nn.adaptive_avg_pool2d(relay.cast(X, "int32"), (1, 1)), []),  # the cast back is required
        (avg(pad(pad(X), 0)), [("vexa.avg_pooling2d", ("cast", "cast", "nn.avg_pool2d", "nn.pad", "nn.pad"))]),
        (avg(pad(X)), []),  # exactly two pads
        (avg(X), []),
        (mean(relay.cast(X, "int32")), [("vexa.mean", ("cast", "mean", "qnn.requantize"))]),
        (mean(X32), []),  # the cast before the mean is required
    ],
    ids=["maxpool-pad", "maxpool", "leaky", "qnn-leaky", "adaptive", "adaptive-no-cast", "avg-two-pads",
         "avg-one-pad", "avg-no-pad", "mean", "mean-no-cast"],
)
def test_single_op_entries(expr, expected):
    mod = partition(expr)
    assert composites(mod) == expected
    if expected:
        assert host_ops(mod) == ()


# ------------------------------------------------------ SiLU and hard-swish

def silu(x, dequantized=None, clip=False):
    sig = quantize(relay.sigmoid(dequantize(x if dequantized is None else dequantized)))
    return qmul(x, sig, clip=clip)


def tflite_hswish(x, second_dequantize=False, requantized=False):
    d = dequantize(x)
    d2 = dequantize(x) if second_dequantize else d
    out = quantize(relay.divide(relay.multiply(d2, relay.clip(relay.add(d, f32(3)), 0.0, 6.0)), f32(6)))
    return requantize(out) if requantized else out


SILU = ("qnn.dequantize", "qnn.mul", "qnn.quantize", "sigmoid")
HSWISH = ("add", "clip", "divide", "multiply", "qnn.dequantize", "qnn.quantize")


@pytest.mark.parametrize(
    "expr, expected",
    [
        (silu(X), [("vexa.tflite_silu", SILU)]),
        (silu(X, clip=True), [("vexa.tflite_silu", tuple(sorted(SILU + ("clip",))))]),
        # The multiplied input must be the very node that was dequantized.
        (silu(uint8_input(8, name="y"), dequantized=X), []),
        (silu(X, dequantized=uint8_input(8)), []),
        (tflite_hswish(X), [("vexa.tflite_hswish", HSWISH)]),
        (tflite_hswish(X, requantized=True), [("vexa.tflite_hswish", tuple(sorted(HSWISH + ("qnn.requantize",))))]),
        # One dequantize must feed both the add and the multiply.
        (tflite_hswish(X, second_dequantize=True), []),
    ],
    ids=["silu", "silu-clip", "silu-other-input", "silu-equal-but-distinct-input", "hswish",
         "hswish-requantized", "hswish-two-dequantizes"],
)
def test_activation_entries(expr, expected):
    assert composites(partition(expr)) == expected


@pytest.mark.parametrize("clip", [False, True])
def test_lone_qnn_mul_is_in_no_table(clip):
    mod = partition(qmul(uint8_input(8), uint8_input(8, name="y"), clip=clip))
    assert composites(mod) == []


# ----------------------------------------------------------------- error paths

@pytest.mark.parametrize(
    "check, expr, error",
    [
        ("check_qnn_add", qadd(X, uint8_input(8, name="y")), ValueError),
        ("check_qnn_add", qadd(X, uint8_input(8, name="y"), relu=True), ValueError),
        ("check_qnn_add", relay.clip(X, 0.0, 1.0), AttributeError),  # the walk meets a Var
        ("check_upsampling_nearest", relay.image.resize2d(X, (16, 16), method="nearest_neighbor"), ValueError),
        ("check_qnn_conv_pattern", relay.clip(X, 0.0, 1.0), AttributeError),
    ],
)
def test_checks_let_host_errors_through(check, expr, error):
    # Built without type inference: no checked type on any node.
    with pytest.raises(error):
        getattr(patterns, check)(expr)


def test_add_check_on_constants_needs_no_types():
    # Constants are refused before any type is read.
    assert patterns.check_qnn_add(qadd(X, const((1, 8, 8, 8)))) is False
    assert patterns._check_qnn_add(qadd(const((1, 8, 8, 8)), X)) is False


def prepared_body(expr):
    return driver.prepare(module(expr))["main"].body


@pytest.mark.parametrize(
    "check, expr, arch, result",
    [
        ("check_qnn_add", qadd(var("a", (1, 8, 8, 16)), var("b", (1, 8, 8, 16))), None, True),
        ("check_qnn_add", qadd(var("a", (1, 8, 8, 16)), var("b", (1, 1, 1, 16))), None,
         "operand shapes [1, 8, 8, 16] and [1, 1, 1, 16] differ"),
        ("check_qnn_add", qadd(var("a", (8, 16)), var("b", (8, 16))), None, "are not 4-D"),
        ("check_upsampling_nearest", relay.image.resize2d(X, (16, 16), method="nearest_neighbor"), None, True),
        ("check_upsampling_nearest", relay.image.resize2d(X, (16, 16)), None, "method linear"),
        ("check_upsampling_nearest", relay.image.resize2d(var("w", (1, 8, 8, 8), "int16"), (16, 16)), None,
         "input is int16, not int8 or uint8"),
        # The walk passes the layout_transform back to NCHW too: any first argument.
        ("check_qnn_conv_pattern", qconv(uint8_input(64), 64, 128, groups=4), "vexa-pro", True),
        ("check_qnn_conv_pattern", qconv(uint8_input(64), 64, 128, groups=4), "vexa-nano",
         "grouped convolution: input channels 64 not below channels 32 of vexa-nano"),
        ("check_qnn_conv_pattern", qconv(uint8_input(16), 16, 128, groups=2), "vexa-nano",
         "grouped convolution: 128 output channels in groups of 64 do not divide channels 32 of vexa-nano"),
        ("check_qnn_conv_pattern", qconv(uint8_input(64), 64, 128, groups=3), "vexa-pro",
         "groups 3 is not a power of two"),
        ("check_concat_pattern", qconcat([X, uint8_input(8, name="y")]), None, True),
    ],
)
def test_checks_return_booleans(check, expr, arch, result):
    # result: True, or the reason of the refusal.
    body = prepared_body(expr)
    with BuildConfig(arch_config={"arch": arch or "vexa-pro"}), current_graph(module(body)):
        assert getattr(patterns, check)(body) is (result is True)
        verdict, reason = patterns.explain_check(getattr(patterns, check), body)
    assert verdict is (result is True) and (reason is None if result is True else result in reason)


def test_every_check_of_the_int8_tables_has_refusals_with_reasons():
    from tvm.relay.op.contrib.register import get_pattern_table

    checks = {entry[2].__name__ for table in ("vexa", "vexa_with_clip", "vexa_with_fc")
              for entry in get_pattern_table(table) if len(entry) == 3}
    assert checks == {"check_qnn_add", "check_upsampling_nearest", "check_qnn_conv_pattern", "check_concat_pattern"}
