"""Dataflow-pattern tables of the Vexa accelerator."""

import math as math
from collections.abc import Callable
from typing import TypeAlias

import yaml as yaml
from tvm.ir.op import Op as Op
from tvm.relay import Expr
from tvm.relay.dataflow_pattern import DFPattern
from tvm.relay.dataflow_pattern import is_constant as is_constant
from tvm.relay.dataflow_pattern import is_expr as is_expr
from tvm.relay.dataflow_pattern import is_op as is_op
from tvm.relay.dataflow_pattern import is_tuple as is_tuple
from tvm.relay.dataflow_pattern import is_tuple_get_item as is_tuple_get_item
from tvm.relay.dataflow_pattern import wildcard as wildcard
from tvm.relay.expr import Call as Call
from tvm.relay.expr import Constant as Constant
from tvm.relay.expr import Tuple as Tuple
from tvm.relay.expr import const as const
from tvm.relay.function import Function as Function
from tvm.relay.op.contrib.register import register_pattern_table as register_pattern_table
from tvm.relay.vexa.build_module import BuildConfig as BuildConfig
from tvm.relay.vexa.relay_traversal import find_call_of_type as find_call_of_type
from tvm.relay.vexa.relay_traversal import get_consumers_mc as get_consumers_mc

from vexatvm_internal.archquery import arch_supports_operator as arch_supports_operator
from vexatvm_internal.archquery import archquery_parameter as archquery_parameter

# A table entry, as MergeComposite takes it: composite name, pattern and, for
# most entries, the check a match must pass.
_Check: TypeAlias = Callable[[Expr], bool]
_Entry: TypeAlias = tuple[str, DFPattern] | tuple[str, DFPattern, _Check]

# Shared helpers.
def get_current_arch_value() -> str:
    """YAML text of the current architecture: all of arch_config for a named one, else the inline description."""
def is_captured(extract: Expr) -> bool:
    """True when extract is a call of a function: a region an earlier pattern captured."""
def check_fp32(extract: Expr) -> bool:
    """Whether the expression's inferred dtype is float32."""
def explain_check(check: Callable[[Expr], object], extract: Expr) -> tuple[object, str | None]:
    """(check(extract), why it refused): the reason, in the accelerator's terms, that this module's checks give while run through here; None where the check accepted or gave none."""
def nearest_entry(call: Expr) -> tuple[str, str] | None:
    """(entry, what differs) for a call no entry's pattern matched but one nearly did; None where none is known."""
def tuple_multi_input_pattern(start: int, end: int, ptrn_gen: Callable[[int], DFPattern]) -> DFPattern | None:
    """Tuples of start to end - 1 fields, shortest first, field i being ptrn_gen(i); None when start >= end."""
def layout_transform_bias(bias_var: DFPattern) -> DFPattern:
    """A bias brought to NHWC: layout_transform of two expand_dims, or one expand_dims."""
def make_requantize_pattern(x: DFPattern) -> DFPattern:
    """qnn.requantize of x with free scales and zero points."""
def make_qnn_quantize_pattern(x: DFPattern) -> DFPattern:
    """qnn.quantize of x with a free scale and zero point."""

# int8 builders and their checks.
def make_qnn_conv_pattern() -> DFPattern:
    """Quantized convolution: optional pad, qnn.conv2d, bias, requantize, clip, cast, optional clip."""
def check_qnn_conv_pattern(extract: Expr) -> bool:
    """Check of "vexa.qnn_conv": walks first arguments to the qnn.conv2d call."""
def make_clip_pattern() -> DFPattern:
    """A lone clip on anything."""
def make_qnn_conv_hswish_pattern() -> DFPattern:
    """A quantized convolution multiplied by its own shifted, clipped copy (hard-swish)."""
def make_qnn_fc_pattern() -> DFPattern:
    """Quantized fully-connected layer: flattened input, qnn.dense, bias, requantize, optionally clip and cast."""
def make_qnn_tflite_conv_pattern() -> DFPattern:
    """Quantized convolution as TFLite presents it: explicit requantize, no cast."""
def make_qnn_add_pattern(lhs: DFPattern | None = None, rhs: DFPattern | None = None) -> DFPattern:
    """qnn.add of lhs and rhs (anything when None), optionally followed by a clip."""
