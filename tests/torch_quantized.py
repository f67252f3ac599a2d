"""PyTorch eager-mode post-training static quantization, as users run it."""

import warnings

import torch
import torch.ao.quantization as tq


def quantize_and_trace(model, shape, gain=1.0):
    """`model` fused (its ``fuse`` lists), calibrated on seeded random data
    scaled by `gain` with the x86 engine, converted and traced."""
    torch.backends.quantized.engine = "x86"
    model = model.eval()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if model.fuse:
            tq.fuse_modules(model, model.fuse, inplace=True)
        model.qconfig = tq.get_default_qconfig("x86")
        tq.prepare(model, inplace=True)
        data = torch.Generator().manual_seed(1)
        with torch.no_grad():
            for _ in range(4):
                model(torch.randn(shape, generator=data) * gain)
        tq.convert(model, inplace=True)
        return torch.jit.trace(model, torch.randn(shape, generator=data) * gain).eval()


def torchvision_quantized(name, shape):
    """torchvision's quantizable `name` (random weights) fused, calibrated on
    seeded random data with the x86 engine, converted and traced, as its
    documentation quantizes it."""
    import torchvision.models.quantization as quantizable

    torch.manual_seed(0)  # the weights
    torch.backends.quantized.engine = "x86"
    model = getattr(quantizable, name)(weights=None, quantize=False).eval()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        model.fuse_model()
        model.qconfig = tq.get_default_qconfig("x86")
        tq.prepare(model, inplace=True)
        data = torch.Generator().manual_seed(1)
        with torch.no_grad():
            for _ in range(4):
                model(torch.randn(shape, generator=data))
        tq.convert(model, inplace=True)
        return torch.jit.trace(model, torch.randn(shape, generator=data)).eval()
