"""A tiny YOLOv5-style detector written in torch, exported to ONNX and
imported with TVM's frontend: its post-processing is one block composite
when exported the way detectors are deployed."""

import io

import pytest

torch = pytest.importorskip("torch")  # before TVM
onnx = pytest.importorskip("onnx")

from tvm import relay  # noqa: E402

from vexatvm_standins import driver  # noqa: E402
from yolo_graphs import block_composites, composite_names, host_ops, op_counts, partition  # noqa: E402

pytestmark = pytest.mark.networks

TABLES = ("vexa_blocks", "vexa_fp32")
ANCHORS = [[10, 13, 16, 30, 33, 23], [30, 61, 62, 45, 59, 119], [116, 90, 156, 198, 373, 326]]


class Detect(torch.nn.Module):
    """The YOLOv5 detection layer. ``style``: "split" (newer head), "slices"
    (older head, out of place), "inplace" (older head writing into the
    sigmoid's output). ``export`` False also returns the raw head maps, as
    the layer does outside export mode."""

    def __init__(self, nc, ch, style, export=True):
        super().__init__()
        self.nc, self.no, self.na, self.nl = nc, nc + 5, 3, len(ch)
        self.style, self.export = style, export
        self.stride = torch.tensor([8.0, 16.0, 32.0])
        anchors = torch.tensor(ANCHORS, dtype=torch.float32).view(self.nl, self.na, 2)
        self.register_buffer("anchors", anchors / self.stride.view(-1, 1, 1))
        self.m = torch.nn.ModuleList(torch.nn.Conv2d(c, self.no * self.na, 1) for c in ch)
        self.grid = [torch.empty(0)] * self.nl
        self.anchor_grid = [torch.empty(0)] * self.nl

    def _make_grid(self, nx, ny, i):
        shape = 1, self.na, ny, nx, 2
        y, x = torch.arange(ny, dtype=torch.float32), torch.arange(nx, dtype=torch.float32)
        yv, xv = torch.meshgrid(y, x, indexing="ij")
        # the newer head folds the -0.5 into the grid
        grid = torch.stack((xv, yv), 2).expand(shape) - (0.5 if self.style == "split" else 0.0)
        anchor_grid = (self.anchors[i] * self.stride[i]).view((1, self.na, 1, 1, 2)).expand(shape)
        return grid, anchor_grid

    def forward(self, x):
        z = []
        for i in range(self.nl):
            x[i] = self.m[i](x[i])
            bs, _, ny, nx = x[i].shape
            x[i] = x[i].view(bs, self.na, self.no, ny, nx).permute(0, 1, 3, 4, 2).contiguous()
            if self.grid[i].shape[2:4] != x[i].shape[2:4]:
                self.grid[i], self.anchor_grid[i] = self._make_grid(nx, ny, i)
            if self.style == "split":
                xy, wh, conf = x[i].sigmoid().split((2, 2, self.nc + 1), 4)
                xy = (xy * 2 + self.grid[i]) * self.stride[i]
                wh = (wh * 2) ** 2 * self.anchor_grid[i]
                y = torch.cat((xy, wh, conf), 4)
            elif self.style == "slices":
                y = x[i].sigmoid()
                xy = (y[..., 0:2] * 2 - 0.5 + self.grid[i]) * self.stride[i]
                wh = (y[..., 2:4] * 2) ** 2 * self.anchor_grid[i]
                y = torch.cat((xy, wh, y[..., 4:]), -1)
            else:
                y = x[i].sigmoid()
                y[..., 0:2] = (y[..., 0:2] * 2 - 0.5 + self.grid[i]) * self.stride[i]
                y[..., 2:4] = (y[..., 2:4] * 2) ** 2 * self.anchor_grid[i]
            z.append(y.view(bs, self.na * nx * ny, self.no))
        return torch.cat(z, 1) if self.export else (torch.cat(z, 1), x)


def _conv(cin, cout, stride):
    return torch.nn.Sequential(torch.nn.Conv2d(cin, cout, 3, stride, 1), torch.nn.SiLU())


class TinyYolo(torch.nn.Module):
    def __init__(self, style, nc=3, export=True):
        super().__init__()
        self.p3 = torch.nn.Sequential(_conv(3, 8, 2), _conv(8, 16, 2), _conv(16, 16, 2))
        self.p4 = _conv(16, 32, 2)
        self.p5 = _conv(32, 32, 2)
        self.detect = Detect(nc, (16, 32, 32), style, export)

    def forward(self, x):
        p3 = self.p3(x)
        p4 = self.p4(p3)
        return self.detect([p3, p4, self.p5(p4)])


def imported(style, export=True, dynamic_batch=False, size=64, nc=3):
    """The detector exported at opset 13 and imported into Relay."""
    torch.manual_seed(0)
    model = TinyYolo(style, nc, export).eval()
    x = torch.randn(1, 3, size, size)
    buf = io.BytesIO()
    with torch.no_grad():
        model(x)  # caches the grids, as before a real export
        torch.onnx.export(model, (x,), buf, opset_version=13, dynamo=False, input_names=["images"],
                          dynamic_axes={"images": {0: "batch"}} if dynamic_batch else None)
    proto = onnx.load_from_string(buf.getvalue())
    mod, params = relay.frontend.from_onnx(proto, {"images": (1, 3, size, size)})
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
