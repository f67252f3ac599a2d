"""A small random-weight BertModel from transformers, exported to ONNX at
opset 17 in a child process: transformers and tvm are never loaded together
(that import order crashed the process here)."""

import subprocess
import sys
import textwrap

LAYERS = 2
SEQ = 8

EXPORT = textwrap.dedent(
    f"""
    import sys
    import torch
    from transformers import BertConfig, BertModel

    config = BertConfig(vocab_size=100, hidden_size=64, num_hidden_layers={LAYERS},
                        num_attention_heads=4, intermediate_size=128,
                        max_position_embeddings=32, layer_norm_eps=1e-5)
    torch.manual_seed(0)
    bert = BertModel(config).eval()

    class ByKeyword(torch.nn.Module):
        def __init__(self, model):
            super().__init__()
            self.model = model

        def forward(self, input_ids):
            return self.model(input_ids=input_ids).last_hidden_state

    ids = torch.randint(0, 100, (1, {SEQ}))
    torch.onnx.export(ByKeyword(bert), (ids,), sys.argv[1], opset_version=17, dynamo=False,
                      input_names=["input_ids"], output_names=["hidden"])
    """
)


EXPORT_VIT = textwrap.dedent(
    f"""
    import sys
    import torch
    from transformers import ViTConfig, ViTModel

    config = ViTConfig(hidden_size=64, num_hidden_layers={LAYERS}, num_attention_heads=4,
                       intermediate_size=128, image_size=32, patch_size=8)
    torch.manual_seed(0)
    vit = ViTModel(config).eval()

    class ByKeyword(torch.nn.Module):
        def __init__(self, model):
            super().__init__()
            self.model = model

        def forward(self, pixel_values):
            return self.model(pixel_values=pixel_values).last_hidden_state

    torch.onnx.export(ByKeyword(vit), (torch.randn(1, 3, 32, 32),), sys.argv[1], opset_version=17,
                      dynamo=False, input_names=["pixel_values"], output_names=["hidden"])
    """
)


def export_vit(path):
    """A 2-layer random-weight ViTModel (32x32 images, 8x8 patches); as export_bert."""
    proc = subprocess.run([sys.executable, "-c", EXPORT_VIT, str(path)], capture_output=True, text=True, timeout=600)
    return None if proc.returncode == 0 else proc.stderr[-4000:]


def export_bert(path):
    """Writes the encoder to `path`; returns the child's stderr on failure, else None."""
    proc = subprocess.run([sys.executable, "-c", EXPORT, str(path)], capture_output=True, text=True, timeout=600)
    return None if proc.returncode == 0 else proc.stderr[-4000:]
