"""A tiny YOLOv5-style detector written in torch, exported to ONNX and
imported with TVM's frontend: its post-processing is one block composite
when exported the way detectors are deployed."""

import pytest

torch = pytest.importorskip("torch")  # before TVM
onnx = pytest.importorskip("onnx")


from torch_detector import export_onnx  # noqa: E402
from onnx_import import exact_onnx_import  # noqa: E402
from vexatvm_internal.flow import driver  # noqa: E402
from yolo_graphs import block_composites, composite_names, host_ops, op_counts, partition  # noqa: E402

pytestmark = pytest.mark.networks

TABLES = ("vexa_blocks", "vexa_fp32")


def imported(style, export=True, dynamic_batch=False, size=64, nc=3):
    """The detector exported at opset 13 and imported into Relay."""
    proto = onnx.load_from_string(export_onnx(style, export, dynamic_batch, size, nc))
    mod, params = exact_onnx_import(proto, {"images": (1, 3, size, size)})
    return proto, mod, params


@pytest.mark.parametrize("style, dynamic_batch", [
    ("split", False),
    ("slices", False),
    ("split", True),  # shape arithmetic of a dynamic batch folds away
])
def test_exported_detector_gives_one_block(style, dynamic_batch):
    _, mod, params = imported(style, dynamic_batch=dynamic_batch)
    out = partition(mod, tables=TABLES, arch="vexa-pro", params=params)
    names = composite_names(out)
    assert names["vexa_blocks.yolov5_fp32_post"] == 1
    assert names["vexa_fp32.conv2d"] == 8
    (_, func, _), = block_composites(out)
    body = op_counts(func.body)
    assert body["sigmoid"] == 3 and body["layout_transform"] == 3 and body["power"] == 3
    assert not {"sigmoid", "split", "strided_slice", "power", "transpose"} & set(host_ops(out))


def test_inplace_head_exports_scatter_and_is_no_block():
    # y[..., 0:2] = ... writes back through ScatterND: each scale is
    # sigmoid, scatter, scatter, reshape, with no concatenation of three parts
    proto, mod, params = imported("inplace")  # slow: the frontend evaluates the scatter's shape arithmetic
    producer = {out: node for node in proto.graph.node for out in node.output}
    final = producer[proto.graph.output[0].name]
    assert final.op_type == "Concat"
    chains = [[producer[n].op_type for n in (name, producer[name].input[0])] for name in final.input]
    assert chains == [["Reshape", "ScatterND"]] * 3
    assert op_counts(mod["main"].body)["scatter_nd"] == 6
    out = partition(mod, tables=("vexa_blocks",), params=params)
    assert not block_composites(out)


def test_raw_head_maps_as_outputs_keep_the_block_whole_but_unmerged():
    # outside export mode the layer also returns the transposed head maps;
    # the block still matches structurally, but its transposes are read
    # outside it, so TVM's partitioner does not merge it
    proto, mod, params = imported("split", export=False)
    assert len(proto.graph.output) == 4
    (_, entries), = driver.resolve_tables(("vexa_blocks",))
    prepared = driver.prepare(mod, params, ("vexa_blocks",))
    detections = prepared["main"].body.fields[0]
    assert entries[0][1].match(detections)
    assert not block_composites(driver.merge_entries(prepared, entries))
