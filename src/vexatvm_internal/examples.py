"""Built-in example networks for the ``vexatvm`` command, written in Relay in
the forms TVM's frontends produce for quantized models."""

import numpy as np
import tvm
from tvm import relay

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


# name -> (builder, tables it is meant for, description)
EXAMPLES = {
    "int8-cnn": (int8_cnn, ("vexa",), "small quantized CNN (PyTorch-style int8 forms)"),
}


def load_example(name):
    """(module, params, default tables) of a built-in example."""
    builder, tables, _ = EXAMPLES[name]
    mod, params = builder()
    return mod, params, tables
