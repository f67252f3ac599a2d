"""A fused module of int8 networks still partitions with the "vexa" table."""

import numpy as np
import pytest
from tvm import relay

from vexatvm_internal import netunion
from netunion_nets import module, run

patterns = pytest.importorskip("vexatvm_internal.patterns")


def f32(value):
    return relay.const(float(value), "float32")


def i32(value):
    return relay.const(int(value), "int32")


def qconv(x, cin, cout, seed):
    """A quantized convolution as PyTorch's importer writes it: quantized
    weights, qnn.conv2d, quantized bias, requantize, clip, cast to uint8."""
    rng = np.random.default_rng(seed)
    w = relay.const(rng.standard_normal((cout, cin, 3, 3)).astype("float32"))
    b = relay.const(rng.standard_normal((cout,)).astype("float32"))
    weight = relay.qnn.op.quantize(w, f32(0.02), i32(0), out_dtype="int8", axis=0)
    y = relay.qnn.op.conv2d(x, weight, i32(0), i32(0), f32(0.05), f32(0.02), kernel_size=(3, 3),
                            channels=cout, padding=(1, 1), out_dtype="int32")
    bias = relay.qnn.op.quantize(b, f32(0.001), i32(0), out_dtype="int32", axis=0)
    y = relay.nn.bias_add(y, bias)
    y = relay.qnn.op.requantize(y, f32(0.001), i32(0), f32(0.05), i32(0), axis=1, out_dtype="int32")
    return relay.cast(relay.clip(y, 0.0, 255.0), "uint8")


def int8_net(seed):
    x = relay.var("input", shape=(1, 8, 8, 8), dtype="uint8")
    return module([x], qconv(qconv(x, 8, 16, seed), 16, 16, seed + 1))


def composites_and_inputs(expr):
    """Composite names of the functions expr calls, and the names of its free variables."""
    names = []

    def visit(node):
        if isinstance(node, relay.Call) and isinstance(node.op, relay.Function):
            if node.op.attrs and "Composite" in node.op.attrs:
                names.append(str(node.op.attrs["Composite"]))

    relay.analysis.post_order_visit(expr, visit)
    return sorted(names), sorted(v.name_hint for v in relay.analysis.free_vars(expr))


@pytest.mark.parametrize("share_input", [False, True])
def test_each_network_keeps_its_composites(share_input):
    from vexatvm_internal import partition_for_vexa

    fused_mod, fused_params = netunion.fuse_netunion([int8_net(0), int8_net(10)], [{}, {}], share_input)
    partitioned = partition_for_vexa(fused_mod, fused_params, tables=("vexa",))
    fields = partitioned["main"].body.fields
    assert len(fields) == 2
    for k, field in enumerate(fields, start=1):
        names, inputs = composites_and_inputs(field)
        assert names == ["vexa.qnn_conv", "vexa.qnn_conv"]
        assert inputs == ["input_1" if share_input else f"input_{k}"]


@pytest.mark.parametrize("share_input", [False, True])
def test_networks_partitioned_with_regions_then_fused(tmp_path, share_input):
    # The command's own chain: partition each network into accelerator
    # regions and write it out, then fuse the files.
    import tvm

    from relay_cpu import inline_composites
    from test_cli import run as command

    nets = [int8_net(0), int8_net(10)]
    files = []
    for k, net in enumerate(nets, start=1):
        source, partitioned = tmp_path / f"net{k}.relay", tmp_path / f"net{k}_regions.relay"
        source.write_text(net.astext())
        code, _, err = command("partition", str(source), "--regions", "-o", str(partitioned), "--quiet")
        assert code == 0, err
        files.append(str(partitioned))
    fused_file = tmp_path / "fused.relay"
    code, _, err = command("fuse", *files, "-o", str(fused_file), *(["--share-input"] if share_input else []))
    assert code == 0, err

    fused = relay.transform.InferType()(tvm.relay.fromtext(fused_file.read_text()))
    regions = sorted(gv.name_hint for gv in fused.get_global_vars()
                     if (fused[gv].attrs or {}).get("Compiler") == "vexa_qtz")
    # One region per network here, each carried over once, suffixed with its network.
    assert [name.rsplit("_", 1)[1] for name in regions] == ["1", "2"]
    rng = np.random.default_rng(0)
    data = [rng.integers(0, 255, (1, 8, 8, 8)).astype("uint8") for _ in nets]
    inputs = {"input_1": data[0]} if share_input else {"input_1": data[0], "input_2": data[1]}
    got = run(inline_composites(fused), **inputs)
    for k, net in enumerate(nets):
        want = run(net, input=data[0] if share_input else data[k])
        np.testing.assert_array_equal(got[k], want[0])
