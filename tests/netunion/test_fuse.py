"""fuse_netunion: names, parameters, and the edge cases of its lists."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import tvm
from tvm import relay

from netunion_nets import (
    add_net,
    call_global,
    global_names,
    module,
    quantized_function,
    random_tensor,
    run,
    tensor,
)
from vexatvm_internal import netunion


def param_names(mod):
    return [p.name_hint for p in mod["main"].params]


@pytest.mark.parametrize(
    "share_input, main_params",
    [
        (False, ["input_1", "w_1", "input_2", "w_2"]),
        (True, ["input_1", "w_1", "w_2"]),
    ],
)
def test_two_networks_with_the_same_names(share_input, main_params):
    w1, w2 = object(), object()
    params_list = [{"w": w1}, {"w": w2}]
    fused_mod, fused_params = netunion.fuse_netunion(
        [add_net(), add_net()], params_list, share_input=share_input
    )
    assert param_names(fused_mod) == main_params
    assert list(fused_params) == ["w_1", "w_2"]
    assert fused_params["w_1"] is w1 and fused_params["w_2"] is w2
    assert params_list == [{"w": w1}, {"w": w2}]  # the caller's dicts are left alone

    body = fused_mod["main"].body
    assert isinstance(body, relay.Tuple) and len(body.fields) == 2
    first, second = body.fields
    assert [a.name_hint for a in first.args] == ["input_1", "w_1"]
    expected_input = "input_1" if share_input else "input_2"
    assert [a.name_hint for a in second.args] == [expected_input, "w_2"]


@pytest.mark.parametrize("share_input", [False, True])
def test_fused_module_computes_each_network(share_input):
    rng = np.random.default_rng(0)
    x1, x2, w1, w2 = (random_tensor(rng) for _ in range(4))
    fused_mod, _ = netunion.fuse_netunion(
        [add_net(), add_net()], [{"w": w1}, {"w": w2}], share_input=share_input
    )
    inputs = {"input_1": x1, "w_1": w1, "w_2": w2}
    if not share_input:
        inputs["input_2"] = x2
    out1, out2 = run(fused_mod, **inputs)
    assert (out1 == x1 + w1).all()
    assert (out2 == (x1 if share_input else x2) + w2).all()


def test_share_input_is_optional_and_off_by_default():
    fused_mod, _ = netunion.fuse_netunion([add_net(), add_net()], [{"w": 1}, {"w": 2}])
    assert param_names(fused_mod) == ["input_1", "w_1", "input_2", "w_2"]


def test_without_share_input_the_module_is_the_tuple_of_bodies(monkeypatch):
    seen = []

    def record(tup):
        seen.append(tup)
        return tup

    monkeypatch.setattr(netunion, "tuple_netunion", record)
    monkeypatch.setattr(netunion, "_InputMerger", lambda *a: pytest.fail("merger created"))
    fused_mod, _ = netunion.fuse_netunion([add_net(), add_net()], [{}, {}], share_input=0)
    assert len(seen) == 1 and isinstance(seen[0], relay.Tuple)
    assert fused_mod["main"].body.same_as(seen[0])
    assert global_names(fused_mod) == ["main"]


def test_empty_lists(monkeypatch):
    seen = []
    monkeypatch.setattr(netunion, "tuple_netunion", lambda tup: seen.append(tup) or tup)
    fused_mod, fused_params = netunion.fuse_netunion([], [], share_input=True)
    assert len(seen) == 1 and len(seen[0].fields) == 0
    assert fused_params == {}
    assert param_names(fused_mod) == []
    assert global_names(fused_mod) == ["main"]


def test_one_network_still_gets_the_suffix():
    fused_mod, fused_params = netunion.fuse_netunion([add_net()], [{"w": 0}])
    assert param_names(fused_mod) == ["input_1", "w_1"]
    assert list(fused_params) == ["w_1"]


class Items:
    """A params mapping whose items() hands out the given entries."""

    def __init__(self, *entries):
        self.entries = entries

    def items(self):
        return iter(self.entries)


@pytest.mark.parametrize(
    "params, suffix, expected",
    [
        ({}, 1, {}),
        ({"w": 1, "b": 2}, 2, {"w_2": 1, "b_2": 2}),
        ({"w_1": 1}, 2, {"w_1_2": 1}),  # appended, never parsed
        ({"w": 1}, "x", {"w_x": 1}),  # the suffix goes through str()
        # Unpacked as `for key, value in params.items()` unpacks.
        (Items(["w", 1], iter(("b", 2))), 2, {"w_2": 1, "b_2": 2}),
        (Items(["w"]), 1, ValueError("not enough values to unpack (expected 2, got 1)")),
        (Items(("w", 1, 2)), 1, ValueError("too many values to unpack (expected 2)")),
        (Items(5), 1, TypeError("cannot unpack non-iterable int object")),
    ],
)
def test_update_params(params, suffix, expected):
    if isinstance(expected, Exception):
        with pytest.raises(type(expected)) as info:
            netunion._update_params(params, suffix)
        assert str(info.value) == str(expected)
        return
    result = netunion._update_params(params, suffix)
    assert result == expected and list(result) == list(expected)
    assert result is not params


@pytest.mark.parametrize("key", [1, ("w",), b"w", None])
def test_non_str_parameter_key_raises_type_error(key):
    with pytest.raises(TypeError):
        netunion._update_params({key: 0}, 1)
    with pytest.raises(TypeError):
        netunion.fuse_netunion([add_net()], [{key: 0}])


@pytest.mark.parametrize("mods, params", [(1, 0), (0, 1), (2, 1), (1, 2)])
def test_lists_of_different_lengths_raise_a_bare_assertion_error(mods, params):
    with pytest.raises(AssertionError) as info:
        netunion.fuse_netunion([add_net() for _ in range(mods)], [{} for _ in range(params)])
    assert info.value.args == ()


def test_python_dash_o_skips_the_length_assertion():
    script = textwrap.dedent(
        """
        import sys
        sys.path.insert(0, sys.argv[1])
        from netunion_nets import add_net
        from vexatvm_internal import netunion
        mod, params = netunion.fuse_netunion([add_net()], [{"w": 1}, {"w": 2}])
        print(sorted(params), [p.name_hint for p in mod["main"].params])
        try:
            netunion.fuse_netunion([add_net(), add_net()], [{}])
        except IndexError:
            print("IndexError")
        """
    )
    here = os.path.dirname(__file__)
    result = subprocess.run(
        [sys.executable, "-O", "-c", script, here], capture_output=True, text=True, check=True
    )
    assert result.stdout.split("\n")[:2] == ["['w_1'] ['input_1', 'w_1']", "IndexError"]


def test_a_module_without_main_fails_like_the_lookup():
    no_main = tvm.IRModule()
    x = tensor("x")
    no_main["other"] = relay.Function([x], x)
    with pytest.raises(Exception) as expected:
        no_main["main"]
    with pytest.raises(type(expected.value)):
        netunion.fuse_netunion([no_main], [{}])


def test_quantized_function_names_are_appended_to_never_parsed():
    def net(qname):
        x = tensor("input")
        return module([x], lambda m: call_global(m, qname, x), {qname: quantized_function()})

    fused_mod, _ = netunion.fuse_netunion([net("q"), net("q_1")], [{}, {}])
    assert global_names(fused_mod) == ["main", "q_1", "q_1_2"]


@pytest.mark.parametrize(
    "attrs, attr_name, attr_val, expected",
    [
        ({}, "Compiler", "vexa_qtz", "the empty attrs"),
        ({"Other": 1}, "Compiler", "vexa_qtz", "absent"),
        ({"Compiler": "vexa_qtz"}, "Compiler", "vexa_qtz", True),
        ({"Compiler": "other"}, "Compiler", "vexa_qtz", False),
        ({"IsPruned": 1}, "IsPruned", 1, True),
        ({"IsPruned": 0}, "IsPruned", 1, False),
    ],
)
def test_func_has_attr_returns_the_short_circuit_value(attrs, attr_name, attr_val, expected):
    x = tensor("x")
    func = relay.Function([x], x)
    for key, value in attrs.items():
        func = func.with_attr(key, value)
    mod = tvm.IRModule({"f": func})
    result = netunion._func_has_attr(mod, "f", attr_name, attr_val)
    if expected == "the empty attrs":
        assert isinstance(result, tvm.ir.DictAttrs) and len(result) == 0
    elif expected == "absent":
        assert result is False
    else:
        assert bool(result) is expected
    assert bool(netunion._is_vexa_quantized(mod, "f")) is (attrs.get("Compiler") == "vexa_qtz")


def test_tuple_netunion_is_bound_when_the_module_is_imported():
    script = textwrap.dedent(
        """
        import tvm.relay, vexatvm_standins
        vexatvm_standins.install = lambda: None  # nothing puts the annotation in place
        try:
            import vexatvm_internal.netunion
        except ImportError as e:
            print("ImportError", e)
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert result.stdout.startswith("ImportError cannot import name 'tuple_netunion'")
    assert netunion.tuple_netunion is relay.annotation.tuple_netunion


def test_passes_are_tvm_function_passes():
    appender = netunion._VarNameSuffixAppender(3)
    merger = netunion._InputMerger(["w_1"])
    for p in (appender, merger):
        assert isinstance(p, relay.transform.FunctionPass)
        assert p.info.opt_level == 1
    assert appender.suffix == 3
    assert (merger.param_names, merger.shared_input, merger.shared_quantized_input) == (
        ["w_1"],
        None,
        None,
    )
    assert netunion._VarNameSuffixAppender.__doc__ == "Update each var's name by appending a suffix."
    assert netunion._InputMerger.__doc__ == "Make multiple networks share a single input tensor."
    assert [merger._var_is_input(n) for n in ("w_1", "w_2", "input_1")] == [False, True, True]
