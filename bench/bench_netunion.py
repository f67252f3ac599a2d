"""Fusion time against network size.

Two series, each printed as a table:
  1. 2 to 8 networks of 1,000 operators each (branches, a quantized input and
     calls of quantized accelerator functions), with and without a shared input;
  2. two chains of 1,000 to 50,000 operators each, with a shared input.
Times are CPU seconds of fuse_netunion (best of a few runs for the small
cases); "us/node" divides by the nodes of the fused main, which is flat when
fusion is linear. The last two columns, also in us per node, split that up:
"walk" is the renaming walk alone (transform_function of _VarNameSuffixAppender
over every network), the part this module does itself; "TVM" is what TVM's
pass machinery costs for the same passes when they change nothing, chiefly the
InferType it runs after each function pass.

Run: python bench/bench_netunion.py [--quick]
"""

import argparse
import time

import tvm
from tvm import relay

from vexatvm_internal import netunion

SHAPE = (1, 16)


def tensor(name):
    return relay.var(name, shape=SHAPE, dtype="float32")


def quantized_function():
    qx = tensor("qx")
    func = relay.Function([qx], relay.nn.relu(qx), ret_type=relay.TensorType(SHAPE, "float32"))
    return func.with_attr("Compiler", "vexa_qtz")


def network(operators):
    """About `operators` operators: a spine of relu/add-weight with a side
    branch every 10 operators and a quantized function call every 50."""
    mod = tvm.IRModule()
    mod["q0"] = quantized_function()
    q0 = mod.get_global_var("q0")
    x = tensor("input")
    weights = [tensor(f"w{i}") for i in range(8)]
    scale, zero = relay.const(0.05), relay.const(0, "int32")
    expr = relay.qnn.op.dequantize(relay.qnn.op.quantize(x, scale, zero), scale, zero)
    built = 2
    while built < operators:
        if built % 50 == 0:
            expr = relay.Call(q0, [expr])
        elif built % 10 == 0:
            branch = relay.nn.relu(relay.negative(expr))
            expr = relay.add(expr, branch)
            built += 2
        elif built % 2:
            expr = relay.add(expr, weights[built % len(weights)])
        else:
            expr = relay.nn.relu(expr)
        built += 1
    mod["main"] = relay.Function([x, *weights], expr)
    params = {w.name_hint: None for w in weights}
    return mod, params


def chain(operators):
    x, w = tensor("input"), tensor("w")
    expr = x
    for i in range(operators):
        expr = relay.add(expr, w) if i % 2 else relay.nn.relu(expr)
    return tvm.IRModule.from_expr(relay.Function([x, w], expr)), {"w": None}


def node_count(expr):
    """Distinct nodes below expr (TVM's post_order_visit recurses and
    overflows the C stack on the longest chains)."""
    seen, stack = set(), [expr]
    while stack:
        node = stack.pop()
        key = node.handle.value
        if key in seen:
            continue
        seen.add(key)
        if isinstance(node, relay.Call):
            stack.append(node.op)
            stack.extend(node.args)
        elif isinstance(node, relay.Tuple):
            stack.extend(node.fields)
        elif isinstance(node, relay.TupleGetItem):
            stack.append(node.tuple_value)
    return len(seen)


@relay.transform.function_pass(opt_level=1)
def _identity(func, mod, ctx):
    return func


def cpu_seconds(run, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.process_time()
        run()
        best = min(best, time.process_time() - start)
    return best


def measure(networks, share_input, repeat):
    """(nodes, fuse seconds, walk seconds, TVM floor seconds) for one fusion."""
    mods = [m for m, _ in networks]
    params = [p for _, p in networks]
    fused = {}

    def fuse():
        fused["mod"], _ = netunion.fuse_netunion(mods, params, share_input=share_input)

    def walk():
        for k, mod in enumerate(mods, start=1):
            netunion._VarNameSuffixAppender(k).transform_function(mod["main"], mod, None)

    def floor():
        # What TVM's pass machinery costs with passes that change nothing:
        # one per network, one on the fused module when inputs are merged.
        for mod in mods + ([fused["mod"]] if share_input else []):
            _identity(mod)

    seconds = cpu_seconds(fuse, repeat)
    walk_seconds = cpu_seconds(walk, repeat)
    floor_seconds = cpu_seconds(floor, repeat)
    return node_count(fused["mod"]["main"].body), seconds, walk_seconds, floor_seconds


def row(label, nodes, seconds, walk_seconds, floor_seconds):
    per_node = lambda t: t / nodes * 1e6  # noqa: E731
    print(
        f"{label:>18} {nodes:>8} {seconds:>8.3f} {per_node(seconds):>8.1f}"
        f" {per_node(walk_seconds):>8.1f} {per_node(floor_seconds):>8.1f}"
    )


def header(title):
    print()
    print(title)
    print(f"{'case':>18} {'nodes':>8} {'fuse s':>8} {'us/node':>8} {'walk':>8} {'TVM':>8}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller sizes, one run each")
    args = parser.parse_args()
    repeat = 1 if args.quick else 3
    size = 300 if args.quick else 1_000
    lengths = [1_000, 5_000] if args.quick else [1_000, 5_000, 10_000, 20_000, 50_000]

    measure([network(50), network(50)], True, 1)  # warm-up: TVM's first pass run pays one-off costs
    print(f"TVM {tvm.__version__}; CPU time of one fuse_netunion call")
    header(f"networks of {size} operators")
    for share_input in (False, True):
        for count in range(2, 9):
            networks = [network(size) for _ in range(count)]
            label = f"{count} nets{' shared' if share_input else ''}"
            row(label, *measure(networks, share_input, repeat))

    header("two chains, shared input")
    for length in lengths:
        networks = [chain(length), chain(length)]
        row(f"2 x {length}", *measure(networks, True, 1 if length > 10_000 else repeat))


if __name__ == "__main__":
    main()