def make_qnn_mul_pattern(lhs: DFPattern | None = None, rhs: DFPattern | None = None) -> DFPattern:
    """qnn.mul of lhs and rhs (anything when None), optionally followed by a clip."""
def check_qnn_add(extract: Expr) -> bool:
    """Check of "vexa.qnn_add": walks first arguments to the qnn.add call."""
def make_qnn_concat_with_req_pattern() -> DFPattern:
    """qnn.concatenate of 2 to 7 inputs, each optionally requantized."""
def check_concat_pattern(extract: Expr) -> bool:
    """Rejects a concatenation feeding a grouped convolution."""
def make_upsampling_nearest_pattern() -> DFPattern:
    """image.resize2d of an optionally requantized input."""
def check_upsampling_nearest(expr: Expr) -> bool:
    """Accepts an integer nearest-neighbour resize with a supported rounding mode."""
def make_max_pool2d_pattern() -> DFPattern:
    """nn.max_pool2d of an optionally padded input."""
def make_mean_pattern() -> DFPattern:
    """cast, mean and requantize."""
def make_upsampling_pattern() -> DFPattern:
    """image.resize2d between a dequantize and a quantize."""
def make_leaky_relu_pattern() -> DFPattern:
    """nn.leaky_relu between a dequantize and a quantize."""
def make_tflite_silu_pattern() -> DFPattern:
    """x times its quantized sigmoid, on quantized data."""
def make_tflite_hswish_pattern() -> DFPattern:
    """Hard-swish in float between a dequantize and a quantize, optionally requantized."""
def make_avg_pooling_2d_pattern() -> DFPattern:
    """Average pooling on a widened copy, cast back: adaptive or padded twice."""

# int8 tables, registered as "vexa", "vexa_with_clip" and "vexa_with_fc".
def pattern_table() -> list[_Entry]:
    """The int8 table "vexa": 13 entries, in matching order."""
def pattern_table_with_clip() -> list[_Entry]:
    """"vexa" with a lone clip appended: table "vexa_with_clip"."""
def pattern_table_with_fc() -> list[_Entry]:
    """"vexa" with the quantized fully-connected layer appended: table "vexa_with_fc"."""

# float32 checks.
def check_fp32_transformer(extract: Expr) -> bool:
    """The architecture gate: check_fp32 on architectures whose "has_kov2" is set, else False."""
def check_fp32_silu(extract: Expr) -> bool:
    """check_fp32."""
def check_fp32_gelu(extract: Expr) -> bool:
    """check_fp32_transformer."""
def check_fp32_layer_norm(extract: Expr) -> bool:
    """check_fp32_transformer."""
def check_fp32_attention(extract: Expr) -> bool:
    """check_fp32_transformer."""
def check_fp32_masked_attention(extract: Expr) -> bool:
    """check_fp32_transformer."""
def check_fp32_matmul(extract: Expr) -> bool:
    """check_fp32_transformer."""
def check_fp32_relu(extract: Expr) -> bool:
    """A float32 relu whose input is a captured region."""
def check_fp32_bias_add(extract: Expr) -> bool:
    """A per-channel bias (channels last) added to a captured region."""
def check_fp32_3d_add_broadcast(extract: Expr) -> bool:
    """A vector constant broadcast over the last axis of 3-D data, on "has_kov2" architectures."""
def check_fp32_res_add(expr: Expr) -> bool:
    """A residual add of two computed tensors of one shape, possibly under a cast."""
def check_fp32_res_add_constant(expr: Expr) -> bool:
    """A full-shape constant added to data, on "has_kov2" architectures."""
def check_fp32_concatenate(extract: Expr) -> bool:
    """A concatenation whose consumers are all captured regions without grouped convolutions."""
def check_fp32_upsampling(extract: Expr) -> bool:
    """A nearest (rounding "" or "round"), bilinear or linear resize not of a concatenation."""
def check_avg_pool2d(extract: Expr) -> bool:
    """Global average pooling within the architecture's channels and kernel side."""
def check_fp32_hardtanh(extract: Expr) -> bool:
    """A clip whose lower bound is zero."""
