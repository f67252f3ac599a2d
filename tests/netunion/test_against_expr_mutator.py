"""The C++ passes against the same passes written on TVM's Python ExprMutator.

On graphs small enough for Python's recursion, both must give the same
result: equal structure and names, the same number of distinct nodes (so no
node is duplicated or lost to the memo), the same original nodes kept as they
are, and the same side effects on the module and the pass object.
"""

import numpy as np
import pytest
import tvm
from tvm import relay

import netunion_reference as reference
from netunion_nets import (
    SHAPE,
    TENSOR,
    call_global,
    dequantize,
    global_names,
    nodes,
    quantize,
    quantized_function,
    tensor,
    var_names,
)
from vexatvm_internal import netunion


def shared_subexpressions(x1, x2, w1, w2, mod):
    a = relay.nn.relu(x1)
    b = relay.add(a, a)
    return relay.Tuple([relay.multiply(b, a), relay.add(x2, w2), b])


def tuples(x1, x2, w1, w2, mod):
    t = relay.Tuple([relay.nn.relu(x1), x2, relay.Tuple([])])
    return relay.Tuple([relay.TupleGetItem(t, 1), relay.TupleGetItem(t, 0), t, relay.const(1.0)])


def lets(x1, x2, w1, w2, mod):
    v = relay.var("v", TENSOR)
    u = relay.var("u", TENSOR)
    inner = relay.Let(u, relay.add(v, w1), relay.multiply(u, v))
    return relay.Let(v, relay.nn.relu(x1), relay.Tuple([inner, relay.add(x2, w2)]))


def conditionals(x1, x2, w1, w2, mod):
    cond = relay.var("cond", shape=(), dtype="bool")
    return relay.If(cond, relay.add(x1, w1), relay.If(cond, x2, relay.nn.relu(x2)))


def references(x1, x2, w1, w2, mod):
    r = relay.var("r")
    body = relay.Tuple([relay.RefWrite(r, relay.nn.relu(x2)), relay.RefRead(r)])
    return relay.Let(r, relay.RefCreate(relay.add(x1, w1)), body)


def inline_functions(x1, x2, w1, w2, mod):
    p = relay.var("p", TENSOR)
    composite = relay.Function([p], relay.nn.relu(p)).with_attr("Composite", "vexa.relu")
    no_params = relay.Function([], relay.add(x2, w2))
    return relay.Tuple([relay.Call(composite, [x1]), relay.Call(composite, [x2]), relay.Call(no_params, [])])


def global_calls(x1, x2, w1, w2, mod):
    q = call_global(mod, "q0", call_global(mod, "q0", x1))
    # Redirected with its arguments unchanged: the change must still reach relu.
    constant_only = relay.nn.relu(call_global(mod, "q1", relay.const(np.ones(SHAPE, "float32"))))
    return relay.Tuple(
        [q, call_global(mod, "f", x2), call_global(mod, "q1", relay.add(x2, w1)), constant_only]
    )


def pattern_matches(x1, x2, w1, w2, mod):
    box = relay.GlobalTypeVar("Box")
    ctor = relay.Constructor("Box", [TENSOR], box)
    p = relay.var("p", TENSOR)
    clauses = [
        relay.Clause(relay.PatternConstructor(ctor, [relay.PatternVar(p)]), relay.add(p, w1)),
        relay.Clause(relay.PatternWildcard(), x2),
    ]
    return relay.Match(ctor(relay.nn.relu(x1)), clauses, complete=False)


def quantized_inputs(x1, x2, w1, w2, mod):
    q1 = quantize(x1)
    same = quantize(x2)
    other = quantize(x2, scale=0.5, out_dtype="uint8")
    return relay.Tuple(
        [
            dequantize(q1),
            relay.add(dequantize(same), w2),
            dequantize(other),
            relay.nn.relu(dequantize(other)),
            dequantize(quantize(w1)),
            relay.add(w1, x2),
        ]
    )


def second_network_first(x1, x2, w1, w2, mod):
    # The first input met is input_2; the first quantize met reads input_1.
    return relay.Tuple([relay.add(dequantize(quantize(x1)), w1), relay.nn.relu(x2), dequantize(quantize(x2, 0.2))])


GRAPHS = [
    shared_subexpressions,
    tuples,
    lets,
    conditionals,
    references,
    inline_functions,
    global_calls,
    pattern_matches,
    quantized_inputs,
    second_network_first,
]


def build(graph):
    mod = tvm.IRModule()
    mod["q0"] = quantized_function()
    mod["q1"] = quantized_function(relay.negative)
    mod["f"] = quantized_function(compiler=None)
    names = ("input_1", "input_2", "w_1", "w_2")
    params = [tensor(n) for n in names]
    body = graph(*params, mod)
    func = relay.Function(relay.analysis.free_vars(body), body)
    return func, mod


def assert_same_result(got, want, original):
    assert tvm.ir.structural_equal(got, want, map_free_vars=True)
    assert var_names(got) == var_names(want)
    kept = set(nodes(original))
    got_nodes, want_nodes = nodes(got), nodes(want)
    assert len(got_nodes) == len(want_nodes)
    assert [n if n in kept else None for n in got_nodes] == [n if n in kept else None for n in want_nodes]


@pytest.mark.parametrize("graph", GRAPHS, ids=[g.__name__ for g in GRAPHS])
@pytest.mark.parametrize("suffix", [1, 12])
def test_renaming_matches_expr_mutator(graph, suffix):
    func, mod = build(graph)
    got_mod = tvm.IRModule(dict(mod.functions.items()))
    want_mod = tvm.IRModule(dict(mod.functions.items()))
    got = netunion._VarNameSuffixAppender(suffix).transform_function(func, got_mod, None)
    want = reference.VarNameSuffixAppender(suffix).transform_function(func, want_mod, None)
    assert_same_result(got, want, func)
    assert all(p.name_hint.endswith(f"_{suffix}") for p in got.params)
    assert global_names(got_mod) == global_names(want_mod)
    for name in global_names(want_mod):
        assert tvm.ir.structural_equal(got_mod[name], want_mod[name])


@pytest.mark.parametrize("graph", GRAPHS, ids=[g.__name__ for g in GRAPHS])
def test_input_merging_matches_expr_mutator(graph):
    func, mod = build(graph)
    got_pass = netunion._InputMerger(["w_1", "w_2"])
    want_pass = reference.InputMerger(["w_1", "w_2"])
    got = got_pass.transform_function(func, mod, None)
    want = want_pass.transform_function(func, mod, None)
    assert_same_result(got, want, func)
    for field in ("shared_input", "shared_quantized_input"):
        got_value, want_value = getattr(got_pass, field), getattr(want_pass, field)
        assert (got_value is None and want_value is None) or got_value.same_as(want_value)


def test_unchanged_function_is_kept_as_it_is():
    w = tensor("w_1")
    func = relay.Function([w], relay.nn.relu(relay.add(w, relay.const(2.0))))
    merged = netunion._InputMerger(["w_1"]).transform_function(func, tvm.IRModule(), None)
    assert merged.body.same_as(func.body)


def test_unhandled_node_kinds_fail_like_expr_mutator():
    relax = pytest.importorskip("tvm.relax")
    odd = relax.Var("odd", relax.TensorStructInfo((1,), "float32"))
    func = relay.Function([], relay.Tuple([odd]))
    messages = []
    for make in (reference.InputMerger, netunion._InputMerger):
        with pytest.raises(Exception, match="warning unhandled case") as info:
            make([]).transform_function(func, tvm.IRModule(), None)
        messages.append((type(info.value), str(info.value)))
    assert messages[0] == messages[1]
