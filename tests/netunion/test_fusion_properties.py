"""Properties of fusion over random small networks."""

import numpy as np
import tvm
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from tvm import relay

import netunion_reference as reference
from netunion_nets import (
    SHAPE,
    call_global,
    dequantize,
    global_calls,
    quantize,
    quantized_function,
    tensor,
    var_names,
)
from vexatvm_internal import netunion

OPS = ["relu", "add_weight", "multiply", "pick", "q0", "q1"]

quantizations = st.fixed_dictionaries(
    {
        "scale": st.sampled_from([0.05, 0.1]),
        "zero_point": st.sampled_from([0, 3]),
        "axis": st.sampled_from([-1, 1]),
        "out_dtype": st.sampled_from(["int8", "uint8"]),
    }
)

# How a network reads its input: directly as the first argument of a call,
# through qnn.quantize, or both.
USES = {"direct": {"direct"}, "quantized": {"quantized"}, "both": {"direct", "quantized"}}

network_plans = st.fixed_dictionaries(
    {
        "uses": st.sampled_from(sorted(USES)),
        "quantization": quantizations,
        "ops": st.lists(
            st.tuples(st.sampled_from(OPS), st.integers(0, 99), st.integers(0, 99)), max_size=8
        ),
    }
)


def build(plan, uses):
    """A network module and its parameter dict. The input is read only as the
    first argument of a call (directly or through a quantize), which is what
    merging inputs relies on; every value built reaches the output."""
    mod = tvm.IRModule()
    mod["q0"] = quantized_function()
    mod["q1"] = quantized_function(relay.negative)
    x = tensor("input")
    weights = []

    def weight():
        weights.append(tensor(f"w{len(weights)}"))
        return weights[-1]

    pool, used = [], set()
    if "direct" in uses:
        pool.append(relay.add(x, weight()))
    if "quantized" in uses:
        q = plan["quantization"]
        pool.append(dequantize(quantize(x, **q), q["scale"], q["zero_point"]))
    for op, i, j in plan["ops"]:
        a, b = i % len(pool), j % len(pool)
        used.update({a, b} if op in ("multiply", "pick") else {a})
        if op == "relu":
            pool.append(relay.nn.relu(pool[a]))
        elif op == "add_weight":
            pool.append(relay.add(pool[a], weight()))
        elif op == "multiply":
            pool.append(relay.multiply(pool[a], pool[b]))
        elif op == "pick":
            pool.append(relay.TupleGetItem(relay.Tuple([pool[a], pool[b]]), j % 2))
        else:
            pool.append(call_global(mod, op, pool[a]))
    outputs = [e for k, e in enumerate(pool) if k not in used]
    mod["main"] = relay.Function([x, *weights], outputs[0] if len(outputs) == 1 else relay.Tuple(outputs))
    params = {w.name_hint: np.full(SHAPE, k, "float32") for k, w in enumerate(weights)}
    return mod, params


def signature(expr, suffix, shared_input):
    """The DAG below expr in post order, each node with its children's
    positions; names lose the network's suffix, so a network's signature
    before and after fusion must be equal."""

    def name(n):
        if shared_input and n == "input_1":
            return "input"
        assert n.endswith(suffix), n
        return n[: len(n) - len(suffix)]

    nodes, position = [], {}

    def visit(node):
        position[node.handle.value] = len(nodes)
        pos = lambda e: position[e.handle.value]  # noqa: E731
        if isinstance(node, relay.Var):
            nodes.append(("var", name(node.name_hint)))
        elif isinstance(node, relay.GlobalVar):
            nodes.append(("global", name(node.name_hint)))
        elif isinstance(node, tvm.ir.Op):
            nodes.append(("op", node.name))
        elif isinstance(node, relay.Constant):
            nodes.append(("const", node.data.numpy().tolist()))
        elif isinstance(node, relay.Call):
            attrs = {k: str(node.attrs[k]) for k in node.attrs.keys()} if node.attrs else {}
            nodes.append(("call", pos(node.op), [pos(a) for a in node.args], attrs))
        elif isinstance(node, relay.Tuple):
            nodes.append(("tuple", [pos(f) for f in node.fields]))
        elif isinstance(node, relay.TupleGetItem):
            nodes.append(("get", pos(node.tuple_value), node.index))
        else:
            raise AssertionError(type(node))

    relay.analysis.post_order_visit(expr, visit)
    return nodes


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(plans=st.lists(network_plans, min_size=1, max_size=4), share_input=st.booleans())
def test_fusion_of_random_networks(plans, share_input):
    # Merging takes the first input met, so the first network reads its input
    # in every way a later one does.
    uses = [USES[s["uses"]] for s in plans]
    uses[0] = set().union(*uses)
    networks = [build(plan, u) for plan, u in zip(plans, uses)]
    mods = [m for m, _ in networks]
    params_list = [p for _, p in networks]

    fused_mod, fused_params = netunion.fuse_netunion(mods, params_list, share_input=share_input)

    for call in global_calls(fused_mod["main"].body):  # resolved by object, as TVM looks them up
        assert call.op.same_as(fused_mod.get_global_var(call.op.name_hint))
    typed = relay.transform.InferType()(fused_mod)  # type-checks, calls included
    main = typed["main"]
    body = fused_mod["main"].body
    assert isinstance(body, relay.Tuple) and len(body.fields) == len(mods)
    for k, (mod, field) in enumerate(zip(mods, body.fields), start=1):
        expected = signature(mod["main"].body, "", False)
        assert signature(field, f"_{k}", share_input) == expected

    names = var_names(main)
    assert len(names) == len(set(names))
    weights = {f"{w}_{k}" for k, p in enumerate(params_list, start=1) for w in p}
    assert list(fused_params) == [f"{w}_{k}" for k, p in enumerate(params_list, start=1) for w in p]
    assert all(fused_params[f"{w}_{k}"] is v for k, p in enumerate(params_list, start=1) for w, v in p.items())
    main_params = [p.name_hint for p in main.params]
    inputs = [n for n in main_params if n not in weights]
    assert set(main_params) - set(inputs) == weights
    assert inputs == (["input_1"] if share_input else [f"input_{k}" for k in range(1, len(mods) + 1)])

    # Same result as the passes written on TVM's own ExprMutator.
    want_mod, want_params = reference.fuse_netunion(mods, params_list, share_input)
    assert tvm.ir.structural_equal(fused_mod, want_mod)
    assert fused_mod.astext() == want_mod.astext()
    assert list(fused_params) == list(want_params)
