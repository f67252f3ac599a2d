"""Quantized accelerator functions: one suffixed copy per network, calls redirected."""

import pytest
import tvm
from tvm import relay

from netunion_nets import (
    call_global,
    global_calls,
    calls_to_globals,
    global_names,
    module,
    quantized_function,
    tensor,
)
from vexatvm_internal import netunion


def net_calling_q0():
    x = tensor("input")
    return module([x], lambda m: call_global(m, "q0", relay.nn.relu(x)), {"q0": quantized_function()})


def attrs_of(func):
    return {k: func.attrs[k] for k in func.attrs.keys()} if func.attrs else {}


def test_a_function_called_by_both_networks_is_copied_per_network():
    fused_mod, _ = netunion.fuse_netunion([net_calling_q0(), net_calling_q0()], [{}, {}])
    assert global_names(fused_mod) == ["main", "q0_1", "q0_2"]
    first, second = fused_mod["main"].body.fields
    assert calls_to_globals(first) == ["q0_1"]
    assert calls_to_globals(second) == ["q0_2"]
    for name in ("q0_1", "q0_2"):
        assert attrs_of(fused_mod[name]) == {"Compiler": "vexa_qtz"}
    # TVM looks functions up by the GlobalVar object a call holds.
    for call in global_calls(fused_mod["main"].body):
        assert call.op.same_as(fused_mod.get_global_var(call.op.name_hint))
        assert fused_mod[call.op].same_as(fused_mod[call.op.name_hint])
    relay.transform.InferType()(fused_mod)


def test_renaming_pass_copies_marks_and_redirects():
    mod = net_calling_q0()
    original_q0 = mod["q0"]
    renamed = netunion._VarNameSuffixAppender(1)(mod)
    assert global_names(renamed) == ["main", "q0", "q0_1"]
    assert int(renamed["q0"].attrs["IsPruned"]) == 1
    assert attrs_of(renamed["q0_1"]) == {"Compiler": "vexa_qtz"}
    # The copy is the function itself: TVM's function passes skip functions
    # with a Compiler attribute, so its own variables keep their names.
    assert tvm.ir.structural_equal(renamed["q0_1"], original_q0)
    assert [p.name_hint for p in renamed["q0_1"].params] == ["qx"]
    assert calls_to_globals(renamed["main"].body) == ["q0_1"]
    (call,) = global_calls(renamed["main"].body)
    assert call.op.same_as(renamed.get_global_var("q0_1"))
    # The caller's module is not touched.
    assert global_names(mod) == ["main", "q0"] and "IsPruned" not in mod["q0"].attrs


def test_several_call_sites_share_one_copy():
    x = tensor("input")

    def body(m):
        inner = call_global(m, "q0", x)
        nested = call_global(m, "q0", inner)
        return relay.Tuple([nested, call_global(m, "q0", relay.nn.relu(x))])

    mod = module([x], body, {"q0": quantized_function()})
    y = tensor("other")
    mod["helper"] = relay.Function([y], call_global(mod, "q0", y))  # a second function, same run

    renamed = netunion._VarNameSuffixAppender(2)(mod)
    assert global_names(renamed) == ["helper", "main", "q0", "q0_2"]
    assert calls_to_globals(renamed["main"].body) == ["q0_2"] * 3
    assert calls_to_globals(renamed["helper"].body) == ["q0_2"]
    assert "IsPruned" not in renamed["q0_2"].attrs

    fused_mod, _ = netunion.fuse_netunion([mod], [{}])
    assert global_names(fused_mod) == ["main", "q0_1"]
    assert calls_to_globals(fused_mod["main"].body) == ["q0_1"] * 3


@pytest.mark.parametrize("compiler", [None, "other"])
def test_calls_to_other_global_functions_are_not_redirected(compiler):
    x = tensor("input")
    mod = module([x], lambda m: call_global(m, "f", x), {"f": quantized_function(compiler=compiler)})
    before = {name: mod[name] for name in global_names(mod)}
    result = netunion._VarNameSuffixAppender(1).transform_function(mod["main"], mod, None)
    assert result.body.op.same_as(mod.get_global_var("f"))
    assert [a.name_hint for a in result.body.args] == ["input_1"]
    assert global_names(mod) == sorted(before)
    assert all(mod[name].same_as(func) for name, func in before.items())


def test_quantized_function_no_call_reaches_is_carried_over_unsuffixed():
    x = tensor("input")
    mod = module([x], relay.nn.relu(x), {"q_unused": quantized_function()})
    fused_mod, _ = netunion.fuse_netunion([mod, net_calling_q0()], [{}, {}])
    assert global_names(fused_mod) == ["main", "q0_2", "q_unused"]
