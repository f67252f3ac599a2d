"""The two float32 tables as TVM's registry holds them, and what each call of
a table function builds."""

import pytest
from tvm.relay.dataflow_pattern import DFPattern, wildcard
from tvm.relay.op.contrib import register
from tvm.relay.op.contrib.register import get_pattern_table

from vexatvm_internal import patterns
from pattern_nodes import pattern_nodes, table_nodes

# (composite, builder, check) in priority order.
FP32 = [
    ("vexa_fp32.conv2d", "make_fp32_conv2d_pat", "check_fp32"),
    ("vexa_fp32.tconv2d", "make_fp32_tconv2d_pat", "check_fp32_tconv2d"),
    ("vexa_fp32.bias_add", "make_fp32_bias_add_pat", "check_fp32_bias_add"),
    ("vexa_fp32.maxpool2d", "make_fp32_maxpool2d_pat", "check_fp32"),
    ("vexa_fp32.leaky_relu", "make_fp32_leaky_relu_pat", "check_fp32"),
    ("vexa_fp32.silu", "make_fp32_silu_pat", "check_fp32_silu"),
    ("vexa_fp32.hswish", "make_fp32_hswish_pat", "check_fp32"),
    ("vexa_fp32.hswish_onnx", "make_fp32_hswish_onnx_pat", "check_fp32"),
    ("vexa_fp32.gelu", "make_fp32_gelu_pat", "check_fp32_gelu"),
    ("vexa_fp32.layer_norm", "make_fp32_layer_norm_pat", "check_fp32_layer_norm"),
    ("vexa_fp32.attention_sliced", "make_fp32_attention_sliced_pat", "check_fp32_attention"),
    ("vexa_fp32.attention", ("make_fp32_attention_pat", "make_fp32_attention_pat2"), "check_fp32_attention"),
    ("vexa_fp32.masked_attention", ("make_fp32_masked_attention_pat", "make_fp32_masked_attention_pat2"),
     "check_fp32_masked_attention"),
    ("vexa_fp32.attention_const_query", "make_fp32_attention_sliced_pat", "check_fp32_attention"),
    ("vexa_fp32.matmul", "make_fp32_matmul_pat", "check_fp32_matmul"),
    ("vexa_fp32.3d_add_broadcast", "make_fp32_3d_add_broadcast_pat", "check_fp32_3d_add_broadcast"),
    ("vexa_fp32.2d_add_broadcast", "make_fp32_2d_add_broadcast_pat", "check_fp32_transformer"),
    ("vexa_fp32.res_add", "make_fp32_res_add_pat", "check_fp32_res_add"),
    ("vexa_fp32.res_add_constant", "make_fp32_res_add_constant_pat", "check_fp32_res_add_constant"),
    ("vexa_fp32.relu", "make_fp32_relu_pat", "check_fp32_relu"),
    ("vexa_fp32.avg_pool2d", "make_fp32_avg_pool2d_pat", "check_avg_pool2d"),
    ("vexa_fp32.avg_pool2d_onnx", "make_fp32_avg_pool2d_onnx_pat", "check_avg_pool2d"),
    ("vexa_fp32.upsampling_concat", "make_fp32_concat_upsampling_pat", "check_fp32"),
    ("vexa_fp32.upsampling", "make_fp32_upsampling_pat", "check_fp32_upsampling"),
    ("vexa_fp32.hardtanh", "make_fp32_hardtanh_pat", "check_fp32_hardtanh"),
    ("vexa_fp32.sigmoid", "make_fp32_sigmoid_pat", "check_fp32_transformer"),
    ("vexa_fp32.transpose_nop", "make_fp32_transpose_nop", "check_fp32_transpose_nop"),
    ("vexa_fp32.cast_nop", "make_fp32_nop_cast_pat", "check_fp32_nop_cast"),
    ("vexa_fp32.concatenate", "make_f32_concatenate_pat", "check_fp32_concatenate"),
]
QUANTIZER_NAMES = [
    "vexa_fp32.conv2d", "vexa_fp32.tconv2d", "vexa_fp32.bias_add", "vexa_fp32.maxpool2d",
    "vexa_fp32.leaky_relu", "vexa_fp32.silu", "vexa_fp32.hswish", "vexa_fp32.hswish_onnx",
    "vexa_fp32.res_add", "vexa_fp32.relu", "vexa_fp32.avg_pool2d", "vexa_fp32.avg_pool2d_onnx",
    "vexa_fp32.upsampling_concat", "vexa_fp32.upsampling", "vexa_fp32.hardtanh", "vexa_fp32.concatenate",
]
QUANTIZER = [next(row for row in FP32 if row[0] == name) for name in QUANTIZER_NAMES]
TABLES = {"vexa_fp32": FP32, "vexa_fp32_quantizer": QUANTIZER}

