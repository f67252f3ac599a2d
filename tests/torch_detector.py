"""A tiny YOLOv5-style detector written in torch, and its ONNX export the way
detectors are deployed (opset 13, TorchScript exporter)."""

import io

import torch

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


def export_onnx(style, export=True, dynamic_batch=False, size=64, nc=3):
    """The detector's ONNX bytes, with seeded random weights."""
    torch.manual_seed(0)
    model = TinyYolo(style, nc, export).eval()
    x = torch.randn(1, 3, size, size)
    buf = io.BytesIO()
    with torch.no_grad():
        model(x)  # caches the grids, as before a real export
        torch.onnx.export(model, (x,), buf, opset_version=13, dynamo=False, input_names=["images"],
                          dynamic_axes={"images": {0: "batch"}} if dynamic_batch else None)
    return buf.getvalue()
