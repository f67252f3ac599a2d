"""A small CNN from torch, quantized by onnxruntime, imported through TVM's
ONNX frontend and partitioned with the int8 table "vexa" on vexa-pro.

The torch export and onnxruntime quantization run in a child process, so this
process never holds torch and tvm together."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

pytest.importorskip("onnx")
pytest.importorskip("onnxruntime")
pytest.importorskip("torch")

os.environ.setdefault("TOPHUB_LOCATION", "NONE")

import onnx  # noqa: E402
from tvm import relay  # noqa: E402

import vexatvm_internal  # noqa: E402
from vexatvm_internal.report.summary import summarize  # noqa: E402
from onnx_import import exact_onnx_import  # noqa: E402
from relay_cpu import inline_composites, run  # noqa: E402
from vexatvm_internal.flow.check import verify  # noqa: E402

pytestmark = pytest.mark.networks

EXPORT = textwrap.dedent(
    """
    import sys
    import numpy as np
    import torch
    from onnxruntime.quantization import (CalibrationDataReader, QuantFormat, QuantType,
                                          quantize_static)

    out_dir, quant_format, bias = sys.argv[1], sys.argv[2], sys.argv[3] == "1"

    class Net(torch.nn.Module):
        def __init__(self):
            super().__init__()
            self.c1 = torch.nn.Conv2d(3, 8, 3, bias=bias)
            self.c2 = torch.nn.Conv2d(8, 8, 3, padding=1, bias=bias)
            self.pool = torch.nn.MaxPool2d(2)
            self.fc = torch.nn.Linear(8, 10)

        def forward(self, x):
            y = torch.relu(self.c1(x))
            y = torch.relu(y + self.c2(y))
            y = self.pool(y)
            y = torch.nn.functional.adaptive_avg_pool2d(y, 1).flatten(1)
            return self.fc(y)

    class Reader(CalibrationDataReader):
        def __init__(self):
            rng = np.random.default_rng(0)
            self.batches = iter([{"x": rng.standard_normal((1, 3, 16, 16)).astype("float32")}
                                 for _ in range(8)])

        def get_next(self):
            return next(self.batches, None)

    torch.manual_seed(0)
    model = Net().eval()
    fp32 = out_dir + "/fp32.onnx"
    torch.onnx.export(model, (torch.randn(1, 3, 16, 16),), fp32, opset_version=13,
                      dynamo=False, input_names=["x"], output_names=["y"])
    quantize_static(fp32, out_dir + "/int8.onnx", Reader(),
                    quant_format=getattr(QuantFormat, quant_format),
                    activation_type=QuantType.QUInt8, weight_type=QuantType.QInt8)
    """
)


def _export(out_dir, quant_format, bias):
    script = out_dir / "export.py"
    script.write_text(EXPORT)
    proc = subprocess.run([sys.executable, str(script), str(out_dir), quant_format, "1" if bias else "0"],
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr[-4000:]
    return onnx.load(str(out_dir / "int8.onnx"))


CASES = {
    "qoperator": ("QOperator", True),
    "qoperator-no-bias": ("QOperator", False),
    "qdq": ("QDQ", True),
}


@pytest.fixture(scope="module")
def imported(tmp_path_factory):
    """case name -> (onnx model, relay module, params, partitioned module)."""
    cache = {}

    def get(case):
        if case not in cache:
            quant_format, bias = CASES[case]
            model = _export(tmp_path_factory.mktemp(case), quant_format, bias)
            mod, params = exact_onnx_import(model, freeze_params=True)
            partitioned = vexatvm_internal.partition_for_vexa(mod, params, tables=("vexa",), arch="vexa-pro",
                                                              canonicalize=False)
            cache[case] = (model, mod, params, partitioned)
        return cache[case]

    return get


def _composite_bodies(mod, name):
    bodies = []

    def visit(node):
        if isinstance(node, relay.Function) and node.attrs and node.attrs.get("Composite") == name:
            bodies.append(node.body)

    relay.analysis.post_order_visit(mod["main"], visit)
    return bodies


def test_onnxruntime_produced_the_expected_graphs(imported):
    ops = [node.op_type for node in imported("qoperator")[0].graph.node]
    assert ops.count("QLinearConv") == 2 and "QGemm" in ops and "QLinearAdd" in ops
    assert "Relu" not in ops and "Clip" not in ops  # relu is folded into the QLinearConv output range
    ops = [node.op_type for node in imported("qdq")[0].graph.node]
    assert ops.count("Conv") == 2 and "QLinearConv" not in ops and "QuantizeLinear" in ops


def test_qoperator_with_bias(imported):
    _, _, _, partitioned = imported("qoperator")
    summary = summarize(partitioned)
    # NHWC conversion turns the int32 bias_add into add(conv, layout_transform(bias)); the
    # tflite entry wants bias_add and "vexa.qnn_conv" wants quantize+clip+cast, so both
    # convolutions stay on the host.
    assert summary["composites"] == {"vexa.maxpool2d": 1}
    assert summary["host_operators"]["qnn.conv2d"] == 2
    assert summary["host_operators"]["qnn.requantize"] == 3
    assert summary["operators"] == 32 and summary["offloaded"] == 1
    assert summary["operator_share"] >= 0.03
    # Canonicalisation gives the bias back its nn.bias_add form: both convolutions captured.
    _, mod, params, _ = imported("qoperator")
    canonical = summarize(vexatvm_internal.partition_for_vexa(
        mod, params, tables=("vexa",), arch="vexa-pro", canonicalize=True))
    assert canonical["composites"].get("vexa.qnn_tflite_qconv") == 2
    assert "qnn.conv2d" not in canonical["host_operators"]


def test_qoperator_without_bias_captures_both_convolutions(imported):
    _, _, _, partitioned = imported("qoperator-no-bias")
    summary = summarize(partitioned)
    # Bias-free QLinearConv arrives as qnn.conv2d -> qnn.requantize with no clip or cast,
    # the form only "vexa.qnn_tflite_qconv" captures.
    assert summary["composites"] == {"vexa.maxpool2d": 1, "vexa.qnn_tflite_qconv": 2}
    assert "vexa.qnn_conv" not in summary["composites"]
    assert "qnn.conv2d" not in summary["host_operators"]
    assert summary["offloaded"] == 5 and summary["operators"] == 24
    assert summary["operator_share"] >= 0.19
    for body in _composite_bodies(partitioned, "vexa.qnn_tflite_qconv"):
        assert body.op.name == "qnn.requantize"
        assert body.args[0].op.name == "qnn.conv2d"
        assert body.checked_type.dtype == "uint8"


def test_qdq_stays_float_apart_from_the_pool(imported):
    _, _, _, partitioned = imported("qdq")
    summary = summarize(partitioned)
    # TVM's ONNX frontend keeps QDQ as dequantize -> float conv -> quantize: no int8 conv forms.
    assert summary["composites"] == {"vexa.maxpool2d": 1}
    assert summary["host_operators"]["nn.conv2d"] == 2
    assert "qnn.conv2d" not in summary["host_operators"]
    assert summary["offloaded"] == 1 and summary["operators"] == 45
    assert summary["operator_share"] >= 0.02
    # Canonicalised (the default), the QDQ model becomes QNN operators and
    # partitions as the QOperator model does.
    canonical = {}
    for case in ("qdq", "qoperator"):
        _, mod, params, _ = imported(case)
        partitioned = vexatvm_internal.partition_for_vexa(mod, params, tables=("vexa",), arch="vexa-pro")
        canonical[case] = summarize(partitioned)
        # The global average pool stays float: in integers TVM truncates its mean.
        assert "nn.global_avg_pool2d" in canonical[case]["host_operators"]
        assert [item["steps"] for item in verify(mod, partitioned, params)] == [0]
    assert canonical["qdq"]["composites"] == canonical["qoperator"]["composites"]
    assert canonical["qdq"]["composites"].get("vexa.qnn_tflite_qconv") == 2


@pytest.mark.parametrize("case", sorted(CASES))
def test_partitioned_module_type_checks(imported, case):
    _, mod, _, partitioned = imported(case)
    checked = relay.transform.InferType()(partitioned)
    assert checked["main"].checked_type.ret_type == relay.transform.InferType()(mod)["main"].checked_type.ret_type


@pytest.mark.parametrize("case", sorted(CASES))
def test_partitioned_module_computes_the_same(imported, case):
    _, mod, params, partitioned = imported(case)
    rng = np.random.default_rng(1)
    inputs = {"x": rng.standard_normal((1, 3, 16, 16)).astype("float32")}
    original = mod.clone()
    if params:
        original["main"] = relay.build_module.bind_params_by_name(original["main"], params)
    expected = first_output(original, inputs)
    got = first_output(inline_composites(partitioned), inputs)
    assert expected.shape == got.shape == (1, 10)
    assert np.abs(expected).max() > 0  # not a degenerate all-zero output
    # The output is dequantized uint8 with scale ~0.0043: allow one step for rounding.
    np.testing.assert_allclose(got, expected, rtol=0, atol=0.005)


def first_output(mod, inputs):
    return run(mod, inputs)[0]
