"""What a partition computes, against what the original computes, on the CPU.

Both modules are built for the host with TVM, the partition with its regions
and composites inlined (what the accelerator runs, run by the host), and run
on the same seeded random inputs, quantized adds in both computed as
defined (see quantized_adds_as_defined).
"""

import numpy as np

import tvm
from tvm import relay
from tvm.contrib import graph_executor
from tvm.relay.build_module import bind_params_by_name

__all__ = ["verify", "inline_accelerator", "run_on_cpu", "random_inputs", "quantized_adds_as_defined"]

# A float output passes within this share of its largest magnitude; a
# quantized one within one quantization step (requantization rounding).
FLOAT_TOLERANCE = 1e-4
STEP_TOLERANCE = 1


def inline_accelerator(mod):
    """A module whose main is mod's with every accelerator region and
    composite function called in place of its body."""
    from vexatvm_internal.rewrites import _inline_accelerator_calls  # pylint: disable=import-outside-toplevel

    regions = {}
    for gv, func in mod.functions.items():
        if isinstance(func, relay.Function) and func.attrs and "Compiler" in func.attrs:
            regions[gv.name_hint] = relay.Function(func.params, _inline_accelerator_calls(func.body, {}))
    return tvm.IRModule.from_expr(_inline_accelerator_calls(mod["main"], regions))


def quantized_adds_as_defined(mod):
    """mod with each qnn.add computed as its definition,
    quantize(dequantize(a) + dequantize(b)): one rounding, as int8 kernels
    (ONNX Runtime's QLinearAdd, TFLite's ADD) round. TVM's CPU lowering of
    qnn.add requantizes each input to the output scale first and rounds
    twice, a step apart now and then; after a dozen residual adds that is
    no measure of what a rewrite changed."""
    from tvm.relay import dataflow_pattern as dfp  # pylint: disable=import-outside-toplevel

    class AsDefined(dfp.DFPatternCallback):
        def __init__(self):
            super().__init__(require_type=True)
            self.pattern = dfp.is_op("qnn.add")(*[dfp.wildcard() for _ in range(8)])

        def callback(self, pre, post, node_map):
            a, b, a_scale, a_zero, b_scale, b_zero, scale, zero = post.args
            total = relay.add(relay.qnn.op.dequantize(a, a_scale, a_zero, axis=int(post.attrs.lhs_axis)),
                              relay.qnn.op.dequantize(b, b_scale, b_zero, axis=int(post.attrs.rhs_axis)))
            return relay.qnn.op.quantize(total, scale, zero, out_dtype=pre.checked_type.dtype)

    out = mod.clone()
    out["main"] = dfp.rewrite(AsDefined(), relay.transform.InferType()(mod)["main"])
    return out


def run_on_cpu(mod, inputs):
    """All outputs of mod's main for the named inputs, built with relay.build
    for the CPU and run with graph_executor."""
    return _run(_build_for_cpu(mod), inputs)


def _build_for_cpu(mod):
    mod = relay.qnn.transform.CanonicalizeOps()(relay.transform.InferType()(mod))  # lowers qnn ops
    # Vectorized int8 kernels (a grouped quantized conv, say) trip the LLVM
    # verifier of the LLVM these TVM wheels carry, on debug info TVM emits for
    # vector variables; the scalar kernels compute the same.
    with tvm.transform.PassContext(opt_level=3, config={"tir.disable_vectorize": True}):
        return relay.build(mod, target="llvm")


def _run(lib, inputs):
    module = graph_executor.GraphModule(lib["default"](tvm.cpu()))
    module.set_input(**inputs)
    module.run()
    return [module.get_output(i).numpy() for i in range(module.get_num_outputs())]


