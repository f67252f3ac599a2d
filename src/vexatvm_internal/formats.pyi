"""Checks of model files before TVM reads them."""

import mmap

def check_saved_module(graph: object, memory_bytes: int | None = None) -> None:
    """Raises ValueError where a graph of tvm.ir.save_json (as json.loads gives it) would crash or exhaust TVM's loader."""

def check_relay_text(text: str, memory_bytes: int | None = None) -> None:
    """Raises ValueError where Relay text nests too deeply for TVM's parser or carries a bad metadata section."""

def check_params(blob: bytes, memory_bytes: int | None = None) -> None:
    """Raises ValueError where a file of tvm.runtime.save_param_dict would crash or exhaust TVM's reader."""

def check_torchscript(data: bytes | bytearray | memoryview | mmap.mmap, memory_bytes: int | None = None) -> str:
    """The folder of a TorchScript archive's entries; raises ValueError where the file is no TorchScript archive or its zip directory is corrupt."""

def onnx_without_weights(data: bytes | bytearray | memoryview | mmap.mmap, location: str) -> bytes:
    """An ONNX model's bytes with each initializer of its main graph that holds its data inline referring to where that data lies in the file (named location), as ONNX's external data; raises ValueError where the protobuf is malformed."""
