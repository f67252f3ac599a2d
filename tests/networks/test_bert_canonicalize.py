"""A small random-weight BertModel (and a ViTModel) exported to ONNX, imported through TVM's
ONNX frontend and partitioned with "vexa_fp32" on vexa-pro, with and without
canonicalization. The export runs in a child process (torch and tvm are never
loaded together here)."""

import os

import numpy as np
import pytest

pytest.importorskip("onnx")
pytest.importorskip("torch")
pytest.importorskip("transformers")

os.environ.setdefault("TOPHUB_LOCATION", "NONE")

import onnx  # noqa: E402
import tvm  # noqa: E402
from tvm import relay  # noqa: E402
from tvm.relay import dataflow_pattern  # noqa: E402

import vexatvm_internal  # noqa: E402
from vexatvm_internal import rewrites  # noqa: E402
from vexatvm_internal.report.summary import summarize  # noqa: E402
from vexatvm_internal.flow import driver  # noqa: E402
from bert_onnx import LAYERS, SEQ, export_bert, export_vit  # noqa: E402
from onnx_import import exact_onnx_import  # noqa: E402
from relay_cpu import inline_composites, run  # noqa: E402

pytestmark = pytest.mark.networks


@pytest.fixture(scope="module")
def bert(tmp_path_factory):
    path = tmp_path_factory.mktemp("bert") / "bert.onnx"
    failure = export_bert(path)
    assert failure is None, failure
    model = onnx.load(str(path))
    mod, params = exact_onnx_import(model, freeze_params=True)
    plain = vexatvm_internal.partition_for_vexa(mod, params, tables=("vexa_fp32",), arch="vexa-pro", canonicalize=False)
    canon = vexatvm_internal.partition_for_vexa(mod, params, tables=("vexa_fp32",), arch="vexa-pro",
                                                canonicalize=True)
    return model, mod, params, plain, canon


def test_export_has_one_layer_norm_per_block(bert):
    model = bert[0]
    # embeddings + (attention output, feed-forward output) per layer
    assert [n.op_type for n in model.graph.node].count("LayerNormalization") == 1 + 2 * LAYERS


def test_layer_norm_needs_canonicalization(bert):
    _, _, _, plain, canon = bert
    before, after = summarize(plain), summarize(canon)
    # The frontend expands LayerNormalization into mean/variance/sqrt/...; only the
    # canonicalized graph is in the form "vexa_fp32.layer_norm" captures.
    assert "vexa_fp32.layer_norm" not in before["composites"]
    assert before["host_operators"]["variance"] == 1 + 2 * LAYERS
    assert after["composites"]["vexa_fp32.layer_norm"] == 1 + 2 * LAYERS
    assert "variance" not in after["host_operators"] and "sqrt" not in after["host_operators"]


def test_canonicalization_equals_tvms_rewrite(bert):
    # The rewrites type the graph only where it changed; TVM's rewrite types it before every callback.
    prepared = driver.prepare(bert[1], bert[2], ("vexa_fp32",), canonicalize=True)
    main = dataflow_pattern.rewrite(list(rewrites._canonical_rewrites(prepared)), prepared["main"], prepared)
    expected = prepared.clone()
    expected["main"] = main
    assert tvm.ir.structural_equal(rewrites._canonicalize(prepared), relay.transform.InferType()(expected))


def test_canonicalization_raises_the_offloaded_share(bert):
    _, _, _, plain, canon = bert
    before, after = summarize(plain), summarize(canon)
    # observed: 62 of 157 operators offloaded before, 147 of 153 after (the
    # query and key scales of each layer become one division)
    assert before["operators"] == 157 and after["operators"] == 157 - 2 * LAYERS
    assert before["offloaded"] == 62 and after["offloaded"] == 147
    assert after["composites"]["vexa_fp32.attention"] == LAYERS
    assert after["operator_share"] > before["operator_share"] + 0.25
    assert after["operator_share"] >= 0.65
    # The other composites are untouched by canonicalization.
    for name in ("vexa_fp32.matmul", "vexa_fp32.3d_add_broadcast", "vexa_fp32.gelu", "vexa_fp32.res_add"):
        assert after["composites"][name] == before["composites"][name]
    assert after["composites"]["vexa_fp32.matmul"] == 12
    assert after["composites"]["vexa_fp32.gelu"] == LAYERS


@pytest.mark.parametrize("which", ["plain", "canonicalized"])
def test_partitioned_bert_computes_the_same(bert, which):
    _, mod, params, plain, canon = bert
    partitioned = plain if which == "plain" else canon
    assert relay.transform.InferType()(partitioned)
    ids = np.random.default_rng(0).integers(0, 100, (1, SEQ)).astype("int64")
    original = mod.clone()
    if params:
        original["main"] = relay.build_module.bind_params_by_name(original["main"], params)
    expected = first_output(original, {"input_ids": ids})
    got = first_output(inline_composites(partitioned), {"input_ids": ids})
    assert got.shape == expected.shape == (1, SEQ, 64)
    np.testing.assert_allclose(got, expected, rtol=1e-4, atol=1e-4)


def first_output(mod, inputs):
    return run(mod, inputs)[0]


def test_vit_captures_one_attention_per_layer_and_computes_the_same(tmp_path):
    # PyTorch's scaled-dot-product export scales query and key before the
    # product; canonicalized, each layer's block is one attention composite.
    path = tmp_path / "vit.onnx"
    failure = export_vit(path)
    assert failure is None, failure
    mod, params = exact_onnx_import(onnx.load(str(path)), freeze_params=True)
    partitioned = vexatvm_internal.partition_for_vexa(mod, params, tables=("vexa_fp32",), arch="vexa-pro")
    assert summarize(partitioned)["composites"]["vexa_fp32.attention"] == LAYERS
    image = np.random.default_rng(0).standard_normal((1, 3, 32, 32)).astype("float32")
    original = mod.clone()
    original["main"] = relay.build_module.bind_params_by_name(original["main"], params)
    expected = first_output(original, {"pixel_values": image})
    got = first_output(inline_composites(partitioned), {"pixel_values": image})
    np.testing.assert_allclose(got, expected, rtol=1e-4, atol=1e-4)
