"""Networks far deeper than Python's recursion allows."""

import pytest
import tvm
from tvm import relay

import netunion_reference as reference
from netunion_nets import TENSOR, chain, tensor
from vexatvm_internal import netunion

LENGTH = 50_000


def walk_first_args(expr):
    """(number of calls, the expression below them) along first arguments."""
    count = 0
    while isinstance(expr, relay.Call):
        expr = expr.args[0]
        count += 1
    return count, expr


def test_tvm_expr_mutator_cannot_rename_a_few_thousand_operators():
    # Why the passes do not use it: the deep tests below would fail this way.
    with pytest.raises(RecursionError):
        reference.VarNameSuffixAppender(1)(chain(5_000))


def test_two_chains_of_50000_operators_fuse():
    fused_mod, fused_params = netunion.fuse_netunion(
        [chain(LENGTH), chain(LENGTH)], [{"w": 1}, {"w": 2}], share_input=True
    )
    main = fused_mod["main"]
    assert [p.name_hint for p in main.params] == ["input_1", "w_1", "w_2"]
    assert fused_params == {"w_1": 1, "w_2": 2}
    for k, field in enumerate(main.body.fields, start=1):
        count, bottom = walk_first_args(field)
        assert count == LENGTH
        assert bottom.same_as(main.params[0])
        assert field.args[1].name_hint == f"w_{k}"


def nested_lets(depth):
    x = tensor("input")
    body = x
    for i in reversed(range(depth)):
        v = relay.var(f"v{i}", TENSOR)
        body = relay.Let(v, x, relay.add(v, body) if i % 1000 == 0 else body)
    return relay.Function([x], body)


def nested_tuples(depth):
    x = tensor("input")
    expr = x
    for _ in range(depth):
        expr = relay.TupleGetItem(relay.Tuple([expr, x]), 0)
    return relay.Function([x], expr)


@pytest.mark.parametrize("make", [nested_lets, nested_tuples])
def test_deep_nesting_of_other_node_kinds(make):
    func = make(20_000)
    renamed = netunion._VarNameSuffixAppender(1).transform_function(func, tvm.IRModule(), None)
    assert [p.name_hint for p in renamed.params] == ["input_1"]
    assert tvm.ir.structural_equal(renamed, func)
