"""Sharing one input: direct consumers, consumers through qnn.quantize, and what is left alone."""

import numpy as np
import pytest
import tvm
from tvm import relay

from netunion_nets import (
    add_net,
    dequantize,
    module,
    ops_called,
    quantize,
    quantized_net,
    random_tensor,
    run,
    tensor,
)
from vexatvm_internal import netunion


def quantize_calls(expr):
    found = []

    def visit(node):
        if isinstance(node, relay.Call) and isinstance(node.op, tvm.ir.Op):
            if node.op.name == "qnn.quantize":
                found.append(node)

    relay.analysis.post_order_visit(expr, visit)
    return found


@pytest.mark.parametrize(
    "second",
    [
        {},
        {"scale": 0.1},
        {"zero_point": 5},
        {"axis": 1},  # the same numbers on this shape, but not the same attributes
        {"out_dtype": "uint8"},
    ],
    ids=["equal", "scale", "zero_point", "axis", "out_dtype"],
)
def test_inputs_merged_through_quantize(second):
    rng = np.random.default_rng(1)
    x, w1, w2 = (random_tensor(rng) for _ in range(3))
    net1, net2 = quantized_net(), quantized_net(**second)
    fused_mod, _ = netunion.fuse_netunion([net1, net2], [{"w": w1}, {"w": w2}], share_input=True)

    assert [p.name_hint for p in fused_mod["main"].params] == ["input_1", "w_1", "w_2"]
    first, other = fused_mod["main"].body.fields
    (q1,) = quantize_calls(first)
    (q2,) = quantize_calls(other)
    assert q2.args[0].same_as(q1.args[0])  # both read input_1
    if second:
        # Quantized differently: network 2 keeps its own quantize.
        assert not q2.same_as(q1)
        assert tvm.ir.structural_equal(q2, quantize(q1.args[0], **second))
    else:
        assert q2.same_as(q1)

    expected = run(net1, input=x, w=w1) + run(net2, input=x, w=w2)
    for got, want in zip(run(fused_mod, input_1=x, w_1=w1, w_2=w2), expected):
        np.testing.assert_array_equal(got, want)


def test_one_own_quantize_for_all_its_consumers():
    x = tensor("input")
    q = quantize(x, scale=0.1)
    net2 = module([x], relay.Tuple([dequantize(q, 0.1), relay.nn.relu(dequantize(q, 0.1))]))
    fused_mod, _ = netunion.fuse_netunion([quantized_net(), net2], [{"w": 0}, {}], share_input=True)
    assert ops_called(fused_mod["main"].body).count("qnn.quantize") == 2


def test_direct_consumers_take_the_first_input_met():
    fused_mod, _ = netunion.fuse_netunion(
        [add_net(), add_net(), add_net()], [{"w": 1}, {"w": 2}, {"w": 3}], share_input=True
    )
    fields = fused_mod["main"].body.fields
    assert [[a.name_hint for a in f.args] for f in fields] == [
        ["input_1", "w_1"],
        ["input_1", "w_2"],
        ["input_1", "w_3"],
    ]


def merge(func, param_names=("w_1", "w_2"), merger=None):
    merger = merger or netunion._InputMerger(list(param_names))
    return merger.transform_function(func, tvm.IRModule(), None), merger


class Marker(Exception):
    pass


class Names:
    """Parameter names that answer `in` but fail to be listed."""

    def __contains__(self, name):
        return name.startswith("w")

    def __iter__(self):
        raise Marker()


def test_an_error_reading_the_parameter_names_propagates():
    x1, w1 = tensor("input_1"), tensor("w_1")
    with pytest.raises(Marker):
        merge(relay.Function([x1, w1], relay.add(x1, w1)), merger=netunion._InputMerger(Names()))


def test_calls_the_rule_does_not_apply_to_are_left_to_the_base_rules():
    x1, x2, w1, w2 = tensor("input_1"), tensor("input_2"), tensor("w_1"), tensor("w_2")
    weight_first = relay.add(w2, x2)  # input_2 read as a second argument stays
    quantized_weight = dequantize(quantize(w1))  # quantize of a weight is no input
    body = relay.Tuple([relay.add(x1, w1), weight_first, quantized_weight])
    result, merger = merge(relay.Function([x1, x2, w1, w2], body))
    assert result.body.fields[1].same_as(weight_first)
    assert result.body.fields[2].same_as(quantized_weight)
    assert [p.name_hint for p in result.params] == ["input_1", "w_1", "w_2", "input_2"]
    assert merger.shared_input.same_as(x1) and merger.shared_quantized_input is None


def test_calls_without_arguments_are_left_unchanged_but_still_visited():
    x1, x2 = tensor("input_1"), tensor("input_2")
    f = relay.GlobalVar("f")
    no_args = relay.Call(f, [])
    inline = relay.Call(relay.Function([], relay.nn.relu(x2)), [])
    body = relay.Tuple([relay.nn.relu(x1), no_args, inline])
    result, _ = merge(relay.Function([x1, x2], body))
    assert result.body.fields[1].same_as(no_args)
    # The argument-less call of an inline function is rebuilt by the base
    # rules, and the call inside it is merged.
    inner = result.body.fields[2].op.body
    assert inner.args[0].same_as(x1)
    assert [p.name_hint for p in result.params] == ["input_1"]


def test_shared_fields_persist_across_one_pass_object():
    merger = netunion._InputMerger(["w_1", "w_2"])
    x1, x2 = tensor("input_1"), tensor("input_2")
    q1, q2 = quantize(x1), quantize(x2)
    first, _ = merge(relay.Function([x1], relay.Tuple([relay.nn.relu(x1), dequantize(q1)])), merger=merger)
    second, _ = merge(relay.Function([x2], relay.Tuple([relay.nn.relu(x2), dequantize(q2)])), merger=merger)
    assert merger.shared_input.same_as(x1)
    assert merger.shared_quantized_input.same_as(q1)
    assert [p.name_hint for p in second.params] == ["input_1"]
    assert second.body.fields[1].args[0].same_as(q1)


def test_result_is_a_new_function_of_the_free_variables():
    x1, x2, w1 = tensor("input_1"), tensor("input_2"), tensor("w_1")
    func = relay.Function(
        [x1, x2, w1], relay.Tuple([relay.add(x1, w1), relay.add(x2, w1)]), ret_type=None
    ).with_attr("Primitive", 1)
    result, _ = merge(func)
    assert [p.name_hint for p in result.params] == ["input_1", "w_1"]
    assert not result.attrs
