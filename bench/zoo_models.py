"""Exports of public architectures with random weights, the way users deploy
them, for bench/zoo.py, which runs this in a process of its own per model:

    .venv/bin/python bench/zoo_models.py NAME PATH

torch and transformers are imported here; TVM only for the PyTorch-quantized
models (through TVM's PyTorch frontend), and then after torch.

Needs, beside the project's networks extra: torchvision 0.28.0 and Pillow
(`pip install --no-deps torchvision==0.28.0 pillow`) and the yolov5 package
(`pip install --no-deps yolov5`), whose plotting, data-loading and download
imports get stand-in modules below.
"""

import contextlib
import io
import os
import sys
import tempfile
import types
import warnings

import numpy as np
import torch

HERE = os.path.dirname(os.path.abspath(__file__))
IMAGE = (1, 3, 224, 224)
SEQ = 16
CNN_OPSET = 13
TRANSFORMER_OPSET = 17

# The torchvision wheel is a CUDA build: its meta registrations need the C++
# nms operator, which the classification models never use.
sys.modules["torchvision._meta_registrations"] = types.ModuleType("torchvision._meta_registrations")
import torchvision  # noqa: E402


def _export(model, inputs, path, opset, names, dynamic_axes=None):
    with torch.no_grad(), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        torch.onnx.export(model.eval(), inputs, path, opset_version=opset, dynamo=False,
                          input_names=names, output_names=["output"], dynamic_axes=dynamic_axes)


# ---------------------------------------------------------------- torchvision classifiers


def torchvision_model(arch, dynamic_batch=False, opset=CNN_OPSET):
    def export(path):
        torch.manual_seed(0)
        model = getattr(torchvision.models, arch)(weights=None)
        axes = {"input": {0: "batch"}, "output": {0: "batch"}} if dynamic_batch else None
        # Attention's fused inference kernel has no ONNX export; the exporter
        # traces the plain computation instead.
        torch.backends.mha.set_fastpath_enabled(False)
        _export(model, (torch.randn(IMAGE),), path, opset, ["input"], axes)

    return export


# ---------------------------------------------------------------- transformers, small random configs


class LastHidden(torch.nn.Module):
    """A transformers model called by keyword, returning last_hidden_state."""

    def __init__(self, model, keys):
        super().__init__()
        self.model, self.keys = model, keys

    def forward(self, *args):
        return self.model(**dict(zip(self.keys, args))).last_hidden_state


def transformer(kind, mask=False, dynamic=False, sequence=SEQ):
    def export(path):
        import transformers as tf  # pylint: disable=import-outside-toplevel

        torch.manual_seed(0)
        if kind == "bert_base":  # bert-base-uncased's shape: 12 layers, hidden 768
            model = tf.BertModel(tf.BertConfig())
        elif kind == "bert":
            model = tf.BertModel(tf.BertConfig(vocab_size=100, hidden_size=64, num_hidden_layers=2,
                                               num_attention_heads=4, intermediate_size=128,
                                               max_position_embeddings=64))
        elif kind == "distilbert":
            model = tf.DistilBertModel(tf.DistilBertConfig(vocab_size=100, dim=64, n_layers=2, n_heads=4,
                                                           hidden_dim=128, max_position_embeddings=64))
        elif kind == "gpt2":
            model = tf.GPT2Model(tf.GPT2Config(vocab_size=100, n_embd=64, n_layer=2, n_head=4,
                                               n_positions=64, use_cache=False, bos_token_id=0,
                                               eos_token_id=0))
        else:  # vit
            model = tf.ViTModel(tf.ViTConfig(hidden_size=64, num_hidden_layers=2, num_attention_heads=4,
                                             intermediate_size=128, image_size=224, patch_size=16),
                                add_pooling_layer=False)
        if kind == "vit":
            keys, inputs = ["pixel_values"], (torch.randn(IMAGE),)
        else:
            keys, inputs = ["input_ids"], (torch.randint(0, 100, (1, sequence)),)
            if mask:
                keys.append("attention_mask")
                inputs += (torch.ones(1, sequence, dtype=torch.int64),)
        axes = {key: {0: "batch", 1: "sequence"} for key in keys} if dynamic else None
        _export(LastHidden(model.eval(), keys), inputs, path, TRANSFORMER_OPSET, keys, axes)

    return export


# ---------------------------------------------------------------- YOLOv5s from the yolov5 package's yaml


# Any attribute of a stand-in module is a mock; nothing of it runs in the export.
STAND_IN = """from unittest import mock


def __getattr__(name):
    if name.startswith("__"):
        raise AttributeError(name)
    return mock.MagicMock(name=__name__ + "." + name)
"""


