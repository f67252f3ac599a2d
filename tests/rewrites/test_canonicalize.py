"""The opt-in rewrites of real-export forms: each must compute what it
replaces (run before and after on the CPU) and must bring the form into one
the tables capture."""

import numpy as np
import pytest
import tvm
from tvm import relay
from tvm.relay import dataflow_pattern

import vexatvm_internal
from vexatvm_internal import rewrites
from vexatvm_internal.flow import driver

RNG = np.random.default_rng(0)


def const(*shape):
    return relay.const(RNG.standard_normal(shape).astype("float32"))


def run(mod, inputs):
    mod = relay.qnn.transform.CanonicalizeOps()(mod)  # lowers qnn ops for the CPU
    with tvm.transform.PassContext(opt_level=0):
        out = relay.create_executor("graph", mod=mod, target="llvm").evaluate()(*inputs)
    return out.numpy()


def ops(mod):
    names = []
    relay.analysis.post_order_visit(
        mod["main"], lambda n: names.append(n.op.name) if isinstance(n, relay.Call) and isinstance(n.op, tvm.ir.Op) else None)
    return names


def composites(mod):
    names = []
    relay.analysis.post_order_visit(
        mod["main"], lambda n: names.append(str(n.attrs["Composite"]))
        if isinstance(n, relay.Function) and n.attrs and "Composite" in n.attrs else None)
    return sorted(names)


def nchw_conv_bias_relu():
    x = relay.var("x", shape=(1, 4, 8, 8))
    y = relay.nn.conv2d(x, const(8, 4, 3, 3), channels=8, kernel_size=(3, 3), padding=(1, 1))
    return tvm.IRModule.from_expr(relay.Function([x], relay.nn.relu(relay.nn.bias_add(y, const(8))))), [(1, 4, 8, 8)]


def attention_scores():
    a = relay.var("a", shape=(4, 16, 8))
    b = relay.var("b", shape=(4, 16, 8))
    scores = relay.reshape(relay.nn.batch_matmul(a, b), (1, 4, 16, 16))
    return tvm.IRModule.from_expr(relay.Function([a, b], relay.nn.softmax(relay.multiply(scores, relay.const(0.125))))), [(4, 16, 8), (4, 16, 8)]


def attention_scaled_query_key():
    # PyTorch's scaled-dot-product export: query and key each scaled before
    # the product, and the heads merged back through two reshapes.
    x = relay.var("x", shape=(1, 8, 64))

    def heads(y, axes):
        return relay.transpose(relay.reshape(y, (1, 8, -1, 16)), axes)

    q = relay.multiply(heads(x, [0, 2, 1, 3]), relay.const(0.35))
    k = relay.multiply(heads(relay.add(x, const(64)), [0, 2, 3, 1]), relay.const(0.35))
    v = heads(relay.subtract(x, const(64)), [0, 2, 1, 3])
    key = relay.transpose(relay.reshape(k, (-1, 16, 8)), [0, 2, 1])
    scores = relay.reshape(relay.nn.batch_matmul(relay.reshape(q, (-1, 8, 16)), key), (1, 4, 8, 8))
    probs = relay.reshape(relay.nn.softmax(scores, axis=3), (-1, 8, 8))
    out = relay.nn.batch_matmul(probs, relay.transpose(relay.reshape(v, (-1, 8, 16)), [0, 2, 1]))
    out = relay.reshape(relay.reshape(out, (1, 4, 8, 16)), (1, -1, 8, 16))
    y = relay.reshape(relay.transpose(out, [0, 2, 1, 3]), (1, 8, -1))
    return tvm.IRModule.from_expr(relay.Function([x], y)), [(1, 8, 64)]


def nearest_floor_upsampling():
    # YOLOv5's export: Resize(nearest, asymmetric, floor).
    x = relay.var("x", shape=(1, 4, 6, 6))
    y = relay.image.resize2d(relay.nn.relu(x), (12, 12), method="nearest_neighbor",
                             coordinate_transformation_mode="asymmetric", rounding_method="floor")
    return tvm.IRModule.from_expr(relay.Function([x], y)), [(1, 4, 6, 6)]


def keras_repeat_upsampling(rows=2, columns=4):
    # Keras 3's UpSampling2D in a TFLite graph: repeat rows, then columns.
    n, h, w, c = 1, 3, 5, 4
    x = relay.var("x", shape=(n, h, w, c), dtype="int8")
    y = relay.expand_dims(x, axis=2)
    y = relay.reshape(relay.tile(y, (1, 1, rows, 1, 1)), (n, h * rows, w, 1, c))
    y = relay.reshape(relay.tile(y, (1, 1, 1, columns, 1)), (n, h * rows, w * columns, c))
    return tvm.IRModule.from_expr(relay.Function([x], y)), [(n, h, w, c)]


