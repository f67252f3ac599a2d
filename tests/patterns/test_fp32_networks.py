"""Small BERT encoders from transformers (random weights), exported with
torch.onnx.export(opset_version=14, dynamo=False), imported with TVM's ONNX
frontend and partitioned with "vexa_fp32"."""

import importlib.util
import json
import subprocess
import sys

import pytest

from fp32_graphs import NANO, PRO, composites, host_calls, host_ops, op_name, ops_in, partition, root_composite

pytestmark = pytest.mark.networks

# Exported in a child process: importing transformers (it pulls in triton)
# after TVM has crashed the process, and TVM is loaded by the time this runs.
EXPORT = r"""
import json, sys, types
import torch

# torchvision without its C++ operators (see tests/conftest.py); transformers imports it.
sys.modules.setdefault("torchvision._meta_registrations", types.ModuleType("torchvision._meta_registrations"))
from transformers import BertConfig, BertModel
from transformers.activations import ACT2FN

out_dir, configs = sys.argv[1], json.loads(sys.argv[2])


class Encoder(torch.nn.Module):
    def __init__(self, bert):
        super().__init__()
        self.bert = bert

    def forward(self, ids, mask=None):
        return self.bert(input_ids=ids, attention_mask=mask).last_hidden_state


for name, cfg in configs.items():
    torch.manual_seed(0)
    config = BertConfig(vocab_size=64, hidden_size=32, num_hidden_layers=cfg["layers"], num_attention_heads=2,
                        intermediate_size=64, max_position_embeddings=16, hidden_act=cfg["act"],
                        layer_norm_eps=cfg["eps"], attn_implementation=cfg["attn"])
    bert = BertModel(config)
    for index, act in cfg.get("layer_acts", {}).items():
        bert.encoder.layer[int(index)].intermediate.intermediate_act_fn = ACT2FN[act]
    model = Encoder(bert.eval()).eval()
    ids = torch.randint(0, 64, (1, 8))
    args, names = ((ids, torch.ones(1, 8, dtype=torch.int64)), ["ids", "mask"]) if cfg["mask"] else ((ids,), ["ids"])
    torch.onnx.export(model, args, f"{out_dir}/{name}.onnx", opset_version=14, dynamo=False, input_names=names)
"""

HEAD_SIZE = 16  # hidden 32, 2 heads
CONFIGS = {
    # BertModel's default attention (sdpa), called without a mask; the second
    # layer's activation swapped for gelu_new so one export holds both gelu forms.
    "gelu": dict(layers=2, act="gelu", layer_acts={"1": "gelu_new"}, eps=1e-5, attn="sdpa", mask=False),
    # BERT's default epsilon, with eager attention and an attention mask.
    "eager-eps-1e-12": dict(layers=1, act="gelu", eps=1e-12, attn="eager", mask=True),
}
GATED = {"vexa_fp32.gelu", "vexa_fp32.layer_norm", "vexa_fp32.attention_sliced", "vexa_fp32.attention",
         "vexa_fp32.masked_attention", "vexa_fp32.attention_const_query", "vexa_fp32.matmul",
         "vexa_fp32.3d_add_broadcast", "vexa_fp32.2d_add_broadcast", "vexa_fp32.res_add_constant",
         "vexa_fp32.sigmoid", "vexa_fp32.transpose_nop"}
ATTENTION = {"vexa_fp32.attention_sliced", "vexa_fp32.attention", "vexa_fp32.masked_attention",
             "vexa_fp32.attention_const_query"}


@pytest.fixture(scope="module")
def exported(tmp_path_factory):
    for name in ("torch", "transformers", "onnx"):
        if importlib.util.find_spec(name) is None:
            pytest.skip(f"{name} is not installed")
    out = tmp_path_factory.mktemp("bert")
    result = subprocess.run([sys.executable, "-c", EXPORT, str(out), json.dumps(CONFIGS)],
                            capture_output=True, text=True, timeout=900)
    if result.returncode != 0:
        pytest.skip("BERT export to ONNX failed with the installed torch/transformers:\n" + result.stderr[-2000:])
    return out


@pytest.fixture(scope="module")
def bert(exported):
    """(config, arch) -> partitioned main function; each import and partition done once."""
    import onnx
    from onnx_import import exact_onnx_import

    imported, partitioned = {}, {}

    def get(name, arch_value=PRO):
        if name not in imported:
            model = onnx.load(str(exported / f"{name}.onnx"))
            shapes = {i.name: (1, 8) for i in model.graph.input}
            imported[name] = exact_onnx_import(model, shapes, freeze_params=False)
        if (name, arch_value) not in partitioned:
            mod, params = imported[name]
            partitioned[(name, arch_value)] = partition(mod, arch=arch_value, params=params)["main"]
        return partitioned[(name, arch_value)]

    return get


def layers(name):
    return CONFIGS[name]["layers"]


def composite_calls(main):
    """(composite name, sorted operators inside) of every composite call."""
    from tvm import relay

    calls = []
    relay.analysis.post_order_visit(
        main, lambda n: calls.append((root_composite(n), ops_in(n.op.body))) if root_composite(n) else None)
    return calls


