"""Small Relay networks for the network-fusion tests."""

import tvm
from tvm import relay

SHAPE = (1, 8)
TENSOR = relay.TensorType(SHAPE, "float32")


def tensor(name):
    return relay.var(name, shape=SHAPE, dtype="float32")


def quantized_function(body=relay.nn.relu, compiler="vexa_qtz"):
    """A global accelerator function of one tensor, fully annotated so that
    type inference can type its calls."""
    qx = tensor("qx")
    func = relay.Function([qx], body(qx), ret_type=TENSOR)
    return func.with_attr("Compiler", compiler) if compiler else func


def module(params, body, functions=None):
    """An IRModule whose main is Function(params, body); `functions` maps names
    to global functions, added first so that body can call them by name."""
    mod = tvm.IRModule()
    for name, func in (functions or {}).items():
        mod[name] = func
    if not isinstance(body, relay.Expr):
        body = body(mod)
    mod["main"] = relay.Function(params, body)
    return mod


def call_global(mod, name, *args):
    return relay.Call(mod.get_global_var(name), list(args))


def add_net(input_name="input", weight_name="w"):
    x, w = tensor(input_name), tensor(weight_name)
    return module([x, w], relay.add(x, w))


def quantize(data, scale=0.05, zero_point=3, axis=-1, out_dtype="int8"):
    return relay.qnn.op.quantize(
        data, relay.const(scale), relay.const(zero_point, "int32"), axis=axis, out_dtype=out_dtype
    )


def dequantize(data, scale=0.05, zero_point=3):
    return relay.qnn.op.dequantize(data, relay.const(scale), relay.const(zero_point, "int32"))


def quantized_net(scale=0.05, zero_point=3, axis=-1, out_dtype="int8", weight_name="w"):
    """input -> quantize -> dequantize -> add w: the input reaches its consumer
    through qnn.quantize."""
    x, w = tensor("input"), tensor(weight_name)
    q = quantize(x, scale, zero_point, axis, out_dtype)
    return module([x, w], relay.add(dequantize(q, scale, zero_point), w))


def chain(length, input_name="input", weight_name="w"):
    """A chain of `length` operators, alternately relu and add of one weight."""
    x, w = tensor(input_name), tensor(weight_name)
    expr = x
    for i in range(length):
        expr = relay.add(expr, w) if i % 2 else relay.nn.relu(expr)
    return module([x, w], expr)


def run(mod, **inputs):
    """Evaluate mod's main on the CPU with named inputs; a list of numpy arrays."""
    mod = relay.transform.InferType()(mod)
    result = relay.create_executor("vm", mod=mod, target="llvm").evaluate()(**inputs)
    if isinstance(result, tvm.runtime.container.ADT):
        return [field.numpy() for field in result]
    return [result.numpy()]


def random_tensor(rng):
    return rng.uniform(-2.0, 2.0, size=SHAPE).astype("float32")


def nodes(expr):
    """Addresses of the distinct nodes reachable from expr."""
    found = []
    relay.analysis.post_order_visit(expr, lambda node: found.append(node.handle.value))
    return found


def var_names(expr):
    return [v.name_hint for v in relay.analysis.all_vars(expr)]


def global_names(mod):
    return sorted(gv.name_hint for gv in mod.get_global_vars())


def calls_to_globals(expr):
    """Names of the global functions called in expr, in post order."""
    names = []

    def visit(node):
        if isinstance(node, relay.Call) and isinstance(node.op, relay.GlobalVar):
            names.append(node.op.name_hint)

    relay.analysis.post_order_visit(expr, visit)
    return names


def global_calls(expr):
    """The calls of global functions in expr, in post order."""
    calls = []

    def visit(node):
        if isinstance(node, relay.Call) and isinstance(node.op, relay.GlobalVar):
            calls.append(node)

    relay.analysis.post_order_visit(expr, visit)
    return calls


def ops_called(expr):
    names = []

    def visit(node):
        if isinstance(node, relay.Call) and isinstance(node.op, tvm.ir.Op):
            names.append(node.op.name)

    relay.analysis.post_order_visit(expr, visit)
    return names

