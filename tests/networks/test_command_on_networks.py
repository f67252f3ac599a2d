"""`vexatvm partition` on real exported networks, as a user runs it: a BERT
encoder from transformers (ONNX), a PyTorch post-training-quantized CNN
(saved as Relay text with its weights), a YOLOv5-style detector in both
head styles (ONNX), and TFLite models from TensorFlow's converter, float and
full-integer int8 (committed in tests/models). Each run asks for --json, --explain and a picture; the
driver's partition of the same model must type-check and compute what the
original computes."""

import collections
import contextlib
import io
import json
import xml.etree.ElementTree as ET

import numpy as np
import pytest

torch = pytest.importorskip("torch")  # before TVM
tq = pytest.importorskip("torch.ao.quantization")
onnx = pytest.importorskip("onnx")
pytest.importorskip("transformers")
pytest.importorskip("tflite")

import tvm  # noqa: E402
from tvm import relay  # noqa: E402

import vexatvm_internal  # noqa: E402
from vexatvm_internal import cli  # noqa: E402
from vexatvm_internal.report.picture import colour_of  # noqa: E402
from vexatvm_internal.report.summary import NO_REASON, summarize, summarize_regions, walk  # noqa: E402
from bert_onnx import LAYERS, export_bert, export_masked_bert  # noqa: E402
from onnx_import import exact_onnx_import  # noqa: E402
from relay_cpu import inline_composites, run  # noqa: E402
from test_cli import MODELS  # noqa: E402
from torch_detector import export_onnx  # noqa: E402
from torch_quantized import quantize_and_trace, torchvision_quantized  # noqa: E402

pytestmark = pytest.mark.networks

nn = torch.nn
SHAPE = (1, 3, 16, 16)


class QuantizedCNN(nn.Module):
    """Padded, depthwise and grouped convolutions, a residual add, a
    concatenation, max pooling, a resize, hard-swish and a linear layer."""

    fuse = [["stem", "stem_relu"], ["dw", "dw_relu"]]

    def __init__(self):
        super().__init__()
        self.quant = tq.QuantStub()
        self.stem = nn.Conv2d(3, 16, 3, padding=1)
        self.stem_relu = nn.ReLU()
        self.dw = nn.Conv2d(16, 16, 3, padding=1, groups=16)
        self.dw_relu = nn.ReLU()
        self.residual = nn.quantized.FloatFunctional()
        self.cat = nn.quantized.FloatFunctional()
        self.mix = nn.Conv2d(32, 32, 1)
        self.grouped = nn.Conv2d(32, 32, 3, padding=1, groups=4)
        self.pool = nn.MaxPool2d(2)
        self.up = nn.Upsample(scale_factor=2, mode="nearest")
        self.hardswish = nn.Hardswish()
        self.gap = nn.AdaptiveAvgPool2d(1)
        self.fc = nn.Linear(32, 10)
        self.dequant = tq.DeQuantStub()

    def forward(self, x):
        s = self.stem_relu(self.stem(self.quant(x)))
        r = self.residual.add(s, self.dw_relu(self.dw(s)))
        g = self.grouped(self.mix(self.cat.cat([r, s], 1)))
        h = self.hardswish(self.up(self.pool(g)))
        return self.dequant(self.fc(torch.flatten(self.gap(h), 1)))


def quantized_cnn():
    """(module, params): post-training static quantization on seeded random data, traced and imported."""
    torch.manual_seed(0)  # the weights
    traced = quantize_and_trace(QuantizedCNN(), SHAPE)
    return relay.frontend.from_pytorch(traced, [("input", SHAPE)])


def bound(mod, params):
    """mod with its parameters as constants: what a Relay text file holds."""
    out = mod.clone()
    if params:
        out["main"] = relay.build_module.bind_params_by_name(out["main"], params)
    return out


class Network:
    def __init__(self, path, mod, params, inputs):
        self.path, self.mod, self.params, self.inputs = str(path), mod, params, inputs


