"""Built-in example networks for the ``vexatvm`` command, written in Relay in
the forms TVM's frontends produce for quantized models."""

import numpy as np
import tvm
from tvm import relay

from .examples_catalogue import CATALOGUE

__all__ = ["EXAMPLES", "load_example"]


class _QuantizedBuilder:
    """Builds an int8 network the way PyTorch's quantized models arrive (uint8
    activations, int8 weights quantized in the graph, int32 bias)."""

    def __init__(self, seed=0):
        self.rng = np.random.default_rng(seed)
        self.scale = relay.const(0.05, "float32")
        self.zero = relay.const(0, "int32")

    def _requantize(self, x, out_dtype="int32"):
        return relay.qnn.requantize(x, relay.const(0.01), self.zero, self.scale, self.zero, out_dtype=out_dtype)

    def conv(self, x, cin, cout, kernel=3, groups=1, stride=1, relu6=False):
        """pad, quantize(weights), qnn.conv2d, bias_add, requantize, clip, cast [, clip]."""
        pad = kernel // 2
        if pad:
            x = relay.nn.pad(x, ((0, 0), (0, 0), (pad, pad), (pad, pad)))
        w = self.rng.standard_normal((cout, cin // groups, kernel, kernel)).astype("float32")
        weight = relay.qnn.quantize(relay.const(w), relay.const(0.02), self.zero, out_dtype="int8", axis=0)
        y = relay.qnn.conv2d(x, weight, self.zero, self.zero, self.scale, relay.const(0.02),
                             kernel_size=(kernel, kernel), channels=cout, groups=groups, strides=(stride, stride))
        b = self.rng.standard_normal(cout).astype("float32")
        bias = relay.qnn.quantize(relay.const(b), relay.const(0.001), self.zero, out_dtype="int32", axis=0)
        y = self._requantize(relay.nn.bias_add(y, bias))
        y = relay.cast(relay.clip(y, 0, 255), "uint8")
        return relay.clip(y, 0, 120) if relu6 else y

    def hswish(self, x):
        """x * relu6(x + 3) / 6 on the quantized convolution output."""
        shifted = relay.cast(relay.clip(relay.add(self._requantize(x), relay.const(60)), 0, 255), "uint8")
        clipped = relay.clip(shifted, 0, 120)
        return relay.qnn.mul(x, clipped, self.scale, self.zero, self.scale, self.zero, self.scale, self.zero)

    def add(self, a, b):
        return relay.clip(relay.qnn.add(a, b, self.scale, self.zero, self.scale, self.zero, self.scale, self.zero), 0, 255)

    def concat(self, inputs):
        n = len(inputs)
        scales = relay.Tuple([self.scale] * n)
        zeros = relay.Tuple([self.zero] * n)
        return relay.qnn.concatenate(relay.Tuple(inputs), scales, zeros, self.scale, self.zero, axis=1)

    def linear(self, x, cin, cout):
        """reshape, squeeze, qnn.dense, bias_add, requantize, clip, cast."""
        x = relay.squeeze(relay.reshape(x, (1, cin, 1, 1)), axis=[2, 3])
        w = self.rng.standard_normal((cout, cin)).astype("float32")
        weight = relay.qnn.quantize(relay.const(w), relay.const(0.02), self.zero, out_dtype="int8", axis=0)
        y = relay.qnn.dense(x, weight, self.zero, self.zero, self.scale, relay.const(0.02), units=cout)
        bias = relay.qnn.quantize(relay.const(np.zeros(cout, "float32")), relay.const(0.001), self.zero, out_dtype="int32")
        y = self._requantize(relay.nn.bias_add(y, bias))
        return relay.cast(relay.clip(y, 0, 255), "uint8")


def int8_cnn(scale=1):
    """A small quantized CNN: padded and grouped convolutions, a hard-swish
    convolution, a residual add, a concatenation, max and average pooling, a
    nearest-neighbour resize and a fully-connected layer. ``scale`` repeats the
    middle stage to make a larger network."""
    q = _QuantizedBuilder()
    x = relay.var("input", shape=(1, 16, 32, 32), dtype="uint8")
    y = q.conv(x, 16, 32, relu6=True)
    y = q.hswish(q.conv(y, 32, 32))
    for _ in range(scale):
        branch = q.conv(y, 32, 32, groups=4)  # grouped: the architecture decides
        branch = q.conv(branch, 32, 32, groups=32)  # depthwise
        y = q.add(y, branch)
    wide = q.concat([y, q.conv(y, 32, 32, kernel=1)])
    y = relay.nn.max_pool2d(relay.nn.pad(wide, ((0, 0), (0, 0), (1, 1), (1, 1))), pool_size=(3, 3), strides=(2, 2))
    y = q.conv(y, 64, 32, kernel=1)
    up = relay.image.resize2d(y, size=(32, 32), method="nearest_neighbor", rounding_method="round")
    y = q.concat([up, q.conv(up, 32, 32)])
    pooled = relay.cast(relay.nn.adaptive_avg_pool2d(relay.cast(y, "int32"), output_size=(1, 1)), "uint8")
    out = q.linear(pooled, 64, 10)
    return tvm.IRModule.from_expr(relay.Function([x], out)), {}


class _FloatBuilder:
    """Builds float32 layers the way the ONNX and PyTorch frontends leave them."""

    def __init__(self, seed=0):
        self.rng = np.random.default_rng(seed)

    def const(self, *shape):
        return relay.const(self.rng.standard_normal(shape).astype("float32") * 0.1)

    def conv(self, x, cin, cout, kernel=3, groups=1):
        y = relay.nn.conv2d(x, self.const(cout, cin // groups, kernel, kernel), channels=cout,
                            kernel_size=(kernel, kernel), padding=(kernel // 2, kernel // 2), groups=groups)
        return relay.nn.bias_add(y, self.const(cout))

    def dense(self, x, batch, seq, din, dout):
        """reshape, nn.dense with constant weights, reshape, then add(C, x)."""
        y = relay.nn.dense(relay.reshape(x, (batch * seq, din)), self.const(dout, din))
        return relay.add(self.const(dout), relay.reshape(y, (batch, seq, dout)))

    def layer_norm(self, x, dim):
        mean = relay.mean(x, axis=-1, keepdims=True)
        err = relay.subtract(x, mean)
        var = relay.mean(relay.power(err, relay.const(2.0)), axis=-1, keepdims=True)
        y = relay.divide(err, relay.sqrt(relay.add(var, relay.const(1e-5))))
        return relay.add(relay.multiply(y, self.const(dim)), self.const(dim))

    def gelu(self, x):
        inner = relay.add(relay.erf(relay.divide(x, relay.const(float(np.sqrt(2.0))))), relay.const(1.0))
        return relay.multiply(relay.multiply(x, inner), relay.const(0.5))

    def attention(self, q, k, v, batch, seq, heads, dim):
        """Scaled dot-product attention, scores divided by sqrt(head size)."""
        hd = dim // heads

        def split(y, axes):
            return relay.reshape(relay.transpose(relay.reshape(y, (batch, seq, heads, hd)), axes), (-1, seq, hd) if axes == (0, 2, 1, 3) else (-1, hd, seq))

        query = split(q, (0, 2, 1, 3))
        key = relay.transpose(split(k, (0, 2, 3, 1)), (0, 2, 1))
        scores = relay.reshape(relay.nn.batch_matmul(query, key), (batch, heads, seq, seq))
        probs = relay.reshape(relay.nn.softmax(relay.divide(scores, relay.const(float(np.sqrt(hd))))), (-1, seq, seq))
        value = relay.transpose(split(v, (0, 2, 1, 3)), (0, 2, 1))
        out = relay.nn.batch_matmul(probs, value)
        out = relay.reshape(relay.transpose(relay.reshape(out, (batch, heads, seq, hd)), (0, 2, 1, 3)), (batch, seq, dim))
        return out


def fp32_cnn_transformer():
    """A small float32 CNN (convolutions with bias, relu, zero-padded max pool,
    hard-swish, silu, a concatenation resized, global average pooling) and one
    transformer encoder layer (projections, attention, layer norms, gelu)."""
    f = _FloatBuilder()
    image = relay.var("image", shape=(1, 3, 32, 32))
    y = relay.nn.relu(f.conv(image, 3, 16))
    y = relay.nn.max_pool2d(relay.nn.pad(y, ((0, 0), (0, 0), (1, 1), (1, 1)), 0.0), pool_size=(3, 3), strides=(2, 2))
    y = f.conv(y, 16, 16)
    y = relay.multiply(y, relay.divide(relay.clip(relay.add(y, relay.const(3.0)), 0.0, 6.0), relay.const(6.0)))
    z = f.conv(y, 16, 16)
    z = relay.multiply(z, relay.sigmoid(z))
    y = relay.image.resize2d(relay.concatenate([y, z], axis=1), size=(32, 32), method="nearest_neighbor", rounding_method="round")
    y = relay.nn.relu(f.conv(y, 32, 32, kernel=1))
    pooled = relay.nn.adaptive_avg_pool2d(y, output_size=(1, 1))

    batch, seq, dim, heads = 1, 16, 64, 4
    tokens = relay.var("tokens", shape=(batch, seq, dim))
    q = f.dense(tokens, batch, seq, dim, dim)
    k = f.dense(tokens, batch, seq, dim, dim)
    v = f.dense(tokens, batch, seq, dim, dim)
    attended = f.dense(f.attention(q, k, v, batch, seq, heads, dim), batch, seq, dim, dim)
    h = f.layer_norm(relay.add(attended, tokens), dim)
    ff = f.dense(f.gelu(f.dense(h, batch, seq, dim, 4 * dim)), batch, seq, 4 * dim, dim)
    encoded = f.layer_norm(relay.add(ff, h), dim)
    return tvm.IRModule.from_expr(relay.Function([image, tokens], relay.Tuple([pooled, encoded]))), {}


def _yolo_head(f, feature, channels, grid_side, stride, classes, style):
    """One output scale of a YOLOv5 detection head and its post-processing,
    as an ONNX export leaves it: "split" for the newer head, three slices and
    "- 0.5" for the older one."""
    outputs = classes + 5
    y = relay.nn.conv2d(feature, f.const(3 * outputs, channels, 1, 1), channels=3 * outputs, kernel_size=(1, 1))
    y = relay.nn.bias_add(y, f.const(3 * outputs))
    y = relay.transpose(relay.reshape(y, (1, 3, outputs, grid_side, grid_side)), (0, 1, 3, 4, 2))
    y = relay.sigmoid(y)
    shape = (1, 3, grid_side, grid_side, 2)
    grid = relay.const(f.rng.integers(0, grid_side, shape).astype("float32"))
    anchor = relay.const(f.rng.uniform(10, 100, shape).astype("float32"))
    if style == "split":
        parts = relay.split(y, (2, 4), axis=4)
        xy = relay.multiply(relay.add(relay.multiply(parts[0], relay.const(2.0)), grid), relay.const(float(stride)))
        wh = relay.multiply(relay.power(relay.multiply(parts[1], relay.const(2.0)), relay.const(2.0)), anchor)
        conf = parts[2]
    else:
        xy = relay.strided_slice(y, begin=(0, 0, 0, 0, 0), end=(1, 3, grid_side, grid_side, 2))
        xy = relay.subtract(relay.multiply(xy, relay.const(2.0)), relay.const(0.5))
        xy = relay.multiply(relay.add(xy, grid), relay.const(float(stride)))
        wh = relay.strided_slice(y, begin=(0, 0, 0, 0, 2), end=(1, 3, grid_side, grid_side, 4))
        wh = relay.multiply(relay.power(relay.multiply(wh, relay.const(2.0)), relay.const(2.0)), anchor)
        conf = relay.strided_slice(y, begin=(0, 0, 0, 0, 4), end=(1, 3, grid_side, grid_side, outputs))
    y = relay.concatenate([xy, wh, conf], axis=4)
    return relay.reshape(y, (1, 3 * grid_side * grid_side, outputs))


def yolo_detector(size=64, classes=3, style="split"):
    """A YOLOv5-style detector: a small convolution backbone with SiLU
    activations and a detection head at three scales (strides 8, 16, 32) whose
    post-processing is written as exports leave it."""
    f = _FloatBuilder()
    image = relay.var("image", shape=(1, 3, size, size))

    def conv_silu(x, cin, cout, stride):
        y = relay.nn.conv2d(x, f.const(cout, cin, 3, 3), channels=cout, kernel_size=(3, 3),
                            padding=(1, 1), strides=(stride, stride))
        y = relay.nn.bias_add(y, f.const(cout))
        return relay.multiply(y, relay.sigmoid(y))

    y = conv_silu(image, 3, 8, 2)
    y = conv_silu(y, 8, 16, 2)
    p3 = conv_silu(y, 16, 16, 2)
    p4 = conv_silu(p3, 16, 32, 2)
    p5 = conv_silu(p4, 32, 32, 2)
    heads = [
        _yolo_head(f, feature, channels, size // stride, stride, classes, style)
        for feature, channels, stride in ((p3, 16, 8), (p4, 32, 16), (p5, 32, 32))
    ]
    return tvm.IRModule.from_expr(relay.Function([image], relay.concatenate(heads, axis=1))), {}


def yolo_detector_v1():
    """The detector with the older head (three slices)."""
    return yolo_detector(style="slices")


# name -> (builder, tables it is meant for, description)
EXAMPLES = {name: (globals()[builder], tables, text) for name, (builder, tables, text) in CATALOGUE.items()}


def load_example(name):
    """(module, params, default tables) of a built-in example."""
    builder, tables, _ = EXAMPLES[name]
    mod, params = builder()
    return mod, params, tables