def random_inputs(mod, params=None, seed=0):
    """{name: array} for main's inputs (params excluded), seeded: integers of
    8 bits over their whole range, wider integers (token ids, indices) in
    [0, 100), floats from a standard normal. Raises ValueError for an input
    whose shape is not fixed."""
    rng = np.random.default_rng(seed)
    inputs = {}
    for param in mod["main"].params:
        if param.name_hint in (params or {}):
            continue
        ty = param.checked_type if param.type_annotation is None else param.type_annotation
        shape = [int(dim) for dim in ty.shape if isinstance(dim, tvm.tir.IntImm)]
        if len(shape) != len(ty.shape):
            raise ValueError(f"input {param.name_hint} has no fixed shape; fix it with --input-shape")
        dtype = np.dtype(ty.dtype)
        if dtype.kind in "iu":
            info = np.iinfo(dtype)
            low, high = (info.min, info.max + 1) if dtype.itemsize == 1 else (0, 100)
            inputs[param.name_hint] = rng.integers(low, high, shape).astype(dtype)
        elif dtype.kind == "b":
            inputs[param.name_hint] = rng.integers(0, 2, shape).astype(dtype)
        else:
            inputs[param.name_hint] = rng.standard_normal(shape).astype(dtype)
    return inputs


def _output_exprs(mod):
    body = mod["main"].body
    return list(body.fields) if isinstance(body, relay.Tuple) else [body]


def _step(expr):
    """The quantization step of a float output computed by a dequantize with a scalar scale, else None."""
    if not (isinstance(expr, relay.Call) and isinstance(expr.op, tvm.ir.Op) and expr.op.name == "qnn.dequantize"):
        return None
    scale = expr.args[1]
    if not isinstance(scale, relay.Constant) or scale.data.numpy().size != 1:
        return None
    return float(scale.data.numpy().reshape(()))


def verify(original, partitioned, params=None, seed=0, on_stage=None):
    """Per output of ``original`` (with ``params``) and ``partitioned`` on
    the same random inputs: ``shape``, ``dtype``, ``max_abs`` (largest
    absolute difference), ``max_rel`` (that, over the output's largest
    magnitude), ``steps`` (the difference in quantization steps, for an
    integer output or a dequantized one; else None) and ``ok``.
    ``on_stage(text)``, if given, is called as each stage starts, from
    Python between TVM's calls (so it may raise to stop the run)."""
    stage = on_stage or (lambda text: None)
    original = relay.transform.InferType()(original)
    inputs = random_inputs(original, params, seed)
    bound = original
    if params:
        bound = original.clone()
        bound["main"] = bind_params_by_name(original["main"], params)
    stage("building the original for the CPU")
    want_lib = _build_for_cpu(quantized_adds_as_defined(bound))
    stage("building the partition for the CPU")
    got_lib = _build_for_cpu(quantized_adds_as_defined(inline_accelerator(partitioned)))
    stage("running both")
    want = _run(want_lib, inputs)
    got = _run(got_lib, inputs)
    stage("comparing")
    if len(got) != len(want):
        raise ValueError(f"the partition has {len(got)} outputs, the original {len(want)}")
    outputs = _output_exprs(original)
    report = []
    for index, (g, w) in enumerate(zip(got, want)):
        if g.shape != w.shape or g.dtype != w.dtype:
            raise ValueError(f"output {index}: the partition gives {g.dtype}{list(g.shape)}, "
                             f"the original {w.dtype}{list(w.shape)}")
        difference = np.abs(g.astype(np.float64) - w.astype(np.float64))
        max_abs = float(difference.max()) if difference.size else 0.0
        magnitude = float(np.abs(w.astype(np.float64)).max()) if w.size else 0.0
        step = 1.0 if w.dtype.kind in "iu" else _step(outputs[index]) if index < len(outputs) else None
        steps = max_abs / step if step else None
        # A dequantized output's steps are a float quotient: 1.000004 is one step.
        ok = steps <= STEP_TOLERANCE + 1e-3 if steps is not None else max_abs <= FLOAT_TOLERANCE * max(magnitude, 1e-30)
        report.append({"output": index, "shape": list(w.shape), "dtype": str(w.dtype), "max_abs": max_abs,
                       "max_rel": max_abs / magnitude if magnitude else 0.0, "steps": steps, "ok": bool(ok)})
    return report
