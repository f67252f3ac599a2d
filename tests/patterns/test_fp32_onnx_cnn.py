"""A small float32 convolution network written as an ONNX graph, imported with
TVM's ONNX frontend and partitioned with "vexa_fp32" on two architectures."""

import numpy as np
import pytest

onnx = pytest.importorskip("onnx")
from onnx import TensorProto, helper, numpy_helper  # noqa: E402
from tvm import relay  # noqa: E402

from fp32_graphs import NANO, PRO, composites, host_calls, inside, op_name, partition, root_composite  # noqa: E402
from onnx_import import exact_onnx_import  # noqa: E402

RNG = np.random.default_rng(0)


def weight(name, *shape):
    return numpy_helper.from_array((RNG.standard_normal(shape) * 0.1).astype("float32"), name)


def build_model():
    initializers = [
        weight("w1", 8, 3, 3, 3), weight("b1", 8), weight("w2", 8, 8, 3, 3), weight("b2", 8),
        weight("w3", 8, 16, 1, 1), weight("w4", 8, 8, 1, 1), weight("wt", 8, 8, 2, 2),
        weight("w5", 16, 16, 1, 1), weight("w6", 16, 4, 1, 1),
        numpy_helper.from_array(np.array([], "float32"), "roi"),
        numpy_helper.from_array(np.array([1, 1, 2, 2], "float32"), "scales"),
        numpy_helper.from_array(np.array(0.0, "float32"), "lo"),
        numpy_helper.from_array(np.array(6.0, "float32"), "hi"),
    ]
    node = helper.make_node
    nodes = [
        node("Conv", ["x", "w1", "b1"], ["c1"], pads=[1, 1, 1, 1]),
        node("HardSwish", ["c1"], ["h1"]),
        node("MaxPool", ["h1"], ["p1"], kernel_shape=[3, 3], strides=[2, 2], pads=[1, 1, 1, 1]),
        node("Conv", ["p1", "w2", "b2"], ["c2"], pads=[1, 1, 1, 1]),
        node("Sigmoid", ["c2"], ["s2"]),
        node("Mul", ["c2", "s2"], ["m2"]),
        node("Concat", ["p1", "m2"], ["cat"], axis=1),
        node("Resize", ["cat", "roi", "scales"], ["up"], mode="nearest"),
        node("Conv", ["up", "w3"], ["c3"]),
        node("Relu", ["c3"], ["r3"]),
        node("GlobalAveragePool", ["r3"], ["gap"]),
        node("ConvTranspose", ["r3", "wt"], ["tconv"], strides=[2, 2]),
        node("Conv", ["r3", "w4"], ["c4"]),
        node("Clip", ["c4", "lo", "hi"], ["relu6"]),
        node("LeakyRelu", ["c4"], ["leaky"], alpha=0.1),
        node("Add", ["c4", "r3"], ["residual"]),
        node("Resize", ["r3", "roi", "scales"], ["nearest"], mode="nearest"),
        node("Resize", ["r3", "roi", "scales"], ["linear"], mode="linear"),
        node("Concat", ["c4", "r3"], ["cat2"], axis=1),
        node("Conv", ["cat2", "w5"], ["plain"]),
        node("Concat", ["r3", "c4"], ["cat3"], axis=1),
        node("Conv", ["cat3", "w6"], ["grouped"], group=4),
    ]
    outputs = {"gap": (1, 8, 1, 1), "tconv": (1, 8, 32, 32), "relu6": (1, 8, 16, 16), "leaky": (1, 8, 16, 16),
               "residual": (1, 8, 16, 16), "nearest": (1, 8, 32, 32), "linear": (1, 8, 32, 32),
               "plain": (1, 16, 16, 16), "grouped": (1, 16, 16, 16)}
    graph = helper.make_graph(
        nodes, "cnn", [helper.make_tensor_value_info("x", TensorProto.FLOAT, (1, 3, 16, 16))],
        [helper.make_tensor_value_info(name, TensorProto.FLOAT, shape) for name, shape in outputs.items()],
        initializers)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 14)])
    model.ir_version = 8
    onnx.checker.check_model(model)
    return model, list(outputs)


@pytest.fixture(scope="module")
def network():
    model, names = build_model()
    mod, params = exact_onnx_import(model, {"x": (1, 3, 16, 16)}, freeze_params=True)
    result = {}
    for arch_value in (PRO, NANO):
        body = partition(mod, arch=arch_value, params=params)["main"].body
        result[arch_value] = dict(zip(names, body.fields))
    return result


