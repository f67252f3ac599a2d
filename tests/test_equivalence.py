"""A partitioned module computes what the original does: built for the CPU
with relay.build and run with graph_executor, each composite handed to the
host as plain operators."""

import numpy as np
import pytest
import tvm
from tvm import relay
from tvm.contrib import graph_executor

from vexatvm_internal.examples import load_example
from vexatvm_standins import driver


class _InlineComposites(relay.ExprMutator):
    """Replaces each call of a composite function by the function's body."""

    def visit_call(self, call):
        op = call.op
        if isinstance(op, relay.Function) and op.attrs and "Composite" in op.attrs:
            args = [self.visit(arg) for arg in call.args]
            return relay.bind(self.visit(op.body), dict(zip(op.params, args)))
        return super().visit_call(call)


def run(mod, inputs):
    mod = relay.qnn.transform.CanonicalizeOps()(relay.transform.InferType()(mod))
    with tvm.transform.PassContext(opt_level=3):
        lib = relay.build(mod, target="llvm")
    module = graph_executor.GraphModule(lib["default"](tvm.cpu()))
    module.set_input(**inputs)
    module.run()
    return [module.get_output(i).numpy() for i in range(module.get_num_outputs())]


def random_inputs(func, seed=0):
    rng = np.random.default_rng(seed)
    inputs = {}
    for param in func.params:
        shape = [int(d) for d in param.type_annotation.shape]
        dtype = param.type_annotation.dtype
        data = rng.integers(0, 255, shape) if "int" in dtype else rng.standard_normal(shape)
        inputs[param.name_hint] = data.astype(dtype)
    return inputs


@pytest.mark.parametrize("example", ["int8-cnn", "fp32-cnn-transformer", "yolo-detector"])
@pytest.mark.parametrize("canonicalize", [False, True])
def test_partitioned_examples_compute_the_same(example, canonicalize):
    mod, params, tables = load_example(example)
    inputs = random_inputs(mod["main"])
    expected = run(mod, inputs)
    partitioned = driver.partition(mod, params, tables, "vexa-pro", canonicalize=canonicalize)
    assert relay.transform.InferType()(partitioned)  # still type-checks
    got = run(tvm.IRModule.from_expr(_InlineComposites().visit(partitioned["main"])), inputs)
    for want, have in zip(expected, got):
        np.testing.assert_allclose(have.astype("float64"), want.astype("float64"), rtol=1e-4, atol=1e-4)
