"""The shared helpers of the pattern module, and what it binds at import."""

import math

import numpy as np
import pytest
import tvm
import yaml
from tvm import relay
from tvm.relay import dataflow_pattern as dfp
from tvm.relay.dataflow_pattern import AltPattern, TuplePattern, is_constant, is_op, is_tuple, wildcard

from vexatvm_internal import patterns
from vexatvm_standins.build_module import BuildConfig


def tuple_of(k):
    return relay.Tuple([relay.var(f"v{i}", shape=(2,)) for i in range(k)])


def alternatives(pattern):
    """The alternatives of a chain of |, left to right."""
    if isinstance(pattern, AltPattern):
        return alternatives(pattern.left) + alternatives(pattern.right)
    return [pattern]


@pytest.mark.parametrize(
    "start, end, lengths",
    [
        (1, 4, [1, 2, 3]),
        (2, 3, [2]),
        (0, 1, [0]),
        (0, 3, [0, 1, 2]),  # an empty tuple pattern is falsy, yet it stays an alternative
        (2, 8, [2, 3, 4, 5, 6, 7]),
    ],
)
def test_tuple_multi_input_pattern(start, end, lengths):
    calls = []

    def gen(i):
        calls.append(i)
        return wildcard()

    pattern = patterns.tuple_multi_input_pattern(start, end, gen)
    for k in range(0, 9):
        assert pattern.match(tuple_of(k)) == (k in lengths), k
    alts = alternatives(pattern)
    assert all(isinstance(alt, TuplePattern) for alt in alts)
    assert [len(alt.fields) for alt in alts] == lengths  # shortest first
    assert calls == [i for k in lengths for i in range(k)]  # afresh for every position of every length
    fields = [f.handle.value for alt in alts for f in alt.fields]
    assert len(set(fields)) == len(fields)


@pytest.mark.parametrize("start, end", [(3, 3), (4, 2), (0, 0)])
def test_tuple_multi_input_pattern_empty_range(start, end):
    assert patterns.tuple_multi_input_pattern(start, end, lambda i: wildcard()) is None


def test_tuple_multi_input_pattern_puts_field_i_at_position_i():
    ops = ["nn.relu", "sigmoid", "tanh"]
    pattern = patterns.tuple_multi_input_pattern(2, 4, lambda i: is_op(ops[i])(wildcard()))
    x = relay.var("x", shape=(2,))
    assert pattern.match(relay.Tuple([relay.nn.relu(x), relay.sigmoid(x)]))
    assert pattern.match(relay.Tuple([relay.nn.relu(x), relay.sigmoid(x), relay.tanh(x)]))
    assert not pattern.match(relay.Tuple([relay.sigmoid(x), relay.nn.relu(x)]))


@pytest.mark.parametrize(
    "arch_config, expected",
    [
        ({"arch": "vexa-nano"}, {"arch": "vexa-nano"}),
        ({"arch": "x", "opt_level": 3}, {"arch": "x", "opt_level": 3}),  # the whole mapping
        ({"arch": {"base": "vexa-nano", "channels": 48}}, {"base": "vexa-nano", "channels": 48}),
        ({"arch": {"channels": 16}, "opt_level": 3}, {"channels": 16}),  # the inline description only
        ({"arch": 5}, 5),
    ],
)
def test_get_current_arch_value(arch_config, expected):
    with BuildConfig(arch_config=arch_config):
        text = patterns.get_current_arch_value()
    assert text == yaml.safe_dump(expected)


@pytest.mark.parametrize(
    "arch_config, error",
    [({"opt_level": 3}, KeyError), ({"arch": object()}, yaml.representer.RepresenterError)],
)
def test_get_current_arch_value_errors_propagate(arch_config, error):
    with BuildConfig(arch_config=arch_config), pytest.raises(error):
        patterns.get_current_arch_value()


