"""The partition driver: preparation, entry-by-entry merging, current graph and architecture."""

import numpy as np
import pytest
import tvm
from tvm import relay
from tvm.relay.dataflow_pattern import is_op, is_tuple, wildcard
from tvm.relay.op.contrib.register import register_pattern_table

import vexatvm_internal
from tvm.relay.build_module import bind_params_by_name
from vexatvm_internal.examples import load_example
from vexatvm_internal.flow import driver
from vexatvm_standins.build_module import BuildConfig
from vexatvm_standins.relay_traversal import get_consumers_mc

SEEN = {}


def _conv_bias_relu():
    # Unfolded, ConvertLayout's bias is an add of a layout_transform.
    return is_op("nn.relu")(is_op("add")(is_op("nn.conv2d")(wildcard(), wildcard()), wildcard()))


def _no_wide_relu(extract):
    return int(extract.checked_type.shape[-1]) <= 16


@register_pattern_table("test_plain")
def _plain_table():
    return [
        ("test.conv_bias_relu", _conv_bias_relu(), _no_wide_relu),
        ("test.add", is_op("add")(wildcard(), wildcard())),
        ("test.relu", is_op("nn.relu")(wildcard())),
    ]


def _concat_not_into_relu(extract):
    consumers = get_consumers_mc(extract)
    SEEN.setdefault("consumers", []).append([c.op.name if isinstance(c.op, tvm.ir.Op) else "fn" for c in consumers])
    SEEN.setdefault("arch", []).append(BuildConfig.current.arch_config["arch"])
    return not any(isinstance(c.op, tvm.ir.Op) and c.op.name == "nn.relu" for c in consumers)


@register_pattern_table("test_consumers")
def _consumer_table():
    return [
        ("test.sigmoid", is_op("sigmoid")(wildcard())),
        ("test.concat", is_op("concatenate")(is_tuple([wildcard(), wildcard()])), _concat_not_into_relu),
    ]


def conv_net():
    x = relay.var("x", shape=(1, 4, 8, 8))
    w = relay.var("w", shape=(8, 4, 3, 3))
    b = relay.var("b", shape=(8,))
    y = relay.nn.relu(relay.nn.bias_add(relay.nn.conv2d(x, w, padding=(1, 1), channels=8, kernel_size=(3, 3)), b))
    w2 = relay.var("w2", shape=(32, 8, 1, 1))
    b2 = relay.var("b2", shape=(32,))
    z = relay.nn.relu(relay.nn.bias_add(relay.nn.conv2d(y, w2, channels=32, kernel_size=(1, 1)), b2))
    out = relay.add(z, relay.const(1.0))
    mod = tvm.IRModule.from_expr(relay.Function([x, w, b, w2, b2], out))
    rng = np.random.default_rng(0)
    params = {
        "w": rng.standard_normal((8, 4, 3, 3)).astype("float32"),
        "b": rng.standard_normal(8).astype("float32"),
        "w2": rng.standard_normal((32, 8, 1, 1)).astype("float32"),
        "b2": rng.standard_normal(32).astype("float32"),
    }
    return mod, params


def composites(mod):
    names = []

    def visit(node):
        if isinstance(node, relay.Function) and node.attrs and "Composite" in node.attrs:
            names.append(str(node.attrs["Composite"]))

    relay.analysis.post_order_visit(mod["main"], visit)
    return sorted(names)


def test_driver_equals_one_merge_composite_over_the_whole_table():
    mod, params = conv_net()
    result = vexatvm_internal.partition_for_vexa(mod, params, tables=("test_plain",), canonicalize=False)
    prepared = driver.prepare(mod, params, ("test_plain",))
    with tvm.transform.PassContext(opt_level=3):
        reference = relay.transform.MergeComposite(driver.resolve_tables("test_plain")[0][1])(prepared)
    assert tvm.ir.structural_equal(result, reference, map_free_vars=True)
    # The first convolution (8 channels) passes the check; the wide one (32) does not.
    assert composites(result) == ["test.add", "test.add", "test.conv_bias_relu", "test.relu"]


def test_preparation():
    mod, params = conv_net()
    before = mod["main"]
    prepared = driver.prepare(mod, params, ("vexa",))
    assert mod["main"].same_as(before), "the caller's module is left unchanged"
    text = prepared.astext()
    assert 'data_layout="NHWC"' in text and "layout_transform" in text
    assert [p.name_hint for p in prepared["main"].params] == ["x"]  # params bound as constants
    # Constants are folded for the float tables only.
    folded = driver.prepare(mod, params, ("vexa", "vexa_fp32"))
    assert text.count("layout_transform") > folded.astext().count("layout_transform")
    assert prepared["main"].checked_type == folded["main"].checked_type


def pinned_preparation(mod, params, tables):
    mod = mod.clone()
    mod["main"] = bind_params_by_name(mod["main"], params) if params else mod["main"]
    passes = [relay.transform.InferType(), relay.transform.ConvertLayout(driver.DESIRED_LAYOUTS)]
    if any(name in driver.FLOAT_TABLES for name in tables):
        passes.append(relay.transform.FoldConstant())
    with tvm.transform.PassContext(opt_level=3):
        return tvm.transform.Sequential(passes + [relay.transform.InferType()])(mod)


def wide_dtype_moves():
    """int64 indices and a float64 table behind data movement: folded, they keep their dtypes."""
    x = relay.var("x", shape=(4, 6))
    indices = relay.reshape(relay.const(np.arange(6, dtype="int64").reshape(2, 3)), (6,))
    table = relay.transpose(relay.const(np.ones((6, 4), "float64")))
    body = relay.take(x, indices, axis=1) + relay.cast(table, "float32")
    return tvm.IRModule.from_expr(relay.Function([x], body)), {}