@pytest.fixture(scope="module")
def networks(tmp_path_factory):
    out = tmp_path_factory.mktemp("networks")
    found = {}

    bert = out / "bert.onnx"
    failure = export_bert(bert)
    assert failure is None, failure
    mod, params = exact_onnx_import(onnx.load(str(bert)), freeze_params=True)
    ids = np.random.default_rng(0).integers(0, 100, (1, 8)).astype("int64")
    found["bert"] = Network(bert, mod, params, {"input_ids": ids})

    mod, params = quantized_cnn()
    text = out / "quantized_cnn.relay"
    text.write_text(bound(mod, params).astext(show_meta_data=True))
    image = np.random.default_rng(1).standard_normal(SHAPE).astype("float32")
    found["quantized_cnn"] = Network(text, mod, params, {"input": image})

    for style in ("split", "slices"):
        path = out / f"detector_{style}.onnx"
        path.write_bytes(export_onnx(style))
        mod, params = exact_onnx_import(onnx.load(str(path)), {"images": (1, 3, 64, 64)})
        image = np.random.default_rng(2).standard_normal((1, 3, 64, 64)).astype("float32")
        found[f"detector_{style}"] = Network(path, mod, params, {"images": image})

    reference = np.load(MODELS / "tflite_reference.npz")
    for name in ("small_features_float", "small_features_int8", "small_features_int8_per_tensor_fc",
                 "mobilenet_v2_int8"):
        path = MODELS / f"{name}.tflite"
        mod, params = vexatvm_internal.load_model(str(path))
        found[name] = Network(path, mod, params, {mod["main"].params[0].name_hint: reference[f"{name}.input"]})
    return found


CASES = {
    # name: (network, tables, arch, --canonicalize[, --regions])
    "bert-pro": ("bert", ("vexa_fp32",), "vexa-pro", False),
    "bert-nano": ("bert", ("vexa_fp32",), "vexa-nano", False),
    "bert-pro-canonicalized": ("bert", ("vexa_fp32",), "vexa-pro", True),
    "quantized_cnn": ("quantized_cnn", ("vexa",), "vexa-pro", False),
    "quantized_cnn-fc-canonicalized": ("quantized_cnn", ("vexa_with_fc",), "vexa-pro", True),
    "detector_split": ("detector_split", ("vexa_blocks", "vexa_fp32"), "vexa-pro", False),
    "detector_slices": ("detector_slices", ("vexa_blocks", "vexa_fp32"), "vexa-pro", False),
    "tflite_float": ("small_features_float", ("vexa_blocks", "vexa_fp32"), "vexa-pro", True),
    "tflite_int8": ("small_features_int8", ("vexa",), "vexa-pro", True),
    "tflite_mobilenet_v2_int8": ("mobilenet_v2_int8", ("vexa",), "vexa-pro", True),
    "tflite_int8-fc": ("small_features_int8", ("vexa", "vexa_with_fc"), "vexa-pro", True),
    "tflite_int8_per_tensor_fc-fc": ("small_features_int8_per_tensor_fc", ("vexa", "vexa_with_fc"), "vexa-pro", True),
    "tflite_mobilenet_v2_int8-fc": ("mobilenet_v2_int8", ("vexa", "vexa_with_fc"), "vexa-pro", True),
    "quantized_cnn-regions": ("quantized_cnn", ("vexa",), "vexa-pro", False, True),
    "bert-pro-regions": ("bert", ("vexa_fp32",), "vexa-pro", True, True),
    "detector_split-regions": ("detector_split", ("vexa_blocks", "vexa_fp32"), "vexa-pro", True, True),
    "tflite_int8-regions": ("small_features_int8", ("vexa",), "vexa-pro", True, True),
}
REGIONS = sorted(case for case, entry in CASES.items() if entry[4:] == (True,))


