"""Running Relay modules on the CPU, for tests that compare a partitioned
module's outputs with the original's."""

import tvm
from tvm import relay
from tvm.contrib import graph_executor


class InlineComposites(relay.ExprMutator):
    """Replaces each call of a composite function, or of an accelerator region
    of ``mod``, by the function's body, so the host runs what the
    accelerator would."""

    def __init__(self, mod):
        super().__init__()
        self.mod = mod

    def visit_call(self, call):
        op = call.op
        if isinstance(op, relay.GlobalVar) and "Compiler" in (self.mod[op].attrs or {}):
            op = self.mod[op]
        elif not (isinstance(op, relay.Function) and op.attrs and "Composite" in op.attrs):
            return super().visit_call(call)
        args = [self.visit(arg) for arg in call.args]
        return relay.bind(self.visit(op.body), dict(zip(op.params, args)))


def inline_composites(mod):
    return tvm.IRModule.from_expr(InlineComposites(mod).visit(mod["main"]))


def run(mod, inputs):
    """All outputs of mod's main for the named inputs, built with relay.build
    for the CPU and run with graph_executor."""
    mod = relay.qnn.transform.CanonicalizeOps()(relay.transform.InferType()(mod))  # lowers qnn ops
    # Vectorized int8 kernels (a grouped quantized conv, say) trip the LLVM
    # verifier of the LLVM these TVM wheels carry, on debug info TVM emits for
    # vector variables; the scalar kernels compute the same.
    with tvm.transform.PassContext(opt_level=3, config={"tir.disable_vectorize": True}):
        lib = relay.build(mod, target="llvm")
    module = graph_executor.GraphModule(lib["default"](tvm.cpu()))
    module.set_input(**inputs)
    module.run()
    return [module.get_output(i).numpy() for i in range(module.get_num_outputs())]
