"""A partitioned module computes what the original does: built for the CPU
with relay.build and run with graph_executor, each composite handed to the
host as plain operators."""

import numpy as np
import pytest
from relay_cpu import inline_composites, run
from tvm import relay

from vexatvm_internal.examples import load_example
from vexatvm_internal.flow import driver


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
    got = run(inline_composites(partitioned), inputs)
    for want, have in zip(expected, got):
        np.testing.assert_allclose(have.astype("float64"), want.astype("float64"), rtol=1e-4, atol=1e-4)