@pytest.fixture(scope="module")
def command(networks, tmp_path_factory):
    """case -> (JSON report, SVG path) of one `vexatvm partition ... --json --explain --svg` run."""
    done = {}

    def get(case):
        if case not in done:
            network, tables, arch, canonicalize = CASES[case][:4]
            svg = tmp_path_factory.mktemp("pictures") / f"{case}.svg"
            argv = ["partition", networks[network].path, "--arch", arch, "--json", "--explain", "--quiet",
                    "--svg", str(svg)] + (["--regions"] if case in REGIONS else [])
            for table in tables:
                argv += ["--table", table]
            argv.append("--canonicalize" if canonicalize else "--no-canonicalize")
            out = io.StringIO()
            assert cli.main(argv, out) == 0
            done[case] = json.loads(out.getvalue()), svg
        return done[case]

    return get


def gelu_and_layer_norm_counts(report):
    return report["composites"].get("vexa_fp32.gelu", 0), report["composites"].get("vexa_fp32.layer_norm", 0)


# ---------------------------------------------------------------- what runs on the accelerator


def test_bert_gate(command):
    pro, _ = command("bert-pro")
    nano, _ = command("bert-nano")
    canonical, _ = command("bert-pro-canonicalized")
    # The opset-17 export writes layer norms with variance and divide: only
    # canonicalization brings every layer's into the captured form.
    assert gelu_and_layer_norm_counts(pro) == (LAYERS, 0)
    assert gelu_and_layer_norm_counts(canonical) == (LAYERS, 1 + 2 * LAYERS)
    assert gelu_and_layer_norm_counts(nano) == (0, 0)
    assert pro["composites"] == {"vexa_fp32.3d_add_broadcast": 6 * LAYERS, "vexa_fp32.gelu": LAYERS,
                                 "vexa_fp32.matmul": 6 * LAYERS, "vexa_fp32.res_add": 2 * LAYERS}
    # The sdpa export scales query and key apart: canonicalized, the two scale
    # multiplies of each layer become one division and the attention is captured.
    assert not any("attention" in name for name in pro["composites"])
    assert canonical["composites"]["vexa_fp32.attention"] == LAYERS
    assert pro["operators"] == nano["operators"] == 157 and canonical["operators"] == 157 - 2 * LAYERS
    assert (nano["offloaded"], pro["offloaded"], canonical["offloaded"]) == (4, 62, 147)
    # On vexa-nano the gate refuses what vexa-pro captures, and --explain says so.
    refused = collections.Counter((r["entry"], r["reason"]) for item in nano["explain"] for r in item["refusals"])
    gate = "vexa-nano does not set has_kov2, which the transformer-era entries need"
    assert refused["vexa_fp32.gelu", gate] == LAYERS
    assert refused["vexa_fp32.matmul", gate] == 6 * LAYERS


QUANTIZED = {"vexa.qnn_conv": 4, "vexa.qnn_add": 1, "vexa.concat": 1, "vexa.maxpool2d": 1, "vexa.upsampling": 1,
             "vexa.avg_pooling2d": 1}


def test_quantized_cnn(command):
    plain, _ = command("quantized_cnn")
    fc, _ = command("quantized_cnn-fc-canonicalized")
    assert plain["composites"] == QUANTIZED
    # qnn.hardswish is in no table; the pad reads the NCHW input before the
    # layout change; the linear's bias is canonicalised away from "vexa.qnn_fc"
    # by the preparation, and --canonicalize brings it back.
    for op in ("qnn.hardswish", "nn.pad", "qnn.dense"):
        assert plain["host_operators"][op] == 1
    assert fc["composites"] == {**QUANTIZED, "vexa.qnn_fc": 1}
    assert "qnn.dense" not in fc["host_operators"]
    assert (plain["offloaded"], plain["operators"]) == (55, 71)
    assert (fc["offloaded"], fc["operators"]) == (52, 58)


@pytest.mark.parametrize("style", ["split", "slices"])
def test_detector(command, style):
    report, _ = command(f"detector_{style}")
    assert report["composites"] == {"vexa_blocks.yolov5_fp32_post": 1, "vexa_fp32.conv2d": 8,
                                    "vexa_fp32.silu": 5}
    # The conv biases arrive as add(conv, (1,1,1,C) constant), which the bias check refuses.
    assert report["host_operators"] == {"add": 8, "layout_transform": 1}
    assert all("vexa_fp32.bias_add" in item["refused_by"] for item in report["explain"] if item["operator"] == "add")


