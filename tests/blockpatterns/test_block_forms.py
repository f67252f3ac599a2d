"""Each form of YOLOv5 post-processing, three scales, becomes exactly one
composite of the right name holding the whole block and nothing else."""

import itertools

import pytest
import tvm
from tvm import relay

from yolo_graphs import NAMES, QNN_FULL, composites, host_ops, op_counts, partition, post_block

QNN_OPTIONAL = ("req_b0", "req_b1", "reshape_out", "req_out")


def _qnn_cases():
    # every combination of the optional requantizes and the final reshape
    for flags in itertools.product((True, False), repeat=len(QNN_OPTIONAL)):
        opts = dict(QNN_FULL, **dict(zip(QNN_OPTIONAL, flags)))
        off = [k for k, on in zip(QNN_OPTIONAL, flags) if not on]
        yield pytest.param("qnn", opts, False, id="qnn-without-" + ("-".join(off) or "nothing"))
    # the reshape-transpose around the sigmoid present or not, on a full and a bare branch
    for pre, post in ((True, False), (False, True), (False, False)):
        for rest in (True, False):
            opts = dict(QNN_FULL, pre_rt=pre, post_rt=post, **{k: rest for k in QNN_OPTIONAL})
            yield pytest.param("qnn", opts, False, id=f"qnn-pre{int(pre)}-post{int(post)}-optional{int(rest)}")


CASES = [
    pytest.param("fp32", {}, False, id="fp32-slices"),
    pytest.param("fp32", {}, True, id="fp32-slices-layout_transform"),
    pytest.param("fp32_v2", {}, False, id="fp32-split"),
    pytest.param("fp32_v2", {}, True, id="fp32-split-layout_transform"),
    # add and multiply match either operand order
    pytest.param("fp32_v2", {"constants_left": True}, True, id="fp32-split-constants-first"),
    pytest.param("i8", {}, False, id="i8"),
    *_qnn_cases(),
    # scales are independent: each may keep or drop its own optional steps
    pytest.param("qnn", [QNN_FULL, {k: False for k in QNN_FULL}, dict(QNN_FULL, req_b1=False, pre_rt=False)],
                 False, id="qnn-different-per-scale"),
]


@pytest.mark.parametrize("form, options, layout", CASES)
def test_whole_block_is_one_composite(form, options, layout):
    graph = post_block([form] * 3, options, layout=layout)
    mod = partition(graph.mod)

    found = composites(mod)
    assert [name for name, _, _ in found] == [NAMES[form]]
    _, func, call = found[0]
    assert op_counts(func.body) == graph.block_ops
    assert host_ops(mod) == graph.outside_ops
    # the only computed inputs are the three head outputs, in scale order
    computed = [arg for arg in call.args if not isinstance(arg, relay.Constant)]
    producer = "qnn.requantize" if form in ("i8", "qnn") else "add"
    assert [arg.op.name for arg in computed] == [producer] * 3
    assert [str(arg.args[0].name_hint) for arg in computed] == ["head0", "head1", "head2"]
    # and the block's result is what the rest of the graph reads
    body = mod["main"].body
    assert body.op.name == "clip" and body.args[0].same_as(call)


@pytest.mark.parametrize("first, second", [("fp32", "fp32_v2"), ("fp32_v2", "i8"), ("i8", "qnn"), ("qnn", "qnn")])
def test_two_blocks_in_one_graph_give_two_composites(first, second):
    # e.g. two detectors fused into one module: each block on its own
    fa, fb = post_block([first] * 3).mod["main"], post_block([second] * 3, seed=1).mod["main"]
    params_b = [relay.var(f"b_{p.name_hint}", p.type_annotation) for p in fb.params]
    body_b = relay.bind(fb.body, dict(zip(fb.params, params_b)))
    func = relay.Function(list(fa.params) + params_b, relay.Tuple([fa.body, body_b]))
    found = composites(partition(relay.transform.InferType()(tvm.IRModule.from_expr(func))))
    assert sorted(name for name, _, _ in found) == sorted([NAMES[first], NAMES[second]])
    assert [op_counts(f.body)["sigmoid"] for _, f, _ in found] == [3, 3]
