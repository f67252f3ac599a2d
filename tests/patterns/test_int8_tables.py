"""The three int8 tables as TVM's registry holds them, and what each call of a
table function builds."""

import pytest
from tvm.relay.dataflow_pattern import DFPattern, wildcard
from tvm.relay.op.contrib import register
from tvm.relay.op.contrib.register import get_pattern_table

from vexatvm_internal import patterns
from pattern_nodes import pattern_nodes, table_nodes

BASE = [
    ("vexa.qnn_conv_hswish_requant", "make_qnn_conv_hswish_pattern", None),
    ("vexa.qnn_conv", "make_qnn_conv_pattern", "check_qnn_conv_pattern"),
    ("vexa.qnn_tflite_qconv", "make_qnn_tflite_conv_pattern", None),
    ("vexa.qnn_add", "make_qnn_add_pattern", "check_qnn_add"),
    ("vexa.concat", "make_qnn_concat_with_req_pattern", "check_concat_pattern"),
    ("vexa.upsampling", "make_upsampling_pattern", None),
    ("vexa.upsampling_nearest", "make_upsampling_nearest_pattern", "check_upsampling_nearest"),
    ("vexa.maxpool2d", "make_max_pool2d_pattern", None),
    ("vexa.leaky_relu", "make_leaky_relu_pattern", None),
    ("vexa.tflite_silu", "make_tflite_silu_pattern", None),
    ("vexa.tflite_hswish", "make_tflite_hswish_pattern", None),
    ("vexa.avg_pooling2d", "make_avg_pooling_2d_pattern", None),
    ("vexa.mean", "make_mean_pattern", None),
]
TABLES = {
    "vexa": ("pattern_table", BASE),
    "vexa_with_clip": ("pattern_table_with_clip", BASE + [("vexa.clip", "make_clip_pattern", None)]),
    "vexa_with_fc": ("pattern_table_with_fc", BASE + [("vexa.qnn_fc", "make_qnn_fc_pattern", None)]),
}
@pytest.mark.parametrize("name", list(TABLES))
def test_registered_table(name):
    table = get_pattern_table(name)
    expected = TABLES[name][1]
    assert isinstance(table, list)
    assert [entry[0] for entry in table] == [entry[0] for entry in expected]
    for entry, (_, _, check) in zip(table, expected):
        assert isinstance(entry, tuple)
        assert isinstance(entry[1], DFPattern)
        if check is None:
            assert len(entry) == 2
        else:
            assert len(entry) == 3
            assert entry[2] is getattr(patterns, check)  # the module's own function object


def test_registration_order():
    names = list(register._PATTERN_TABLES)
    start = names.index("vexa")
    assert names[start:start + 3] == ["vexa", "vexa_with_clip", "vexa_with_fc"]


def test_registered_tables_share_no_pattern_nodes():
    seen = [table_nodes(get_pattern_table(name)) for name in TABLES]
    assert all(seen)
    assert not (seen[0] & seen[1]) and not (seen[0] & seen[2]) and not (seen[1] & seen[2])


@pytest.mark.parametrize("name", list(TABLES))
def test_every_call_builds_a_new_table(name):
    function = getattr(patterns, TABLES[name][0])
    first, second = function(), function()
    assert first is not second
    assert len(first) == len(second) == len(TABLES[name][1])
    for a, b in zip(first, second):
        assert not a[1].same_as(b[1])
    assert not table_nodes(first) & table_nodes(second)
    assert not table_nodes(first) & table_nodes(get_pattern_table(name))


def test_appending_to_a_variant_changes_no_other_table():
    extended = patterns.pattern_table_with_clip()
    extended.append(("extra", wildcard()))
    assert len(patterns.pattern_table()) == 13
    assert len(patterns.pattern_table_with_clip()) == 14
    assert len(get_pattern_table("vexa_with_clip")) == 14


@pytest.mark.parametrize("name", ["vexa_with_clip", "vexa_with_fc"])
def test_variants_append_to_the_module_level_pattern_table(monkeypatch, name):
    base = [("stand.in", wildcard())]
    monkeypatch.setattr(patterns, "pattern_table", lambda: base)
    table = getattr(patterns, TABLES[name][0])()
    assert table is base  # the base list itself, appended to
    assert [entry[0] for entry in table] == ["stand.in", TABLES[name][1][-1][0]]


@pytest.mark.parametrize(
    "name, index",
    [(name, index) for name in TABLES for index in range(len(TABLES[name][1]))
     if name == "vexa" or index == 13],
)
def test_tables_call_builders_by_module_name(monkeypatch, name, index):
    builder = TABLES[name][1][index][1]
    marker = wildcard()
    monkeypatch.setattr(patterns, builder, lambda: marker)
    table = getattr(patterns, TABLES[name][0])()
    assert table[index][1].same_as(marker)


BUILDERS = sorted({b for _, entries in TABLES.values() for _, b, _ in entries} | {"make_qnn_mul_pattern"})


@pytest.mark.parametrize("builder", BUILDERS)
def test_builders_return_fresh_patterns(builder):
    function = getattr(patterns, builder)
    first, second = function(), function()
    assert isinstance(first, DFPattern)
    assert not pattern_nodes(first) & pattern_nodes(second)