@pytest.mark.parametrize("name", list(TABLES))
def test_registered_table(name):
    table = get_pattern_table(name)
    expected = TABLES[name]
    assert isinstance(table, list)
    assert [entry[0] for entry in table] == [row[0] for row in expected]
    for entry, (_, _, check) in zip(table, expected):
        assert isinstance(entry, tuple) and len(entry) == 3
        assert isinstance(entry[0], str) and isinstance(entry[1], DFPattern)
        assert entry[2] is getattr(patterns, check)  # the module's own function object


def test_registered_after_the_int8_tables():
    names = list(register._PATTERN_TABLES)
    start = names.index("vexa_with_fc")
    assert names[start + 1:start + 3] == ["vexa_fp32", "vexa_fp32_quantizer"]


def test_module_attribute_is_the_quantizer_table():
    table = patterns.pattern_table_vexa_f32()
    assert [entry[0] for entry in table] == QUANTIZER_NAMES
    assert [entry[2] for entry in table] == [getattr(patterns, check) for _, _, check in QUANTIZER]


def test_registered_tables_share_no_pattern_nodes():
    first = [pattern_nodes(entry[1]) for entry in get_pattern_table("vexa_fp32")]
    second = table_nodes(get_pattern_table("vexa_fp32_quantizer"))
    # Entries of one table do not share nodes either (no cached sub-pattern).
    for i, nodes in enumerate(first):
        assert nodes
        for other in first[i + 1:]:
            assert not nodes & other
        assert not nodes & second


def test_every_call_builds_a_new_table():
    first, second = patterns.pattern_table_vexa_f32(), patterns.pattern_table_vexa_f32()
    assert first is not second
    assert len(first) == len(second) == 16
    for a, b in zip(first, second):
        assert not a[1].same_as(b[1])
    assert not table_nodes(first) & table_nodes(second)
    assert not table_nodes(first) & table_nodes(get_pattern_table("vexa_fp32_quantizer"))
    assert not table_nodes(first) & table_nodes(get_pattern_table("vexa_fp32"))


@pytest.mark.parametrize("index", range(len(QUANTIZER)), ids=[row[0] for row in QUANTIZER])
def test_table_calls_builders_and_checks_by_module_name(monkeypatch, index):
    name, builder, check = QUANTIZER[index]
    marker = wildcard()
    monkeypatch.setattr(patterns, builder, lambda: marker)

    def stand_in(extract):
        return True

    monkeypatch.setattr(patterns, check, stand_in)
    entry = patterns.pattern_table_vexa_f32()[index]
    assert entry[0] == name
    assert entry[1].same_as(marker)
    assert entry[2] is stand_in


def test_builder_error_propagates(monkeypatch):
    def broken():
        raise KeyError("builder")

    monkeypatch.setattr(patterns, "make_fp32_hardtanh_pat", broken)
    with pytest.raises(KeyError, match="builder"):
        patterns.pattern_table_vexa_f32()


BUILDERS = sorted({b for _, builders, _ in FP32 for b in ((builders,) if isinstance(builders, str) else builders)}
                  | {"make_fp32_conv1d_pat"})


@pytest.mark.parametrize("builder", BUILDERS)
def test_builders_return_fresh_patterns(builder):
    function = getattr(patterns, builder)
    first, second = function(), function()
    assert isinstance(first, DFPattern)
    assert not pattern_nodes(first) & pattern_nodes(second)


def test_conv1d_builder_is_in_no_table():
    names = {entry[0] for table in TABLES for entry in get_pattern_table(table)}
    assert not any("conv1d" in name for name in names)
