"""Real-size graphs through the driver: a chain of 50,000 operators and a
concatenation of 1,000 inputs partition without recursion limits."""

import tvm
from tvm import relay

import vexatvm_internal
from vexatvm_internal.report.summary import RefusalLog, explain, summarize
from vexatvm_internal.flow import driver


def test_chain_of_50000_operators():
    x = relay.var("x", shape=(1, 4))
    y = x
    for i in range(50000):
        y = relay.nn.relu(y) if i % 2 else relay.sigmoid(y)
    mod = tvm.IRModule.from_expr(relay.Function([x], y))
    # The block table matches nothing here; its checks and the consumer index
    # must still cope with the depth, and so must the summary and --explain,
    # which numbers every call first.
    log = RefusalLog()
    out = driver.partition(mod, tables=("vexa_blocks",), arch="vexa-pro", wrap_check=log.wrap,
                           after_prepare=log.annotate)
    report = summarize(out)
    assert report["host_operators"] == {"sigmoid": 25000, "nn.relu": 25000}
    lines = [item["line"] for item in explain(out, log)]
    assert sorted(lines) == list(range(1, 50001))


def test_concatenation_of_1000_inputs():
    x = relay.var("x", shape=(1, 4))
    parts = [relay.sigmoid(relay.add(x, relay.const(float(i)))) for i in range(1000)]
    mod = tvm.IRModule.from_expr(relay.Function([x], relay.nn.relu(relay.concatenate(parts, axis=1))))
    report = summarize(vexatvm_internal.partition_for_vexa(mod, tables=("vexa_fp32",), arch="vexa-pro"))
    # Concatenation patterns take 2 to 7 inputs: this one stays on the host.
    assert report["composites"] == {"vexa_fp32.sigmoid": 1000}
    assert report["host_operators"]["concatenate"] == 1

    q = relay.var("q", shape=(1, 4), dtype="uint8")
    scale, zero = relay.const(0.1), relay.const(0)
    inputs = [relay.qnn.requantize(q, scale, zero, scale, relay.const(i % 7), out_dtype="uint8") for i in range(1000)]
    cat = relay.qnn.concatenate(relay.Tuple(inputs), relay.Tuple([scale] * 1000), relay.Tuple([zero] * 1000), scale, zero, axis=1)
    report = summarize(vexatvm_internal.partition_for_vexa(tvm.IRModule.from_expr(relay.Function([q], cat)), arch="vexa-pro"))
    assert report["host_operators"]["qnn.concatenate"] == 1
