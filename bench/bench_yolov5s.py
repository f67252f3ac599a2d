"""Partition cost of "vexa_blocks" then "vexa_fp32" on a YOLOv5s-sized
detector at 640x640, written in torch, exported to ONNX the way detectors are
deployed and imported with TVM's frontend, in both out-of-place head styles.

    .venv/bin/python bench/bench_yolov5s.py [--arch NAME] [--style split|slices]
"""

import argparse
import os
import sys
import tempfile
import warnings

import torch  # before TVM: the other order can crash
import onnx
from torch import nn

from tvm import relay

from partition_timing import report, time_partition

# The detection layer is the tests' own, in its out-of-place export forms.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from torch_detector import Detect  # noqa: E402

SIZE = 640
CLASSES = 80
BLOCK = "vexa_blocks.yolov5_fp32_post"


class Conv(nn.Module):
    def __init__(self, cin, cout, k=1, s=1, p=None):
        super().__init__()
        self.conv = nn.Conv2d(cin, cout, k, s, k // 2 if p is None else p, bias=False)
        self.bn = nn.BatchNorm2d(cout, eps=1e-3, momentum=0.03)
        self.act = nn.SiLU()

    def forward(self, x):
        return self.act(self.bn(self.conv(x)))


class Bottleneck(nn.Module):
    def __init__(self, c, shortcut=True):
        super().__init__()
        self.cv1, self.cv2 = Conv(c, c, 1), Conv(c, c, 3)
        self.add = shortcut

    def forward(self, x):
        y = self.cv2(self.cv1(x))
        return x + y if self.add else y


class C3(nn.Module):
    def __init__(self, cin, cout, n=1, shortcut=True):
        super().__init__()
        c = cout // 2
        self.cv1, self.cv2, self.cv3 = Conv(cin, c), Conv(cin, c), Conv(2 * c, cout)
        self.m = nn.Sequential(*(Bottleneck(c, shortcut) for _ in range(n)))

    def forward(self, x):
        return self.cv3(torch.cat((self.m(self.cv1(x)), self.cv2(x)), 1))


class SPPF(nn.Module):
    def __init__(self, cin, cout, k=5):
        super().__init__()
        c = cin // 2
        self.cv1, self.cv2 = Conv(cin, c), Conv(4 * c, cout)
        self.m = nn.MaxPool2d(k, 1, k // 2)

    def forward(self, x):
        x = self.cv1(x)
        y1 = self.m(x)
        y2 = self.m(y1)
        return self.cv2(torch.cat((x, y1, y2, self.m(y2)), 1))


class YoloV5s(nn.Module):
    """Width multiple 0.5, depth multiple 0.33: a 6x6 stem, C3 repeats 1-2-3-1,
    SPPF, and the PANet neck feeding three scales (strides 8, 16, 32)."""

    def __init__(self, style, nc=CLASSES):
        super().__init__()
        self.b1 = nn.Sequential(Conv(3, 32, 6, 2, 2), Conv(32, 64, 3, 2), C3(64, 64, 1),
                                Conv(64, 128, 3, 2), C3(128, 128, 2))  # P3
        self.b2 = nn.Sequential(Conv(128, 256, 3, 2), C3(256, 256, 3))  # P4
        self.b3 = nn.Sequential(Conv(256, 512, 3, 2), C3(512, 512, 1), SPPF(512, 512))  # P5
        self.up = nn.Upsample(scale_factor=2, mode="nearest")
        self.lat5, self.td4 = Conv(512, 256), C3(512, 256, 1, False)
        self.lat4, self.out3 = Conv(256, 128), C3(256, 128, 1, False)
        self.down3, self.out4 = Conv(128, 128, 3, 2), C3(256, 256, 1, False)
        self.down4, self.out5 = Conv(256, 256, 3, 2), C3(512, 512, 1, False)
        self.detect = Detect(nc, (128, 256, 512), style)

    def forward(self, x):
        p3 = self.b1(x)
        p4 = self.b2(p3)
        l5 = self.lat5(self.b3(p4))
        l4 = self.lat4(self.td4(torch.cat((self.up(l5), p4), 1)))
        n3 = self.out3(torch.cat((self.up(l4), p3), 1))
        n4 = self.out4(torch.cat((self.down3(n3), l4), 1))
        n5 = self.out5(torch.cat((self.down4(n4), l5), 1))
        return self.detect([n3, n4, n5])


def imported(style):
    """The detector exported at opset 13 and imported into Relay."""
    torch.manual_seed(0)
    model = YoloV5s(style).eval()
    x = torch.randn(1, 3, SIZE, SIZE)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "yolov5s.onnx")
        with torch.no_grad(), warnings.catch_warnings():
            # the grid cache test is meant to be traced as a constant
            warnings.simplefilter("ignore", torch.jit.TracerWarning)
            model(x)  # caches the grids, as before a real export
            torch.onnx.export(model, (x,), path, opset_version=13, dynamo=False, input_names=["images"])
        proto = onnx.load(path)
    return relay.frontend.from_onnx(proto, {"images": (1, 3, SIZE, SIZE)})


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", default="vexa-pro")
    parser.add_argument("--style", choices=("split", "slices"), action="append",
                        help="head style; repeatable (default: both)")
    args = parser.parse_args()

    from vexatvm_internal.report.summary import summarize

    for style in args.style or ("split", "slices"):
        mod, params = imported(style)
        print(f"YOLOv5s, {style} head: imported main has {summarize(mod)['operators']} operators")
        timing = time_partition(mod, params, ("vexa_blocks", "vexa_fp32"), args.arch)
        report(f"YOLOv5s at {SIZE}x{SIZE}, {style} head, vexa_blocks then vexa_fp32, {args.arch}", timing)
        composites = timing["summary"]["composites"]
        print("  composites: " + ", ".join(f"{name} {n}" for name, n in composites.items()))
        blocks = composites.get(BLOCK, 0)
        print(f"  post-processing {'captured as one block' if blocks == 1 else f'NOT one block ({blocks} {BLOCK})'}")
        host = timing["summary"]["host_operators"]
        if host:
            print("  left on the host: " + ", ".join(f"{name} {n}" for name, n in host.items()))


if __name__ == "__main__":
    main()
