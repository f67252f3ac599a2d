"""TVM's ONNX import with load_model's speed-ups, checked against the
frontend as it stands: every real network the tests import goes through it."""

import numpy as np
import tvm
from tvm import relay

from vexatvm_internal.flow.reader import frontend_folds


def exact_onnx_import(model, shape=None, freeze_params=False):
    """relay.frontend.from_onnx(model, shape, freeze_params=...), imported with
    the speed-ups (which must not raise) and asserted equal to the plain import."""
    with frontend_folds():
        mod, params = relay.frontend.from_onnx(model, shape, freeze_params=freeze_params)
    want, want_params = relay.frontend.from_onnx(model, shape, freeze_params=freeze_params)
    assert tvm.ir.structural_equal(mod, want), "the fast import differs from TVM's"
    assert params.keys() == want_params.keys()
    for name, value in params.items():
        np.testing.assert_array_equal(value.numpy(), want_params[name].numpy())
    return mod, params
