"""Graphs that look like YOLOv5 post-processing but are not a whole block of
one form: the block table must leave them alone."""

import pytest
import tvm
from tvm import relay

from yolo_graphs import QNN_FULL, composites, partition, post_block

FORMS = ("fp32", "fp32_v2", "i8", "qnn")


def _one_scale_off(form, **bad):
    # only the middle scale is wrong: one bad scale spoils the whole block
    return dict(forms=[form] * 3, options=[{}, bad, {}])


CASES = [
    # partial blocks
    *[pytest.param(dict(forms=[f], join="none"), id=f"{f}-one-scale-alone") for f in FORMS],
    *[pytest.param(dict(forms=[f], join="qnn" if f == "qnn" else "concat"), id=f"{f}-one-scale-joined")
      for f in FORMS],
    *[pytest.param(dict(forms=[f] * 2), id=f"{f}-two-scales") for f in FORMS],
    *[pytest.param(dict(forms=[f] * 3, join="none"), id=f"{f}-three-scales-no-join") for f in FORMS],
    # the fp32 alternative is taken over the whole block, not per scale
    pytest.param(dict(forms=["fp32", "fp32", "fp32_v2"]), id="mixed-slices-slices-split"),
    pytest.param(dict(forms=["fp32_v2", "fp32", "fp32_v2"]), id="mixed-split-slices-split"),
    pytest.param(dict(forms=["fp32", "i8", "fp32"]), id="mixed-slices-i8"),
    pytest.param(dict(forms=["i8", "i8", "fp32_v2"]), id="mixed-i8-split"),
    # the three parts of a scale must read one sigmoid / split / dequantize / quantize
    pytest.param(dict(forms=["fp32"] * 3, options={"separate_sigmoids": True}), id="fp32-three-sigmoids"),
    pytest.param(_one_scale_off("fp32", separate_sigmoids=True), id="fp32-three-sigmoids-one-scale"),
    pytest.param(_one_scale_off("i8", separate_dequantize=True), id="i8-three-dequantizes"),
    pytest.param(_one_scale_off("qnn", separate_quantize=True), id="qnn-three-quantizes"),
    # the score part is output 2 of the very split the other parts read
    pytest.param(dict(forms=["fp32_v2"] * 3, options=dict(score=3, sections=(2, 4, 5))),
                 id="split-score-from-output-3"),
    pytest.param(dict(forms=["fp32_v2"] * 3, options=dict(score=1)), id="split-score-from-output-1"),
    pytest.param(_one_scale_off("fp32_v2", second_split=True), id="split-score-from-second-split"),
    pytest.param(_one_scale_off("fp32_v2", xy_index=1, wh_index=0), id="split-centre-and-size-swapped"),
    # int8 and QNN square by multiplying one expression by itself
    pytest.param(dict(forms=["i8"] * 3, options={"square": "power"}), id="i8-power"),
    pytest.param(_one_scale_off("i8", square="copies"), id="i8-product-of-two-copies"),
    pytest.param(dict(forms=["qnn"] * 3, options=dict(QNN_FULL, square="power")), id="qnn-power"),
    pytest.param(_one_scale_off("qnn", square="copies"), id="qnn-product-of-two-copies"),
    # the score part's requantize is mandatory, with or without the optional steps
    pytest.param(dict(forms=["qnn"] * 3, options=dict(QNN_FULL, req_score=False)), id="qnn-no-score-requantize"),
    pytest.param(_one_scale_off("qnn", req_score=False), id="qnn-no-score-requantize-one-scale"),
    pytest.param(dict(forms=["qnn"] * 3, options={k: False for k in QNN_FULL} | {"req_score": False}),
                 id="qnn-bare-no-score-requantize"),
    # the QNN block ends in a dequantize
    pytest.param(dict(forms=["qnn"] * 3, join="qnn_raw"), id="qnn-no-final-dequantize"),
]


@pytest.mark.parametrize("graph", CASES)
def test_not_a_block(graph):
    mod = partition(post_block(**graph).mod)
    assert composites(mod) == []


@pytest.mark.parametrize("form, op", [("fp32_v2", "transpose"), ("fp32", "sigmoid"), ("fp32_v2", "power"),
                                      ("i8", "qnn.quantize"), ("qnn", "qnn.mul")])
def test_inner_node_also_read_outside(form, op):
    # e.g. a detection layer that also returns its raw head maps: TVM does not
    # merge a match whose inner results are used elsewhere
    graph = post_block([form] * 3, QNN_FULL if form == "qnn" else {})
    main = graph.mod["main"]
    inner = []
    relay.analysis.post_order_visit(
        main.body, lambda n: inner.append(n) if isinstance(n, relay.Call) and getattr(n.op, "name", "") == op else None)
    func = relay.Function(main.params, relay.Tuple([main.body, inner[0]]))
    mod = relay.transform.InferType()(tvm.IRModule.from_expr(func))
    assert composites(partition(mod)) == []