def _function_call():
    p = relay.var("p", shape=(2,))
    return relay.Call(relay.Function([p], relay.nn.relu(p)), [relay.var("x", shape=(2,))])


@pytest.mark.parametrize(
    "expr, captured",
    [
        (relay.nn.relu(relay.var("x", shape=(2,))), False),
        (relay.var("x", shape=(2,)), False),
        (relay.const(1.0), False),
        (relay.Tuple([relay.var("x", shape=(2,))]), False),
        (relay.Call(relay.GlobalVar("f"), [relay.var("x", shape=(2,))]), False),
        (_function_call(), True),
    ],
    ids=["op-call", "var", "constant", "tuple", "global-call", "function-call"],
)
def test_is_captured(expr, captured):
    assert patterns.is_captured(expr) is captured


def qadd_const():
    x = relay.var("x", shape=(1, 2, 2, 2), dtype="uint8")
    s, z = relay.const(0.5), relay.const(0)
    return relay.qnn.op.add(x, relay.const(np.ones((1, 2, 2, 2), "uint8")), s, z, s, z, s, z)


def typed(expr):
    mod = relay.transform.InferType()(tvm.IRModule.from_expr(relay.Function(relay.analysis.free_vars(expr), expr)))
    return mod["main"].body


@pytest.mark.parametrize(
    "expr, result",
    [
        (typed(relay.nn.relu(relay.var("x", shape=(2,)))), True),
        (typed(relay.cast(relay.var("x", shape=(2,)), "int8")), False),
        (typed(relay.cast(relay.var("x", shape=(2,)), "float16")), False),
        (relay.nn.relu(relay.var("x", shape=(2,))), ValueError),  # no checked type
        (typed(relay.Tuple([relay.var("x", shape=(2,))])), AttributeError),  # a tuple type has no dtype
    ],
    ids=["float32", "int8", "float16", "untyped", "tuple"],
)
def test_check_fp32(expr, result):
    if isinstance(result, bool):
        assert patterns.check_fp32(expr) is result
    else:
        with pytest.raises(result):
            patterns.check_fp32(expr)


B = relay.const(np.ones(8, "int32"))


def expand(x, axis=0):
    return relay.expand_dims(x, axis)


@pytest.mark.parametrize(
    "expr, matches",
    [
        (expand(B), True),
        (relay.layout_transform(expand(expand(B, 1), 0), "NCHW", "NHWC"), True),
        (expand(expand(B, 1), 0), False),
        (relay.layout_transform(expand(expand(expand(B, 1), 1), 0), "NCHW", "NHWC"), False),
        (relay.layout_transform(expand(relay.reshape(B, (8, 1, 1)), 0), "NCHW", "NHWC"), False),
        (B, False),
        (expand(relay.var("b", shape=(8,), dtype="int32")), False),  # bias_var is honoured
    ],
    ids=["single", "normal", "two-expands", "three-expands", "reshape", "bare", "not-constant"],
)
def test_layout_transform_bias(expr, matches):
    assert patterns.layout_transform_bias(is_constant()).match(expr) == matches


X = relay.var("x", shape=(1, 8), dtype="int32")


def qparams(n):
    # Four (two) distinct parameter expressions: fresh wildcards must not be shared.
    values = [relay.const(0.5), relay.const(1), relay.const(0.25), relay.const(3)]
    return values[:n]


@pytest.mark.parametrize(
    "builder, expr, matches",
    [
        ("make_requantize_pattern", relay.qnn.op.requantize(relay.nn.relu(X), *qparams(4)), True),
        ("make_requantize_pattern", relay.qnn.op.requantize(X, *qparams(4)), False),
        ("make_requantize_pattern", relay.nn.relu(X), False),
        ("make_qnn_quantize_pattern", relay.qnn.op.quantize(relay.nn.relu(relay.cast(X, "float32")),
                                                            *qparams(2)), True),
        ("make_qnn_quantize_pattern", relay.qnn.op.quantize(relay.cast(X, "float32"), *qparams(2)), False),
    ],
)
def test_requantize_and_quantize_builders(builder, expr, matches):
    pattern = getattr(patterns, builder)(is_op("nn.relu")(wildcard()))
    assert pattern.match(expr) == matches