def check_fp32_tconv2d(extract: Expr) -> bool:
    """An ungrouped, undilated transposed convolution with strides within the kernel, where supported."""
def check_fp32_transpose_nop(extract: Expr) -> bool:
    """A transpose moving at most one dimension of extent other than 1."""
def check_fp32_nop_cast(extract: Expr) -> bool:
    """A cast to the type the data already has."""

# float32 builders.
def make_fp32_conv2d_pat() -> DFPattern:
    """nn.conv2d with constant weights."""
def make_fp32_conv1d_pat() -> DFPattern:
    """nn.conv1d with constant weights."""
def make_fp32_tconv2d_pat() -> DFPattern:
    """nn.conv2d_transpose with constant weights."""
def make_fp32_relu_pat() -> DFPattern:
    """nn.relu."""
def make_fp32_leaky_relu_pat() -> DFPattern:
    """nn.leaky_relu."""
def make_fp32_sigmoid_pat() -> DFPattern:
    """sigmoid."""
def make_fp32_hardtanh_pat() -> DFPattern:
    """clip."""
def make_fp32_nop_cast_pat() -> DFPattern:
    """cast."""
def make_fp32_transpose_nop() -> DFPattern:
    """transpose."""
def make_fp32_upsampling_pat() -> DFPattern:
    """image.resize2d."""
def make_fp32_avg_pool2d_onnx_pat() -> DFPattern:
    """nn.global_avg_pool2d."""
def make_fp32_concat_upsampling_pat() -> DFPattern:
    """image.resize2d of a concatenation of 2 to 7 inputs."""
def make_fp32_res_add_constant_pat() -> DFPattern:
    """add of a constant (first) and data."""
def make_fp32_3d_add_broadcast_pat() -> DFPattern:
    """add of a constant (first) and data."""
def make_fp32_2d_add_broadcast_pat() -> DFPattern:
    """reshape of an add of data and a constant."""
def make_fp32_bias_add_pat() -> DFPattern:
    """add or nn.bias_add of data and a constant."""
def make_fp32_res_add_pat() -> DFPattern:
    """add of two tensors, optionally cast."""
def make_fp32_avg_pool2d_pat() -> DFPattern:
    """nn.adaptive_avg_pool2d or nn.avg_pool2d."""
def make_fp32_maxpool2d_pat() -> DFPattern:
    """nn.max_pool2d, with a zero-valued pad in front when there is one."""
def make_fp32_matmul_pat() -> DFPattern:
    """nn.dense with constant weights, optionally between reshapes."""
def make_fp32_silu_pat() -> DFPattern:
    """x * sigmoid(x) of one x."""
def make_fp32_hswish_pat() -> DFPattern:
    """x * clip(x + 3) / 6."""
def make_fp32_hswish_onnx_pat() -> DFPattern:
    """x * clip(x * 1/6 + 0.5), the ONNX HardSwish form."""
def make_f32_concatenate_pat() -> DFPattern:
    """concatenate of 2 to 7 inputs."""
def make_fp32_gelu_pat() -> DFPattern:
    """gelu in its tanh form or its erf form."""
def make_fp32_layer_norm_pat() -> DFPattern:
    """Layer normalisation (epsilon 1e-5) with scale, optional shift and optional cast."""
def make_fp32_attention_pat() -> DFPattern:
    """Attention scaled by a division of the scores."""
def make_fp32_attention_pat2() -> DFPattern:
    """Attention with query and key scaled before the product, softmax between casts."""
def make_fp32_masked_attention_pat() -> DFPattern:
    """Attention over one split projection, masked by selection."""
def make_fp32_masked_attention_pat2() -> DFPattern:
    """Attention with an additive constant mask."""
def make_fp32_attention_sliced_pat(with_constant_query: bool = False) -> DFPattern:
    """Attention over query, key and value sliced out of one projection (the query a constant if asked)."""

# float32 tables. The name is bound to the "vexa_fp32_quantizer" table; the
# "vexa_fp32" table (29 entries, transformer operators included) is reached
# through TVM's pattern-table registry.
def pattern_table_vexa_f32() -> list[_Entry]:
    """The float32 table "vexa_fp32_quantizer": 16 convolution-network entries."""
