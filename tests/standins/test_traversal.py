"""Consumer lookup and call search over the graph being partitioned."""

import numpy as np
import pytest
import tvm
from tvm import relay
from tvm.relay.dataflow_pattern import is_op, wildcard

from vexatvm_standins.relay_traversal import current_graph, find_call_of_type, get_consumers_mc


def module(body):
    return tvm.transform.Sequential([relay.transform.InferType()])(
        tvm.IRModule.from_expr(relay.Function(relay.analysis.free_vars(body), body))
    )


def ops(calls):
    return [c.op.name if isinstance(c.op, tvm.ir.Op) else c.op.attrs["Composite"] for c in calls]


def test_consumers_on_small_graphs():
    x = relay.var("x", shape=(1, 8, 8, 4))
    a = relay.nn.relu(x)
    b = relay.add(a, a)  # one consumer, even when it reads a twice
    c = relay.concatenate([a, b], axis=3)
    d = relay.TupleGetItem(relay.Tuple([c, a]), 0)
    e = relay.sigmoid(d)
    mod = module(relay.Tuple([e, c]))
    body = mod["main"].body
    e, c = body.fields
    sig_in = e.args[0]  # the projection
    b = c.args[0].fields[1]
    a = b.args[0]
    with current_graph(mod):
        assert ops(get_consumers_mc(a)) == ["add", "concatenate"]
        assert ops(get_consumers_mc(b)) == ["concatenate"]
        # Tuples and projections are looked through to the calls that read the value.
        assert ops(get_consumers_mc(c)) == ["sigmoid"]
        assert ops(get_consumers_mc(sig_in)) == ["sigmoid"]
        assert get_consumers_mc(e) == []  # only the function's result
        consumers = get_consumers_mc(a)
        assert list(consumers) == list(consumers)  # iterable more than once
        assert consumers[0] == b
    with pytest.raises(RuntimeError, match="graph being partitioned"):
        get_consumers_mc(a)


def test_consumer_that_is_a_captured_region():
    x = relay.var("x", shape=(1, 8, 8, 4))
    cat = relay.concatenate([relay.nn.relu(x), x], axis=3)
    conv = relay.nn.conv2d(cat, relay.const(np.ones((3, 3, 1, 8), "float32")),
                           groups=8, channels=8, kernel_size=(3, 3), data_layout="NHWC", kernel_layout="HWIO")
    out = relay.nn.relu(conv)
    mod = module(out)
    pattern = is_op("nn.relu")(is_op("nn.conv2d")(wildcard(), wildcard()))
    mod = relay.transform.MergeComposite([("test.conv_relu", pattern)])(mod)
    composite_call = mod["main"].body
    cat = composite_call.args[0]
    with current_graph(mod):
        (consumer,) = get_consumers_mc(cat)
    assert consumer.same_as(composite_call)
    assert isinstance(consumer.op, relay.Function)
    (conv_inside,) = find_call_of_type(consumer, "nn.conv2d")
    assert conv_inside.attrs.get_int("groups") == 8
    assert len(find_call_of_type(consumer, "nn.relu")) == 1
    # The arguments of a call are its producers, not part of it.
    assert find_call_of_type(consumer, "concatenate") == []
    assert len(find_call_of_type(cat, "concatenate")) == 1
    assert find_call_of_type(cat, "nn.relu") == []


def test_deep_chain_needs_no_recursion():
    depth = 30000
    x = relay.var("x", shape=(4,))
    y = x
    for _ in range(depth):
        y = relay.negative(y)
    func = relay.Function([x], y)
    mod = tvm.IRModule.from_expr(func)
    first = mod["main"].body
    for _ in range(depth - 1):
        first = first.args[0]
    with current_graph(mod):
        (consumer,) = get_consumers_mc(first)
    assert consumer.args[0].same_as(first)
    big = relay.Call(relay.Function([x], y), [relay.var("z", shape=(4,))])
    assert len(find_call_of_type(big, "negative")) == depth
