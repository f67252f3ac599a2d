"""Partition cost of the float32 tables on a BERT-base-sized encoder (12
layers, hidden 768, 12 heads, sequence 128), a ResNet-50-sized CNN (the four
bottleneck stages, 3-4-6-3 blocks) and a 640x640 detector ("vexa_blocks" then
"vexa_fp32"), written in Relay in the forms the ONNX frontend produces, plus
the import time of the pattern module.

    .venv/bin/python bench/bench_fp32.py [--arch NAME] [--layers N]
"""

import argparse

import tvm
from tvm import relay

from partition_timing import import_cost, report, time_partition


def bert_encoder(layers, seq=128, dim=768, heads=12):
    from vexatvm_internal.examples import _FloatBuilder

    f = _FloatBuilder()
    tokens = relay.var("tokens", shape=(1, seq, dim))
    h = tokens
    for _ in range(layers):
        q, k, v = (f.dense(h, 1, seq, dim, dim) for _ in range(3))
        attended = f.dense(f.attention(q, k, v, 1, seq, heads, dim), 1, seq, dim, dim)
        h = f.layer_norm(relay.add(attended, h), dim)
        ff = f.dense(f.gelu(f.dense(h, 1, seq, dim, 4 * dim)), 1, seq, 4 * dim, dim)
        h = f.layer_norm(relay.add(ff, h), dim)
    return tvm.IRModule.from_expr(relay.Function([tokens], h)), {}


def resnet50_like(size=224):
    from vexatvm_internal.examples import _FloatBuilder

    f = _FloatBuilder()
    image = relay.var("image", shape=(1, 3, size, size))
    y = relay.nn.relu(f.conv(image, 3, 64, kernel=7))
    y = relay.nn.max_pool2d(y, pool_size=(3, 3), strides=(2, 2), padding=(1, 1))
    cin = 64
    for width, blocks in ((64, 3), (128, 4), (256, 6), (512, 3)):
        for _ in range(blocks):
            out = 4 * width
            z = relay.nn.relu(f.conv(y, cin, width, kernel=1))
            z = relay.nn.relu(f.conv(z, width, width))
            z = f.conv(z, width, out, kernel=1)
            shortcut = y if cin == out else f.conv(y, cin, out, kernel=1)
            y = relay.nn.relu(relay.add(z, shortcut))
            cin = out
        y = relay.nn.max_pool2d(y, pool_size=(2, 2), strides=(2, 2))
    y = relay.nn.adaptive_avg_pool2d(y, output_size=(1, 1))
    return tvm.IRModule.from_expr(relay.Function([image], y)), {}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", default="vexa-pro")
    parser.add_argument("--layers", type=int, default=12)
    args = parser.parse_args()

    relay_s, patterns_s = import_cost()
    print(f"import tvm.relay: {relay_s * 1e3:.0f} ms; import vexatvm_internal.patterns beyond it: {patterns_s * 1e3:.1f} ms")
    mod, params = bert_encoder(args.layers)
    report(f"BERT-base-sized encoder ({args.layers} layers), vexa_fp32, {args.arch}",
           time_partition(mod, params, ("vexa_fp32",), args.arch))
    mod, params = resnet50_like()
    report(f"ResNet-50-sized CNN, vexa_fp32, {args.arch}", time_partition(mod, params, ("vexa_fp32",), args.arch))
    from vexatvm_internal.examples import yolo_detector

    mod, params = yolo_detector(size=640, classes=80)
    report(f"detector at 640x640, vexa_blocks then vexa_fp32, {args.arch}",
           time_partition(mod, params, ("vexa_blocks", "vexa_fp32"), args.arch))


if __name__ == "__main__":
    main()