TFLITE = {
    "tflite_float": {"vexa_fp32.bias_add": 6, "vexa_fp32.concatenate": 1, "vexa_fp32.conv2d": 6,
                     "vexa_fp32.hardtanh": 1, "vexa_fp32.hswish": 1, "vexa_fp32.leaky_relu": 1,
                     "vexa_fp32.matmul": 1, "vexa_fp32.maxpool2d": 1, "vexa_fp32.relu": 1, "vexa_fp32.res_add": 1,
                     "vexa_fp32.silu": 1, "vexa_fp32.upsampling": 1},
    # The NHWC biases, add(conv, expand_dims(b)) after the layout pass, are
    # bias_add again after canonicalization: the TFLite convolution entry
    # takes every convolution, depthwise ones included. Keras 3's
    # upsampling, rows and columns repeated with tile, is a nearest resize.
    "tflite_int8": {"vexa.concat": 1, "vexa.leaky_relu": 1, "vexa.maxpool2d": 1, "vexa.qnn_add": 1,
                    "vexa.qnn_tflite_qconv": 6, "vexa.tflite_hswish": 1, "vexa.tflite_silu": 1,
                    "vexa.upsampling_nearest": 1},
    "tflite_mobilenet_v2_int8": {"vexa.mean": 1, "vexa.qnn_add": 10, "vexa.qnn_tflite_qconv": 52},
}
# The fully-connected layer, flattened with squeeze and given its bias of
# zeros by canonicalization, per-channel weight scales or not.
for _case in ("tflite_int8", "tflite_mobilenet_v2_int8"):
    TFLITE[f"{_case}-fc"] = {**TFLITE[_case], "vexa.qnn_fc": 1}
TFLITE["tflite_int8_per_tensor_fc-fc"] = TFLITE["tflite_int8-fc"]


@pytest.mark.parametrize("case", sorted(TFLITE))
def test_tflite(command, case):
    report, _ = command(case)
    assert report["composites"] == TFLITE[case]
    # The average pool is not global (float) or has no pads in front (int8);
    # the int8 fully-connected layer is in "vexa_with_fc" only, and its
    # rewrites run only for that table.
    fc = {"reshape", "qnn.dense", "qnn.requantize"}
    host = {"nn.avg_pool2d", "cast"} | (set() if case.endswith("-fc") else fc)
    assert set(report["host_operators"]) <= host
    assert "qnn.conv2d" not in report["host_operators"] and "nn.conv2d" not in report["host_operators"]


@pytest.mark.parametrize("case", REGIONS)
def test_regions(command, partitioned, case):
    report, _ = command(case)
    mod = partitioned(case)
    regions = report["regions"]

    def unnamed(found):
        # PartitionGraph numbers regions with a counter that lives as long as the process.
        return {**found, "largest": None, "regions": [{**r, "name": None} for r in found["regions"]]}

    assert unnamed(regions) == unnamed(summarize_regions(mod))
    assert regions["count"] == len(regions["regions"]) >= 1
    # The int8 table's regions are for vexa_qtz, every float one for vexa_fp32.
    assert list(regions["targets"]) == (["vexa_qtz"] if CASES[case][1] == ("vexa",) else ["vexa_fp32"])
    # Every composite went into a region, with its name: main calls none itself.
    in_main = []
    walk(mod["main"].body, lambda n: in_main.append(n) if isinstance(n, relay.Function) and n.attrs
         and "Composite" in n.attrs else None)
    assert not in_main
    assert sum(r["composites"] for r in regions["regions"]) == sum(report["composites"].values())
    crossings = regions["crossings"]
    assert crossings["to_accelerator"]["bytes"] > 0 and crossings["to_host"]["bytes"] > 0
    assert crossings["tensors"] == sum(r["inputs"] + r["outputs"] for r in regions["regions"])


