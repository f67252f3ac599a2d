"""The "vexa_blocks" table as TVM's registry holds it, and what each entry
accepts."""

import pytest
from tvm import relay
from tvm.relay.dataflow_pattern import DFPattern
from tvm.relay.op.contrib.register import get_pattern_table

from vexatvm_internal import blockpatterns
from pattern_nodes import pattern_nodes, walk_patterns
from yolo_graphs import QNN_FULL, post_block

ENTRIES = [
    ("vexa_blocks.yolov5_fp32_post", "check_yolov5_fp32_post"),
    ("vexa_blocks.yolov5_i8_post", "check_yolov5_i8_post"),
    ("vexa_blocks.yolov5_qnn_i8_post", "check_yolov5_qnn_i8_post"),
]


def test_registry_holds_three_entries_in_order():
    table = get_pattern_table("vexa_blocks")
    assert [entry[0] for entry in table] == [name for name, _ in ENTRIES]
    for (_, pattern, check), (_, check_name) in zip(table, ENTRIES):
        assert isinstance(pattern, DFPattern)
        assert check is getattr(blockpatterns, check_name)


def test_patterns_constrain_no_attribute_type_or_shape():
    # attributes, dtypes and shapes vary between exports; only structure counts
    kinds = {type(node).__name__ for _, p, _ in get_pattern_table("vexa_blocks") for node in walk_patterns(p)}
    assert kinds <= {"CallPattern", "ExprPattern", "WildcardPattern", "ConstantPattern", "TuplePattern",
                     "TupleGetItemPattern", "AltPattern"}


EXTRACTS = [None, 0, "", [], relay.const(1.0), relay.var("x"), object()]


@pytest.mark.parametrize("index", range(3), ids=[c for _, c in ENTRIES])
@pytest.mark.parametrize("extract", EXTRACTS, ids=lambda e: type(e).__name__)
def test_checks_accept_anything(index, extract):
    check = get_pattern_table("vexa_blocks")[index][2]
    assert check(extract) is True


def test_each_table_call_builds_new_patterns():
    first, second = blockpatterns.pattern_table_vexa_blocks(), blockpatterns.pattern_table_vexa_blocks()
    assert first is not second
    assert [(n, c) for n, _, c in first] == [(n, c) for n, _, c in second]
    assert not pattern_nodes([p for _, p, _ in first]) & pattern_nodes([p for _, p, _ in second])
    # nor with what the registry holds
    assert not pattern_nodes([p for _, p, _ in first]) & pattern_nodes(
        [p for _, p, _ in get_pattern_table("vexa_blocks")])


GRAPHS = {
    "fp32": ("fp32", {}),
    "fp32_v2": ("fp32_v2", {}),
    "i8": ("i8", {}),
    "qnn": ("qnn", QNN_FULL),
    "qnn-bare": ("qnn", {k: False for k in QNN_FULL}),
}
EXPECTED = {"fp32": 0, "fp32_v2": 0, "i8": 1, "qnn": 2, "qnn-bare": 2}


@pytest.mark.parametrize("graph", GRAPHS)
@pytest.mark.parametrize("index", range(3), ids=[n for n, _ in ENTRIES])
def test_each_entry_matches_its_own_form_only(graph, index):
    form, options = GRAPHS[graph]
    block = post_block([form] * 3, options).mod["main"].body.args[0]  # the block under the clip
    pattern = get_pattern_table("vexa_blocks")[index][1]
    assert pattern.match(block) is (EXPECTED[graph] == index)
