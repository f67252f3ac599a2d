"""A small random-weight BertModel from transformers, exported to ONNX at
opset 17 in a child process: transformers and tvm are never loaded together
(that import order crashed the process here)."""

import subprocess
import sys
import textwrap

LAYERS = 2
SEQ = 8

# The child's preamble: the model's one input, passed by keyword; its last hidden state out.
_WRAPPER = textwrap.dedent(
    """
    import sys
    import types
    import torch

    # torchvision without its C++ operators (see tests/conftest.py); transformers imports it.
    sys.modules.setdefault("torchvision._meta_registrations", types.ModuleType("torchvision._meta_registrations"))

    class ByKeyword(torch.nn.Module):
        def __init__(self, model, name):
            super().__init__()
            self.model, self.name = model, name

        def forward(self, x):
            return self.model(**{self.name: x}).last_hidden_state

    def export(model, name, example):
        torch.onnx.export(ByKeyword(model, name), (example,), sys.argv[1], opset_version=17, dynamo=False,
                          input_names=[name], output_names=["hidden"])
    """
)

EXPORT = _WRAPPER + textwrap.dedent(
    f"""
    from transformers import BertConfig, BertModel

    config = BertConfig(vocab_size=100, hidden_size=64, num_hidden_layers={LAYERS},
                        num_attention_heads=4, intermediate_size=128,
                        max_position_embeddings=32, layer_norm_eps=1e-5)
    torch.manual_seed(0)
    bert = BertModel(config).eval()
    export(bert, "input_ids", torch.randint(0, 100, (1, {SEQ})))
    """
)

EXPORT_VIT = _WRAPPER + textwrap.dedent(
    f"""
    from transformers import ViTConfig, ViTModel

    config = ViTConfig(hidden_size=64, num_hidden_layers={LAYERS}, num_attention_heads=4,
                       intermediate_size=128, image_size=32, patch_size=8)
    torch.manual_seed(0)
    vit = ViTModel(config).eval()
    export(vit, "pixel_values", torch.randn(1, 3, 32, 32))
    """
)


# Two inputs, as exports for serving take them; with "dynamic", their batch and sequence axes are symbolic.
EXPORT_MASKED = textwrap.dedent(
    f"""
    import sys
    import types
    import torch

    # torchvision without its C++ operators (see tests/conftest.py); transformers imports it.
    sys.modules.setdefault("torchvision._meta_registrations", types.ModuleType("torchvision._meta_registrations"))
    from transformers import BertConfig, BertModel

    class Masked(torch.nn.Module):
        def __init__(self, model):
            super().__init__()
            self.model = model

        def forward(self, input_ids, attention_mask):
            return self.model(input_ids=input_ids, attention_mask=attention_mask).last_hidden_state

    config = BertConfig(vocab_size=100, hidden_size=64, num_hidden_layers={LAYERS},
                        num_attention_heads=4, intermediate_size=128,
                        max_position_embeddings=32, layer_norm_eps=1e-5)
    torch.manual_seed(0)
    bert = Masked(BertModel(config).eval())
    axes = {{"batch": 0, "seq": 1}}
    dynamic = {{name: {{v: k for k, v in axes.items()}} for name in ("input_ids", "attention_mask")}}
    torch.onnx.export(bert, (torch.randint(0, 100, (1, {SEQ})), torch.ones(1, {SEQ}, dtype=torch.int64)),
                      sys.argv[1], opset_version=17, dynamo=False, input_names=["input_ids", "attention_mask"],
                      output_names=["hidden"], dynamic_axes=dynamic if sys.argv[2:] == ["dynamic"] else None)
    """
)


def _export(script, path, *args):
    proc = subprocess.run([sys.executable, "-c", script, str(path), *args], capture_output=True, text=True,
                          timeout=600)
    return None if proc.returncode == 0 else proc.stderr[-4000:]


def export_vit(path):
    """A 2-layer random-weight ViTModel (32x32 images, 8x8 patches); as export_bert."""
    return _export(EXPORT_VIT, path)


def export_bert(path):
    """Writes the encoder to `path`; returns the child's stderr on failure, else None."""
    return _export(EXPORT, path)


def export_masked_bert(path, dynamic):
    """The encoder with input_ids and attention_mask, batch and sequence axes
    named "batch" and "seq" where dynamic; as export_bert."""
    return _export(EXPORT_MASKED, path, *(["dynamic"] if dynamic else []))