class FloatCNN(nn.Module):
    """Conv + batch norm + ReLU, a residual block, max pool, global pool and a linear layer, in float."""

    def __init__(self):
        super().__init__()
        self.stem = nn.Sequential(nn.Conv2d(3, 16, 3, padding=1), nn.BatchNorm2d(16), nn.ReLU())
        self.block = nn.Sequential(nn.Conv2d(16, 16, 3, padding=1), nn.ReLU(), nn.Conv2d(16, 16, 1))
        self.head = nn.Sequential(nn.MaxPool2d(2), nn.AdaptiveAvgPool2d(1), nn.Flatten(), nn.Linear(16, 10))

    def forward(self, x):
        s = self.stem(x)
        return self.head(torch.relu(s + self.block(s)))


def float_cnn(shape):
    torch.manual_seed(0)
    return torch.jit.trace(FloatCNN().eval(), torch.randn(shape))


def torchvision_resnet18_int8(shape):
    pytest.importorskip("torchvision")
    return torchvision_quantized("resnet18", shape)


TORCHSCRIPT = {
    # name: (traced module of an input shape, file name, tables)
    "resnet18_int8": (torchvision_resnet18_int8, "resnet18_int8.pt", ("vexa", "vexa_with_fc")),
    # Read as TorchScript by its content: a zip archive of torch.jit.save's layout.
    "float_cnn": (float_cnn, "float_cnn.model", ("vexa_blocks", "vexa_fp32")),
}


@pytest.mark.parametrize("name", sorted(TORCHSCRIPT))
def test_torchscript_partitions_as_its_conversion_in_python(tmp_path, name):
    build, file_name, tables = TORCHSCRIPT[name]
    image = (1, 3, 32, 32)
    traced = build(image)
    path = str(tmp_path / file_name)
    traced.save(path)
    argv = ["partition", path, "--arch", "vexa-pro", "--quiet"] + [word for t in tables for word in ("--table", t)]
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stderr(err):
        assert cli.main(argv, out) == 1
    assert err.getvalue().count("\n") == 1 and "--input-shape input0=D1,D2,... (inputs: input0 (x))" in err.getvalue()
    out = io.StringIO()
    assert cli.main(argv + ["--input-shape", "x=" + ",".join(map(str, image)), "--json", "--verify"], out) == 0
    report = json.loads(out.getvalue())
    mod, params = relay.frontend.from_pytorch(traced, [("input0", image)])
    summary = summarize(vexatvm_internal.partition_for_vexa(mod, params, tables=tables, arch="vexa-pro"))
    assert {key: report[key] for key in summary} == summary and summary["offloaded_share"] > 0.9
    # Exact in quantization steps; float within its rounding.
    assert [(item["ok"], item["steps"] or 0) for item in report["verify"]] == [(True, 0)]
    loaded, loaded_params = vexatvm_internal.load_model(path, input_shapes={"input0": image})
    assert tvm.ir.structural_equal(loaded, mod) and set(loaded_params) == set(params)


def test_dynamic_axes_fixed_by_name(tmp_path):
    static, dynamic = str(tmp_path / "static.onnx"), str(tmp_path / "dynamic.onnx")
    assert export_masked_bert(static, dynamic=False) is None and export_masked_bert(dynamic, dynamic=True) is None

    def report(*argv):
        out = io.StringIO()
        assert cli.main(["partition", *argv, "--arch", "vexa-pro", "--quiet", "--json"], out) == 0
        return json.loads(out.getvalue())

    axes = {"input_ids": ["batch", "seq"], "attention_mask": ["batch", "seq"]}
    assert report(dynamic)["dynamic_axes"] == axes and report(static)["dynamic_axes"] == {}
    fixed = report(dynamic, "--dim", "batch=1", "--dim", "seq=8")
    assert fixed == {**report(static), "model": dynamic}
    assert report(dynamic, "--dim", "seq=8", "--input-shape", "input_ids=1,8")["dynamic_axes"] == {
        "attention_mask": ["batch"]}
    out = io.StringIO()
    assert cli.main(["partition", dynamic, "--arch", "vexa-pro", "--quiet"], out) == 0
    assert ("dynamic axes: input_ids[batch, seq], attention_mask[batch, seq]; fix them with --dim batch=1 "
            "--dim seq=N\n") in out.getvalue()