def layer_norm_opset17(eps=1e-5):
    # How TVM's ONNX frontend writes LayerNormalization (opset 17).
    x = relay.var("x", shape=(1, 16, 32))
    mean = relay.mean(x, axis=[2], keepdims=True)
    var = relay.variance(x, axis=[2], keepdims=True, with_mean=mean)
    inv_stdev = relay.divide(relay.const(1.0), relay.sqrt(relay.add(var, relay.const(eps))))
    y = relay.add(relay.multiply(relay.multiply(relay.subtract(x, mean), inv_stdev), const(32)), const(32))
    return tvm.IRModule.from_expr(relay.Function([x], y)), [(1, 16, 32)]


def int8_square():
    q = relay.var("q", shape=(1, 3, 8, 8, 7), dtype="int8")
    deq = relay.qnn.dequantize(q, relay.const(0.05), relay.const(0))
    part = relay.reshape(relay.strided_slice(relay.reshape(deq, (1, 3, 8, 8, 7)), begin=[0, 0, 0, 0, 2], end=[1, 3, 8, 8, 4]), (1, 192, 2))
    return tvm.IRModule.from_expr(relay.Function([q], relay.power(part, relay.const(2.0)))), [(1, 3, 8, 8, 7)]


def quantized_linear():
    x = relay.var("x", shape=(1, 64), dtype="uint8")
    zero = relay.const(0)
    w = relay.qnn.quantize(const(10, 64), relay.const(0.02), zero, out_dtype="int8", axis=0)
    y = relay.qnn.dense(x, w, zero, zero, relay.const(0.05), relay.const(0.02), units=10)
    b = relay.qnn.quantize(const(10), relay.const(0.001), zero, out_dtype="int32")
    y = relay.qnn.requantize(relay.nn.bias_add(y, b), relay.const(0.001), zero, relay.const(0.1), zero, out_dtype="int32")
    y = relay.cast(relay.clip(y, 0, 255), "uint8")
    x_in = relay.var("flat", shape=(1, 64, 1, 1), dtype="uint8")
    body = relay.Function([x_in], relay.bind(y, {x: relay.squeeze(relay.reshape(x_in, (1, 64, 1, 1)), axis=[2, 3])}))
    return tvm.IRModule.from_expr(body), [(1, 64, 1, 1)]


def tflite_style_conv():
    # A quantized convolution without clip and cast, as ONNX Runtime's
    # QOperator models give it: only the TFLite convolution entry fits.
    x = relay.var("x", shape=(1, 4, 8, 8), dtype="uint8")
    zero = relay.const(0)
    w = relay.const(RNG.integers(-100, 100, (8, 4, 3, 3)).astype("int8"))
    y = relay.qnn.conv2d(x, w, zero, zero, relay.const(0.05), relay.const(0.02), kernel_size=(3, 3), channels=8)
    y = relay.nn.bias_add(y, relay.const(RNG.integers(-50, 50, (8,)).astype("int32")))
    y = relay.qnn.requantize(y, relay.const(0.001), zero, relay.const(0.1), zero, out_dtype="uint8")
    return tvm.IRModule.from_expr(relay.Function([x], y)), [(1, 4, 8, 8)]


def tflite_fully_connected(per_channel=False):
    # TVM's TFLite import of a fully-connected layer without bias (the
    # converter drops a bias of zeros): after Keras's Flatten two reshapes,
    # after a global pool one; per-channel weight scales as our reader imports them.
    x = relay.var("x", shape=(1, 1, 1, 64) if per_channel else (1, 2, 4, 8), dtype="int8")
    flat = relay.reshape(x, (-1, 64)) if per_channel else relay.reshape(relay.reshape(x, (1, 64)), (-1, 64))
    w = relay.const(RNG.integers(-100, 100, (10, 64)).astype("int8"))
    w_scale = relay.const(RNG.uniform(0.01, 0.03, 10).astype("float32")) if per_channel else relay.const(0.02)
    y = relay.qnn.dense(flat, w, relay.const(-128), relay.const(0), relay.const(0.05), w_scale, units=10)
    scale = relay.const(0.05 * w_scale.data.numpy()) if per_channel else relay.const(0.001)
    y = relay.qnn.requantize(y, scale, relay.const(0), relay.const(0.1), relay.const(3), out_dtype="int8")
    return tvm.IRModule.from_expr(relay.Function([x], y)), [x.type_annotation.concrete_shape]


def tflite_fully_connected_per_channel():
    return tflite_fully_connected(per_channel=True)


