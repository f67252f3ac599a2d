"""The block table beside the float32 table on a small detector: the whole
post-processing becomes one block composite, the convolutions become
convolution composites, and nothing of the post-processing stays behind."""

import collections

import pytest
from tvm import relay

from vexatvm_internal.examples import yolo_detector
from yolo_graphs import (NAMES, QNN_FULL, block_composites, composite_names, host_ops, op_counts, partition,
                         quantized_detector)

POST_OPS = {
    # three scales: layout_transform (from the NHWC conversion), reshape,
    # transpose, sigmoid, the three parts, concatenate, reshape; one join
    "split": dict(layout_transform=3, reshape=6, transpose=3, sigmoid=3, split=3, multiply=12, add=3, power=3,
                  concatenate=4),
    "slices": dict(layout_transform=3, reshape=6, transpose=3, sigmoid=3, strided_slice=9, multiply=12, subtract=3,
                   add=3, power=3, concatenate=4),
}


# preparing a detector folds its convolution weights, seconds per case
@pytest.mark.parametrize("style, classes", [("split", 3), ("slices", 3), ("split", 80), ("slices", 1)])
def test_block_first_then_fp32(style, classes):
    mod, params = yolo_detector(size=64, classes=classes, style=style)
    convs = op_counts(mod["main"].body)["nn.conv2d"]
    out = partition(mod, tables=("vexa_blocks", "vexa_fp32"), arch="vexa-pro", params=params)

    names = composite_names(out)
    assert names["vexa_blocks.yolov5_fp32_post"] == 1
    assert names["vexa_fp32.conv2d"] == convs
    assert all(n.startswith("vexa_fp32.") for n in names if n != "vexa_blocks.yolov5_fp32_post")

    (_, func, call), = block_composites(out)
    assert op_counts(func.body) == collections.Counter(POST_OPS[style])
    assert sum(not isinstance(a, relay.Constant) for a in call.args) == 3
    # nothing of the post-processing left on the host
    assert not set(host_ops(out)) & set(POST_OPS[style]) - {"add", "layout_transform"}


@pytest.mark.parametrize("form, options", [
    ("i8", {}),
    ("qnn", QNN_FULL),
    ("qnn", dict(QNN_FULL, pre_rt=False)),
    ("qnn", {k: False for k in QNN_FULL}),
], ids=["i8", "qnn", "qnn-no-reshape-before-dequantize", "qnn-bare"])
def test_quantized_block_first_then_int8(form, options):
    # the NHWC conversion of qnn.conv2d must not split the block
    out = partition(quantized_detector(form, options), tables=("vexa_blocks", "vexa"), arch="vexa-pro")
    names = composite_names(out)
    blocks = {n: k for n, k in names.items() if n.startswith("vexa_blocks.")}
    assert blocks == {NAMES[form]: 1}
    assert sum(names.values()) - 1 == 3  # one composite per head convolution
    left = host_ops(out)
    assert not left["qnn.conv2d"] and not left["sigmoid"] and not left["qnn.dequantize"]