@pytest.mark.parametrize("builder, op", [("make_qnn_add_pattern", "qnn.add"), ("make_qnn_mul_pattern", "qnn.mul")])
@pytest.mark.parametrize("given", [wildcard, lambda: is_tuple([])], ids=["wildcard", "falsy-empty-tuple"])
def test_binary_builders_use_given_operands_unchanged(builder, op, given):
    lhs, rhs = given(), given()
    pattern = getattr(patterns, builder)(lhs, rhs)
    alts = alternatives(pattern)
    assert len(alts) == 2
    call = alts[0]
    assert call.op.expr.name == op
    assert len(call.args) == 8
    assert call.args[0].same_as(lhs) and call.args[1].same_as(rhs)
    assert alts[1].op.expr.name == "clip" and alts[1].args[0].same_as(call)
    defaults = alternatives(getattr(patterns, builder)())[0]
    assert isinstance(defaults.args[0], dfp.WildcardPattern)
    assert len({arg.handle.value for arg in defaults.args}) == 8


@pytest.mark.parametrize(
    "name, source",
    [
        ("wildcard", "tvm.relay.dataflow_pattern"),
        ("is_op", "tvm.relay.dataflow_pattern"),
        ("is_tuple", "tvm.relay.dataflow_pattern"),
        ("is_constant", "tvm.relay.dataflow_pattern"),
        ("is_expr", "tvm.relay.dataflow_pattern"),
        ("is_tuple_get_item", "tvm.relay.dataflow_pattern"),
        ("register_pattern_table", "tvm.relay.op.contrib.register"),
        ("Call", "tvm.relay.expr"),
        ("Constant", "tvm.relay.expr"),
        ("const", "tvm.relay.expr"),
        ("Tuple", "tvm.relay.expr"),
        ("Function", "tvm.relay.function"),
        ("get_consumers_mc", "tvm.relay.vexa.relay_traversal"),
        ("find_call_of_type", "tvm.relay.vexa.relay_traversal"),
        ("BuildConfig", "tvm.relay.vexa.build_module"),
        ("Op", "tvm.ir.op"),
        ("archquery_parameter", "vexatvm_internal.archquery"),
        ("arch_supports_operator", "vexatvm_internal.archquery"),
    ],
)
def test_names_bound_at_import(name, source):
    import importlib

    assert getattr(patterns, name) is getattr(importlib.import_module(source), name)


def test_modules_bound_at_import():
    assert patterns.yaml is yaml and patterns.math is math


@pytest.mark.parametrize(
    "function, kwargs",
    [
        ("tuple_multi_input_pattern", {"start": 1, "end": 2, "ptrn_gen": lambda i: wildcard()}),
        ("layout_transform_bias", {"bias_var": wildcard()}),
        ("make_requantize_pattern", {"x": wildcard()}),
        ("make_qnn_quantize_pattern", {"x": wildcard()}),
        ("make_qnn_add_pattern", {"lhs": wildcard(), "rhs": wildcard()}),
        ("make_qnn_add_pattern", {"rhs": wildcard()}),
        ("make_qnn_mul_pattern", {"lhs": wildcard()}),
        ("is_captured", {"extract": relay.var("x")}),
        ("check_fp32", {"extract": typed(relay.nn.relu(relay.var("x", shape=(2,))))}),
        ("check_qnn_add", {"extract": qadd_const()}),
        ("check_upsampling_nearest", {"expr": relay.image.resize2d(relay.const(np.ones((1, 2, 2, 2), "uint8")), (4, 4))}),
    ],
)
def test_argument_names(function, kwargs):
    getattr(patterns, function)(**kwargs)