CASES = [
    (tflite_style_conv, ("vexa",), None, "nn.bias_add", "vexa.qnn_tflite_qconv"),
    # builder, tables, op that disappears, op that appears, composite the rewrite enables
    (nchw_conv_bias_relu, ("vexa_fp32",), None, None, "vexa_fp32.bias_add"),
    (attention_scores, ("vexa_fp32",), "multiply", "divide", None),
    (attention_scaled_query_key, ("vexa_fp32",), "multiply", "divide", "vexa_fp32.attention"),
    (layer_norm_opset17, ("vexa_fp32",), "variance", "power", "vexa_fp32.layer_norm"),
    (nearest_floor_upsampling, ("vexa_fp32",), None, None, "vexa_fp32.upsampling"),
    (keras_repeat_upsampling, ("vexa",), "tile", "image.resize2d", "vexa.upsampling_nearest"),
    (int8_square, ("vexa_blocks",), "power", "multiply", None),
    (quantized_linear, ("vexa_with_fc",), None, "nn.bias_add", "vexa.qnn_fc"),
    (tflite_fully_connected, ("vexa_with_fc",), None, "squeeze", "vexa.qnn_fc"),
    (tflite_fully_connected_per_channel, ("vexa_with_fc",), None, "nn.bias_add", "vexa.qnn_fc"),
]


def tvm_rewrite(mod):
    """_canonicalize's rewrites run by TVM's own rewrite, which types the graph before every callback."""
    out = mod.clone()
    out["main"] = dataflow_pattern.rewrite(list(rewrites._canonical_rewrites(mod)), mod["main"], mod)
    return relay.transform.InferType()(out)


@pytest.mark.parametrize("build, tables, gone, new, enabled", CASES, ids=[c[0].__name__ for c in CASES])
def test_rewrite_computes_the_same_and_enables_the_form(build, tables, gone, new, enabled):
    mod, shapes = build()
    prepared = driver.prepare(mod, None, tables)
    rewritten = rewrites._canonicalize(prepared)
    assert tvm.ir.structural_equal(rewritten, tvm_rewrite(prepared))
    if gone:
        assert gone in ops(prepared) and gone not in ops(rewritten)
    if new:
        assert ops(rewritten).count(new) > ops(prepared).count(new)
    inputs = []
    for param, shape in zip(mod["main"].params, shapes):
        dtype = param.type_annotation.dtype
        data = RNG.integers(0, 100, shape) if "int" in dtype else RNG.standard_normal(shape)
        inputs.append(data.astype(dtype))
    np.testing.assert_allclose(run(rewritten, inputs), run(prepared, inputs), rtol=1e-5, atol=1e-5)
    if enabled:
        arch = "vexa-pro"
        assert enabled not in composites(vexatvm_internal.partition_for_vexa(mod, tables=tables, arch=arch, canonicalize=False))
        assert enabled in composites(vexatvm_internal.partition_for_vexa(mod, tables=tables, arch=arch, canonicalize=True))


def test_forms_that_stay_as_they_are():
    # A different epsilon is a different computation: rewritten to the mean
    # form, but still not a layer norm the table captures.
    mod, _ = layer_norm_opset17(eps=1e-12)
    assert "vexa_fp32.layer_norm" not in composites(
        vexatvm_internal.partition_for_vexa(mod, tables=("vexa_fp32",), arch="vexa-pro", canonicalize=True))
    # Repeating by 3 is a nearest resize too, but TVM's float source
    # coordinate i * (1 / 3) is not exact: left as it is.
    mod = driver.prepare(keras_repeat_upsampling(rows=3)[0], None, ("vexa",))
    assert tvm.ir.structural_equal(rewrites._canonicalize(mod), mod)
    # Full-shape constants, cubes and float32 power of a computed value are untouched.
    x = relay.var("x", shape=(1, 2, 2, 4))
    y = relay.power(relay.add(relay.nn.relu(x), const(1, 2, 2, 4)), relay.const(3.0))
    mod = driver.prepare(tvm.IRModule.from_expr(relay.Function([x], y)), None, ("vexa_fp32",))
    assert tvm.ir.structural_equal(rewrites._canonicalize(mod), mod)
    # The fully-connected entry's own transposed flatten keeps its reshapes.
    x = relay.var("x", shape=(1, 64, 1, 1), dtype="int8")
    flat = relay.reshape(relay.reshape(relay.transpose(x, (0, 2, 3, 1)), (1, -1)), (1, 64))
    y = relay.qnn.dense(flat, relay.const(np.ones((10, 64), "int8")), relay.const(0), relay.const(0),
                        relay.const(0.05), relay.const(0.02), units=10)
    y = relay.qnn.requantize(y, relay.const(0.001), relay.const(0), relay.const(0.1), relay.const(0), out_dtype="int8")
    names = ops(rewrites._canonicalize(driver.prepare(tvm.IRModule.from_expr(relay.Function([x], y)), None, ("vexa",))))
    assert names.count("reshape") == 2 and "squeeze" not in names and "nn.bias_add" in names
    # TFLite's fully-connected form is brought to "vexa_with_fc" only where that table runs.
    mod = driver.prepare(tflite_fully_connected()[0], None, ("vexa",))
    assert tvm.ir.structural_equal(rewrites._canonicalize(mod, ["vexa"]), mod)
