"""YOLOv5 post-processing block patterns of the Vexa accelerator."""

from collections.abc import Callable

from tvm.relay import Expr
from tvm.relay.dataflow_pattern import DFPattern

def make_yolov5_fp32_post() -> DFPattern:
    """Three scales of the older float32 head, concatenated."""

def make_yolov5_fp32_post_v2() -> DFPattern:
    """Three scales of the newer float32 head, concatenated."""

def make_yolov5_i8_post() -> DFPattern:
    """Three int8 scales, concatenated."""

def make_yolov5_qnn_i8_post() -> DFPattern:
    """Three fully quantized scales, concatenated and dequantized."""

def check_yolov5_fp32_post(extract: Expr) -> bool:
    """Accepts every match."""

def check_yolov5_i8_post(extract: Expr) -> bool:
    """Accepts every match."""

def check_yolov5_qnn_i8_post(extract: Expr) -> bool:
    """Accepts every match."""

def pattern_table_vexa_blocks() -> list[tuple[str, DFPattern, Callable[[Expr], bool]]]:
    """The block table "vexa_blocks": YOLOv5 post-processing in its three numeric forms."""