ERF_GELU = ("add", "divide", "erf", "multiply", "multiply")
TANH_GELU = ("add", "add", "multiply", "multiply", "multiply", "multiply", "power", "tanh")


def test_layer_norms_and_gelus_of_every_layer(bert):
    name = "gelu"
    main = bert(name)
    found = composites(main)
    # Two per layer, and the embeddings' one.
    assert found["vexa_fp32.layer_norm"] == 2 * layers(name) + 1
    assert found["vexa_fp32.gelu"] == layers(name)
    left = host_ops(main)
    for op in ("erf", "tanh", "sqrt", "power", "mean"):
        assert left[op] == 0, op
    # The erf form in the first layer ("gelu"), the tanh form in the second ("gelu_new").
    assert sorted(ops for n, ops in composite_calls(main) if n == "vexa_fp32.gelu") == sorted([ERF_GELU, TANH_GELU])


@pytest.mark.parametrize("name", list(CONFIGS))
def test_matmuls_captured(bert, name):
    # reshape, nn.dense with a constant, reshape; the bias follows as add(C, x).
    main = bert(name)
    found = composites(main)
    assert found["vexa_fp32.matmul"] == 6 * layers(name)
    assert found["vexa_fp32.3d_add_broadcast"] == 6 * layers(name)
    assert host_ops(main)["nn.dense"] == 0
    matmuls = [ops for n, ops in composite_calls(main) if n == "vexa_fp32.matmul"]
    assert set(matmuls) == {("nn.dense", "reshape", "reshape")}


def test_eps_1e_12_layer_norm_not_captured(bert):
    main = bert("eager-eps-1e-12")
    found = composites(main)
    assert found["vexa_fp32.layer_norm"] == 0
    assert host_ops(main)["sqrt"] == 2 * layers("eager-eps-1e-12") + 1
    assert found["vexa_fp32.gelu"] == layers("eager-eps-1e-12")


def _scalar(expr):
    return float(expr.data.numpy()) if expr.data.numpy().ndim == 0 else None


def test_sdpa_export_attention_is_no_attention_form(bert):
    # Observed form: query and key are each multiplied by sqrt(1/sqrt(head
    # size)) = 0.5 before the product (the sdpa export), the scores go to the
    # softmax unscaled and without casts, and the head merge starts with two
    # reshapes. That is make_fp32_attention_pat2 without its casts, so no
    # attention composite is made.
    main = bert("gelu")
    assert not ATTENTION & set(composites(main))
    softmaxes = host_calls(main, "nn.softmax")
    assert len(softmaxes) == layers("gelu")
    for softmax in softmaxes:
        scores = softmax.args[0]
        assert op_name(scores) == "reshape" and op_name(scores.args[0]) == "nn.batch_matmul"
        query, key = scores.args[0].args
        assert op_name(query) == "reshape" and op_name(query.args[0]) == "multiply"
        assert _scalar(query.args[0].args[1]) == pytest.approx(HEAD_SIZE ** -0.25)
        assert op_name(key) == "transpose" and op_name(key.args[0].args[0]) == "multiply"
        assert _scalar(key.args[0].args[0].args[1]) == pytest.approx(HEAD_SIZE ** -0.25)


def test_eager_export_with_mask_attention_is_no_attention_form(bert):
    # Observed form: scores multiplied by 1/sqrt(head size) after the product,
    # then a mask computed from the attention-mask input is added (data first),
    # then the softmax: no attention form matches.
    main = bert("eager-eps-1e-12")
    assert not ATTENTION & set(composites(main))
    (softmax,) = host_calls(main, "nn.softmax")
    masked = softmax.args[0]
    assert op_name(masked) == "add"
    scaled, mask = masked.args
    assert op_name(scaled) == "multiply" and _scalar(scaled.args[1]) == pytest.approx(HEAD_SIZE ** -0.5)
    assert op_name(scaled.args[0]) == "reshape" and op_name(scaled.args[0].args[0]) == "nn.batch_matmul"
    assert op_name(mask) == "where"  # computed from the mask input, not a constant
    # The mask's bool-to-bool cast is claimed as a no-op cast: that check
    # compares types only, whatever the dtype.
    casts = [ops for n, ops in composite_calls(main) if n == "vexa_fp32.cast_nop"]
    assert casts == [("cast",)]


def test_architecture_gate_on_bert(bert):
    pro, nano = composites(bert("gelu", PRO)), composites(bert("gelu", NANO))
    assert {"vexa_fp32.gelu", "vexa_fp32.layer_norm", "vexa_fp32.matmul"} <= set(pro)
    assert not GATED & set(nano)
    # The residual adds are not gated. On vexa-nano the x + 0.044715 x^3 inside
    # the tanh gelu is one more residual add; vexa-pro holds it in the gelu.
    assert pro["vexa_fp32.res_add"] == 2 * layers("gelu")
    assert nano["vexa_fp32.res_add"] == 2 * layers("gelu") + 1