def _import_yolov5(root):
    """yolov5 and its model classes, with stand-ins under `root` for the modules
    its plotting, data-loading and download helpers import at module level:
    building the model from its yaml uses none of them."""
    for name in ("cv2", "pandas", "requests", "seaborn", "matplotlib.pyplot", "ultralytics.utils.checks",
                 "pkg_resources"):
        parts = name.split(".")
        for depth in range(1, len(parts)):
            os.makedirs(os.path.join(root, *parts[:depth]), exist_ok=True)
            with open(os.path.join(root, *parts[:depth], "__init__.py"), "w", encoding="utf-8") as stream:
                stream.write(STAND_IN)
        with open(os.path.join(root, *parts) + ".py", "w", encoding="utf-8") as stream:
            stream.write(STAND_IN + ("from packaging.version import parse as parse_version\n"
                                     if name == "pkg_resources" else ""))
    sys.path.insert(0, root)
    try:
        import yolov5  # pylint: disable=import-outside-toplevel
        from yolov5.models.yolo import Detect, DetectionModel  # pylint: disable=import-outside-toplevel
    finally:
        sys.path.remove(root)
    return yolov5, Detect, DetectionModel


def export_yolov5s(path):
    with tempfile.TemporaryDirectory() as root:
        yolov5, Detect, DetectionModel = _import_yolov5(root)  # pylint: disable=invalid-name
    torch.manual_seed(0)
    with contextlib.redirect_stdout(io.StringIO()):  # its layer summary
        model = DetectionModel(os.path.join(os.path.dirname(yolov5.__file__), "models", "yolov5s.yaml"))
        model = model.fuse().eval()  # batch norms folded into the convolutions, as yolov5's export loads it
    for module in model.modules():
        if isinstance(module, Detect):
            module.inplace, module.export = False, True  # yolov5's export settings
    x = torch.zeros(1, 3, 640, 640)
    with torch.no_grad():
        model(x)  # builds the grids, as yolov5's export does before exporting
    _export(model, (x,), path, CNN_OPSET, ["images"])


# ---------------------------------------------------------------- onnxruntime static quantization


def ort_quantized(arch, fmt):
    def export(path):
        from onnxruntime.quantization import (  # pylint: disable=import-outside-toplevel
            CalibrationDataReader, QuantFormat, QuantType, quantize_static)
        from onnxruntime.quantization.shape_inference import quant_pre_process  # pylint: disable=import-outside-toplevel

        class Reader(CalibrationDataReader):
            def __init__(self):
                rng = np.random.default_rng(0)
                self.batches = iter([{"input": rng.standard_normal(IMAGE).astype("float32")} for _ in range(8)])

            def get_next(self):
                return next(self.batches, None)

        fp32, prepared = path + ".fp32.onnx", path + ".pre.onnx"
        try:
            torchvision_model(arch)(fp32)
            quant_pre_process(fp32, prepared)
            quantize_static(prepared, path, Reader(), quant_format=getattr(QuantFormat, fmt),
                            activation_type=QuantType.QUInt8, weight_type=QuantType.QInt8)
        finally:
            for tmp in (fp32, prepared):
                if os.path.exists(tmp):
                    os.remove(tmp)

    return export


# ---------------------------------------------------------------- PyTorch eager post-training quantization


def torch_quantized(arch):
    def export(path):
        sys.path.insert(0, os.path.join(HERE, "..", "tests"))
        from torch_quantized import quantize_and_trace  # pylint: disable=import-outside-toplevel

        torch.manual_seed(0)
        model = getattr(torchvision.models.quantization, arch)(weights=None, quantize=False).eval()
        model.fuse_model(is_qat=False)
        model.fuse = None  # fused above: the tests' helper then calibrates, converts and traces
        # Saved as PyTorch users save it; the command reads it with TVM's PyTorch frontend.
        quantize_and_trace(model, IMAGE).save(path)

    return export


EXPORTS = {
    "resnet18": torchvision_model("resnet18"),
    "resnet50": torchvision_model("resnet50"),
    "mobilenet_v2": torchvision_model("mobilenet_v2"),
    "mobilenet_v3_small": torchvision_model("mobilenet_v3_small"),
    "mobilenet_v3_large": torchvision_model("mobilenet_v3_large"),
    "efficientnet_b0": torchvision_model("efficientnet_b0"),
    "bert": transformer("bert"),
    "bert_mask": transformer("bert", mask=True),
    "distilbert": transformer("distilbert"),
    # Without an attention mask, transformers' mask code calls torch.diff,
    # which the TorchScript exporter cannot export: GPT-2 goes with a mask.
    "gpt2": transformer("gpt2", mask=True),
    "vit": transformer("vit"),
    "bert_base": transformer("bert_base", sequence=128),
    "vit_b_16": torchvision_model("vit_b_16", opset=TRANSFORMER_OPSET),
    "yolov5s": export_yolov5s,
    "resnet18_dynamic": torchvision_model("resnet18", dynamic_batch=True),
    "bert_dynamic": transformer("bert", dynamic=True),
    "resnet18_ort_qop": ort_quantized("resnet18", "QOperator"),
    "resnet18_ort_qdq": ort_quantized("resnet18", "QDQ"),
    "mobilenet_v2_ort_qop": ort_quantized("mobilenet_v2", "QOperator"),
    "mobilenet_v2_ort_qdq": ort_quantized("mobilenet_v2", "QDQ"),
    "mobilenet_v2_torch_int8": torch_quantized("mobilenet_v2"),
    "resnet18_torch_int8": torch_quantized("resnet18"),
}


if __name__ == "__main__":
    EXPORTS[sys.argv[1]](sys.argv[2])
