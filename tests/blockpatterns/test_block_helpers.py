"""The module's private quantized-operator helpers: what they match, and that
every call builds fresh pattern nodes."""

import pytest
import tvm
from tvm import relay
from tvm.relay.dataflow_pattern import is_constant, wildcard

from vexatvm_internal import blockpatterns
from pattern_nodes import pattern_nodes

qnn = relay.qnn.op


def helper(name):
    # getattr: a dotted double-underscore name would be mangled inside a class
    return getattr(blockpatterns, name)


def f32(v):
    return relay.const(float(v), "float32")


def i32(v):
    return relay.const(int(v), "int32")


def tensor(name, shape=(1, 4, 4, 8), dtype="int8"):
    return relay.var(name, shape=shape, dtype=dtype)


def typed(expr):
    mod = relay.transform.InferType()(tvm.IRModule.from_expr(expr))
    return mod["main"].body


def _qparams():
    return [f32(0.05), i32(-3), f32(0.02), i32(1), f32(0.1), i32(0)]


# helper name, pattern maker (x -> pattern), expression maker (x, params -> expr), number of constant slots
HELPERS = {
    "__qnn_mul": (lambda x: helper("__qnn_mul")(x, is_constant()),
                  lambda x, p: qnn.mul(x, relay.const(3, "int8"), *p), 6),
    "__qnn_sub": (lambda x: helper("__qnn_sub")(x), lambda x, p: qnn.subtract(x, relay.const(3, "int8"), *p), 6),
    "__qnn_add": (lambda x: helper("__qnn_add")(x), lambda x, p: qnn.add(x, relay.const(3, "int8"), *p), 6),
    "__qnn_req": (lambda x: helper("__qnn_req")(x),
                  lambda x, p: qnn.requantize(x, p[0], p[1], p[2], p[3], out_dtype="int8"), 4),
    "__qnn_cat": (lambda x: helper("__qnn_cat")(x),
                  lambda x, p: qnn.concatenate(relay.Tuple([x, x]), [f32(0.1), f32(0.2)], [i32(0), i32(1)], p[0], p[1],
                                               axis=3), 2),
}


@pytest.mark.parametrize("name", HELPERS)
def test_helper_matches_its_operator_with_constant_parameters(name):
    make, build, _ = HELPERS[name]
    x = relay.reshape(tensor("x"), (1, 4, 4, 8))
    assert make(wildcard()).match(typed(build(x, _qparams())))


SLOT_CASES = [(name, slot) for name, (_, _, n) in HELPERS.items() for slot in range(n)]


@pytest.mark.parametrize("name, slot", SLOT_CASES, ids=[f"{n}-param{s}" for n, s in SLOT_CASES])
def test_helper_rejects_a_computed_quantization_parameter(name, slot):
    make, build, _ = HELPERS[name]
    params = _qparams()
    # the same value, but computed in the graph
    scalar = relay.var("q", shape=(), dtype=params[slot].data.dtype)
    params[slot] = relay.add(scalar, params[slot])
    expr = typed(build(tensor("x"), params))
    assert not make(wildcard()).match(expr)


@pytest.mark.parametrize("name, op", [("__qnn_add", qnn.add), ("__qnn_sub", qnn.subtract), ("__qnn_mul", qnn.mul)])
def test_constant_operand_helpers_reject_two_computed_operands(name, op):
    make, _, _ = HELPERS[name]
    a, b = tensor("a"), tensor("b")
    expr = typed(op(relay.reshape(a, (1, 4, 4, 8)), relay.reshape(b, (1, 4, 4, 8)), *_qparams()))
    assert not make(wildcard()).match(expr)


def _square(lhs, rhs):
    return qnn.mul(lhs, rhs, *_qparams())


SQUARE_CASES = [
    pytest.param(lambda x: _square(x, x), True, id="x-times-x"),
    pytest.param(lambda x: _square(relay.reshape(x, (1, 128)), relay.reshape(x, (1, 128))), False,
                 id="two-equal-reshapes"),
    pytest.param(lambda x: _square(x, tensor("y")), False, id="x-times-y"),
    pytest.param(lambda x: _square(x, relay.const(3, "int8")), False, id="x-times-constant"),
]


@pytest.mark.parametrize("build, matches", SQUARE_CASES)
def test_mul_of_one_pattern_twice_matches_a_square_only(build, matches):
    b = wildcard()
    assert helper("__qnn_mul")(b, b).match(typed(build(tensor("x")))) is matches


@pytest.mark.parametrize("scales", [1, 2, 3, 4, 6])
def test_cat_accepts_any_number_of_inputs(scales):
    parts = [tensor(f"x{i}") for i in range(scales)]
    expr = qnn.concatenate(parts, [f32(0.05 * (i + 1)) for i in range(scales)], [i32(i) for i in range(scales)],
                           f32(0.1), i32(0), axis=3)
    assert helper("__qnn_cat")(wildcard()).match(typed(expr))


# ---- fresh nodes -------------------------------------------------------------------

HELPER_CALLS = {
    "__qnn_mul": lambda x, y: helper("__qnn_mul")(x, y),
    "__qnn_sub": lambda x, y: helper("__qnn_sub")(x),
    "__qnn_add": lambda x, y: helper("__qnn_add")(x),
    "__qnn_req": lambda x, y: helper("__qnn_req")(x),
    "__qnn_cat": lambda x, y: helper("__qnn_cat")(x),
}


@pytest.mark.parametrize("name", HELPER_CALLS)
def test_each_helper_call_builds_new_nodes(name):
    x, y = wildcard(), wildcard()
    first, second = HELPER_CALLS[name](x, y), HELPER_CALLS[name](x, y)
    a, b = pattern_nodes(first, skip=(x, y)), pattern_nodes(second, skip=(x, y))
    assert a and b and not a & b


BUILDERS = [
    "make_yolov5_fp32_post",
    "make_yolov5_fp32_post_v2",
    "make_yolov5_i8_post",
    "make_yolov5_qnn_i8_post",
    "__yolov5_fp32_post_branch",
    "__yolov5_fp32_post_branch_v2",
    "__yolov5_i8_post_branch",
    "__yolov5_qnn_i8_post_branch",
]


@pytest.mark.parametrize("name", BUILDERS)
def test_each_builder_call_builds_new_nodes(name):
    first, second = helper(name)(), helper(name)()
    assert not pattern_nodes(first) & pattern_nodes(second)


def test_cat_does_not_look_inside_the_scale_tuples():
    # input scales and zero points are tuples of any content
    parts = [tensor("x0"), tensor("x1")]
    scale = relay.add(relay.var("s", shape=(), dtype="float32"), f32(0.05))
    expr = qnn.concatenate(parts, [scale, f32(0.1)], [i32(0), i32(0)], f32(0.1), i32(0), axis=3)
    assert helper("__qnn_cat")(wildcard()).match(typed(expr))