def through_layout(expr):
    while op_name(expr) == "layout_transform":
        expr = expr.args[0]
    return expr


COMMON = {
    "vexa_fp32.conv2d": 6,
    "vexa_fp32.hswish_onnx": 1,
    "vexa_fp32.maxpool2d": 1,
    "vexa_fp32.silu": 1,
    "vexa_fp32.upsampling_concat": 1,
    "vexa_fp32.relu": 1,
    "vexa_fp32.hardtanh": 1,
    "vexa_fp32.leaky_relu": 1,
    "vexa_fp32.res_add": 1,
    "vexa_fp32.upsampling": 1,
    "vexa_fp32.concatenate": 1,
}


@pytest.mark.parametrize(
    "arch_value, extra",
    [
        (PRO, {"vexa_fp32.avg_pool2d_onnx": 1, "vexa_fp32.tconv2d": 1}),
        # vexa-nano: a 16-wide pool input exceeds max_kernel_side 7; no TransposedConv2d.
        (NANO, {}),
    ],
)
def test_composites(network, arch_value, extra):
    whole = relay.Tuple(list(network[arch_value].values()))
    assert composites(whole) == {**COMMON, **extra}


@pytest.mark.parametrize(
    "output, expected, holds",
    [
        ("relu6", "vexa_fp32.hardtanh", ("clip",)),
        ("leaky", "vexa_fp32.leaky_relu", ("nn.leaky_relu",)),
        ("residual", "vexa_fp32.res_add", ("add",)),
        ("linear", "vexa_fp32.upsampling", ("image.resize2d",)),
        # ONNX's default nearest_mode imports as rounding "round_prefer_floor": refused.
        ("nearest", None, None),
        ("plain", "vexa_fp32.conv2d", ("nn.conv2d",)),
        ("grouped", "vexa_fp32.conv2d", ("nn.conv2d",)),
        ("gap", "vexa_fp32.avg_pool2d_onnx", ("nn.global_avg_pool2d",)),
        ("tconv", "vexa_fp32.tconv2d", ("nn.conv2d_transpose",)),
    ],
)
def test_outputs_on_pro(network, output, expected, holds):
    expr = through_layout(network[PRO][output])
    assert root_composite(expr) == expected
    if holds:
        assert inside(expr) == holds


def test_concatenation_goes_with_an_ungrouped_consumer_only(network):
    plain, grouped = (through_layout(network[PRO][name]) for name in ("plain", "grouped"))
    assert root_composite(plain.args[0]) == "vexa_fp32.concatenate"
    assert op_name(grouped.args[0]) == "concatenate"


def test_stem_forms(network):
    # Conv + bias: the convolution is captured, the bias stays on the host as
    # add(conv, (1, 1, 1, C)); HardSwish keeps the ONNX form; MaxPool's pads
    # are an attribute, so the pool alone is captured; the concatenation
    # resized is one composite, rounding "round_prefer_floor" included (its
    # check is check_fp32 alone).
    gap = through_layout(network[PRO]["gap"])
    relu = gap.args[0]
    conv = relu.args[0]
    upsampling_concat = conv.args[0]
    assert root_composite(upsampling_concat) == "vexa_fp32.upsampling_concat"
    assert inside(upsampling_concat) == ("concatenate", "image.resize2d")
    resize = upsampling_concat.op.body
    assert resize.attrs.rounding_method == "round_prefer_floor"
    maxpool, silu = upsampling_concat.args
    assert root_composite(maxpool) == "vexa_fp32.maxpool2d" and inside(maxpool) == ("nn.max_pool2d",)
    assert root_composite(silu) == "vexa_fp32.silu"
    hswish = maxpool.args[0]
    assert root_composite(hswish) == "vexa_fp32.hswish_onnx"
    assert inside(hswish) == ("add", "clip", "multiply", "multiply")
    bias = hswish.args[0]
    assert op_name(bias) == "add" and root_composite(bias.args[0]) == "vexa_fp32.conv2d"
    assert [int(d) for d in bias.args[1].checked_type.shape] == [1, 1, 1, 8]
    assert [op_name(c) for c in host_calls(bias)] == ["add", "layout_transform"]