# ---------------------------------------------------------------- the report itself


@pytest.mark.parametrize("case", sorted(CASES))
def test_report_accounts_for_every_operator(command, case):
    report, _ = command(case)
    network, tables, arch = CASES[case][:3]
    assert report["tables"] == list(tables) and report["architecture"] == arch
    host = sum(report["host_operators"].values())
    assert report["offloaded"] + host == report["operators"]
    assert report["operator_share"] == pytest.approx(report["offloaded"] / report["operators"])
    # One explanation per operator call left on the host, naming only entries of the tables run.
    assert collections.Counter(item["operator"] for item in report["explain"]) == report["host_operators"]
    for item in report["explain"]:
        assert all(name.split(".")[0] in tables for name in item["refused_by"])
        # Every refusal of these tables' checks says why.
        assert all(r["reason"] != NO_REASON for r in item["refusals"]), item


@pytest.mark.parametrize("case", sorted(CASES))
def test_command_agrees_with_the_driver(command, partitioned, case):
    # --explain numbers the calls first; that must not change what is captured.
    report, _ = command(case)
    summary = summarize(partitioned(case))
    assert {key: report[key] for key in summary} == summary


@pytest.mark.parametrize("case", sorted(CASES))
def test_picture_lists_each_composite_in_its_colour(command, case):
    # Boxes list the composites of a chain as "name ×count" rows, each row
    # filled with its name's colour; together they list every composite,
    # those of a block drawn once for a run of them ("g7x12") that many times.
    report, svg = command(case)
    svg_ns = "{http://www.w3.org/2000/svg}"
    root = ET.parse(svg).getroot()
    listed = collections.Counter()
    for g in root.iter(f"{svg_ns}g"):
        title = g.find(f"{svg_ns}title").text if g.find(f"{svg_ns}title") is not None else ""
        if g.get("class") != "node" or title.startswith("legend") or title.endswith("_region"):
            continue
        repeats = int(title.partition("x")[2] or 1)
        fills = {e.get("fill", "").lower() for e in g}
        for text in (t.text or "" for t in g.iter(f"{svg_ns}text")):
            if text.startswith("vexa"):
                name, _, count = text.partition(" ×")
                assert colour_of(name).lower() in fills, text
                listed[name] += int(count or 1) * repeats
    assert dict(listed) == report["composites"]
    clusters = [g.find(f"{svg_ns}title").text for g in root.iter(f"{svg_ns}g") if g.get("class") == "cluster"]
    if "regions" in report and not any(title.startswith("cluster_repeat") for title in clusters):
        assert len(clusters) == report["regions"]["count"] + 1  # and the legend


# ---------------------------------------------------------------- the partitioned module


@pytest.fixture(scope="module")
def partitioned(networks):
    done = {}

    def get(case):
        if case not in done:
            network, tables, arch, canonicalize = CASES[case][:4]
            net = networks[network]
            done[case] = vexatvm_internal.partition_for_vexa(net.mod, net.params, tables=tables, arch=arch,
                                                            canonicalize=canonicalize, regions=case in REGIONS)
        return done[case]

    return get


@pytest.mark.parametrize("case", sorted(CASES))
def test_partitioned_module_type_checks_and_computes_the_same(networks, partitioned, case):
    net = networks[CASES[case][0]]
    mod = partitioned(case)
    checked = relay.transform.InferType()(mod)
    original = relay.transform.InferType()(bound(net.mod, net.params))
    assert tvm.ir.structural_equal(checked["main"].checked_type.ret_type, original["main"].checked_type.ret_type)
    expected = run(original, net.inputs)
    got = run(inline_composites(mod), net.inputs)
    assert len(got) == len(expected)
    for g, e in zip(got, expected):
        assert g.shape == e.shape and np.abs(e).max() > 0
        # The quantized network's output is dequantized int8: one step of rounding apart at most.
        # The TFLite int8 networks give int8 itself, which must not change.
        tolerance = 0.05 if CASES[case][0] == "quantized_cnn" else 1e-3
        np.testing.assert_allclose(g, e, rtol=1e-4, atol=tolerance)