def shared_weights():
    """Three convolutions: two read one weight constant, the third another constant of the same array."""
    x = relay.var("x", shape=(1, 4, 8, 8))
    array = tvm.nd.array(np.random.default_rng(0).standard_normal((4, 4, 3, 3)).astype("float32"))
    weight, twin = relay.Constant(array), relay.Constant(array)
    single = relay.const(np.random.default_rng(1).standard_normal((4, 4, 1, 1)).astype("float32"))
    conv = lambda data, w: relay.nn.conv2d(data, w, padding=(1, 1) if w is not single else (0, 0), channels=4,  # noqa: E731
                                           kernel_size=(3, 3) if w is not single else (1, 1))
    y = conv(conv(conv(conv(x, weight), weight), twin), single)
    return tvm.IRModule.from_expr(relay.Function([x], y)), {}


@pytest.mark.parametrize("example", ["int8-cnn", "fp32-cnn-transformer", "yolo-detector", "conv_net",
                                     "wide_dtype_moves", "shared_weights"])
def test_preparation_equals_the_pinned_passes(example):
    # Data movement on constants is folded without TVM's kernels: the result
    # must be exactly what FoldConstant gives; the same where the module is
    # handed over and weights read once change layout in their own memory.
    if example == "conv_net":
        (mod, params), tables = conv_net(), ("vexa", "vexa_fp32")
    elif example in ("wide_dtype_moves", "shared_weights"):
        (mod, params), tables = globals()[example](), ("vexa_fp32",)
    else:
        mod, params, tables = load_example(example)
    pinned = pinned_preparation(mod, params, tables)
    assert tvm.ir.structural_equal(driver.prepare(mod, params, tables), pinned)
    bound = mod.clone()
    bound["main"] = bind_params_by_name(mod["main"], params) if params else mod["main"]
    given_up = tvm.ir.load_json(tvm.ir.save_json(bound))  # arrays of its own
    assert tvm.ir.structural_equal(driver.prepare(driver.Handover(given_up), None, tables), pinned)


def test_checks_see_the_graph_they_are_matched_in_and_the_architecture():
    SEEN.clear()
    x = relay.var("x", shape=(1, 4))
    s = relay.sigmoid(x)
    into_relu = relay.nn.relu(relay.concatenate([s, x], axis=1))
    into_sigmoid = relay.sigmoid(relay.concatenate([x, x], axis=1))
    mod = tvm.IRModule.from_expr(relay.Function([x], relay.Tuple([into_relu, into_sigmoid])))
    result = vexatvm_internal.partition_for_vexa(mod, tables="test_consumers", arch="vexa-nano")
    # The sigmoid entry ran first: the second concatenation's consumer is a captured region.
    assert sorted(SEEN["consumers"]) == [["fn"], ["nn.relu"]]
    assert SEEN["arch"] == ["vexa-nano", "vexa-nano"]
    assert composites(result) == ["test.concat", "test.sigmoid", "test.sigmoid"]
    assert BuildConfig.current.arch_config["arch"] == "vexa-pro"

    SEEN.clear()
    inline = {"base": "vexa-nano", "channels": 48}
    with BuildConfig(arch_config={"arch": "vexa-base"}):
        vexatvm_internal.partition_for_vexa(mod, tables=["test_consumers"])
        vexatvm_internal.partition_for_vexa(mod, tables=["test_consumers"], arch=inline)
    assert SEEN["arch"] == ["vexa-base", "vexa-base", inline, inline]


@pytest.mark.parametrize("tables, arch, message", [
    (("test_plain", "no_such_table"), None, r"unknown pattern table 'no_such_table' \(tables: vexa, vexa_blocks, vexa_fp32, "),
    (("test_plain",), "vexa-nanoo", r"unknown architecture 'vexa-nanoo' \(built-in: vexa-nano, vexa-base, vexa-pro\)"),
    (("test_plain",), {"base": "vexa-nanoo"}, "unknown architecture 'vexa-nanoo'"),
])
def test_unknown_table_or_architecture(tables, arch, message):
    mod, _ = conv_net()
    with pytest.raises(ValueError, match=message):
        vexatvm_internal.partition_for_vexa(mod, tables=tables, arch=arch)


def test_tables_picked_from_the_graph_by_default():
    # As the command picks them: the float tables for a float graph.
    mod, params = conv_net()
    picked = vexatvm_internal.partition_for_vexa(mod, params, arch="vexa-pro")
    explicit = vexatvm_internal.partition_for_vexa(mod, params, tables=("vexa_blocks", "vexa_fp32"), arch="vexa-pro")
    assert tvm.ir.structural_equal(picked, explicit) and any(name.startswith("vexa_fp32.") for name in composites(picked))


def test_modules_with_several_functions_take_the_pass_path():
    # A second rewritable function: entries run as MergeComposite passes; the
    # result still equals one MergeComposite over the whole table.
    mod, params = conv_net()
    x = relay.var("y", shape=(1, 4))
    mod["helper"] = relay.Function([x], relay.nn.relu(relay.add(x, x)))
    result = vexatvm_internal.partition_for_vexa(mod, params, tables=("test_plain",), canonicalize=False)
    prepared = driver.prepare(mod, params, ("test_plain",))
    reference = relay.transform.MergeComposite(driver.resolve_tables("test_plain")[0][1])(prepared)
    assert tvm.ir.structural_equal(result, reference, map_free_vars=True)
    helper = []
    relay.analysis.post_order_visit(
        result["helper"], lambda n: helper.append(str(n.attrs["Composite"]))
        if isinstance(n, relay.Function) and n.attrs and "Composite" in n.attrs else None)
    assert sorted(helper) == ["test.add", "test.relu"]
