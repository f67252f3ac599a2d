"""load_model: the command's own import of ONNX, Relay text and save_json
modules, input shapes fixed at import, and partitions of graphs with a
symbolic batch axis."""

import json

import numpy as np
import pytest

onnx = pytest.importorskip("onnx")
from onnx import TensorProto, helper, numpy_helper  # noqa: E402
import tvm  # noqa: E402
from tvm import relay  # noqa: E402

import vexatvm_internal  # noqa: E402
from vexatvm_internal.loading import ModelError, dynamic_inputs  # noqa: E402
from test_cli import run  # noqa: E402

RNG = np.random.default_rng(0)


def conv_relu_onnx(path, batch="N"):
    """Conv (bias) -> Relu -> GlobalAveragePool -> Conv (bias) -> Sigmoid, with a symbolic batch axis."""
    init = [numpy_helper.from_array((RNG.standard_normal(shape) * 0.1).astype("float32"), name)
            for name, shape in (("w", (16, 3, 3, 3)), ("b", (16,)), ("w2", (16, 16, 1, 1)), ("b2", (16,)))]
    nodes = [
        helper.make_node("Conv", ["x", "w", "b"], ["c"], pads=[1, 1, 1, 1]),
        helper.make_node("Relu", ["c"], ["r"]),
        helper.make_node("GlobalAveragePool", ["r"], ["g"]),
        helper.make_node("Conv", ["g", "w2", "b2"], ["se"]),
        helper.make_node("Sigmoid", ["se"], ["y"]),
    ]
    graph = helper.make_graph(
        nodes, "conv_relu", [helper.make_tensor_value_info("x", TensorProto.FLOAT, [batch, 3, 8, 8])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, [batch, 16, 1, 1])], init)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    onnx.save(model, str(path))
    return path


@pytest.mark.parametrize("shapes", [None, {"x": (1, 3, 8, 8)}])
def test_onnx_import_equals_the_frontend(tmp_path, shapes):
    path = conv_relu_onnx(tmp_path / "m.onnx")
    mod, params = vexatvm_internal.load_model(str(path), input_shapes=shapes)
    want, want_params = relay.frontend.from_onnx(onnx.load(str(path)), shape=shapes, freeze_params=True)
    assert tvm.ir.structural_equal(mod, want) and set(params) == set(want_params)
    assert dynamic_inputs(mod) == ([] if shapes else ["x"])


def test_save_json_and_relay_text_with_params_beside(tmp_path):
    x = relay.var("x", shape=(relay.Any(), 4))
    w = relay.var("w", shape=(4, 4))
    mod = tvm.IRModule.from_expr(relay.Function([x, w], relay.nn.relu(relay.nn.dense(x, w))))
    weights = {"w": tvm.nd.array(RNG.standard_normal((4, 4)).astype("float32"))}
    for name, text in (("m.json", tvm.ir.save_json(mod)), ("m.relay", mod.astext())):
        (tmp_path / name).write_text(text)
        (tmp_path / "m.params").write_bytes(tvm.runtime.save_param_dict(weights))
        loaded, params = vexatvm_internal.load_model(str(tmp_path / name))
        assert tvm.ir.structural_equal(relay.transform.InferType()(loaded)["main"].body,
                                       relay.transform.InferType()(mod)["main"].body, map_free_vars=True)
        np.testing.assert_array_equal(params["w"].numpy(), weights["w"].numpy())
        assert dynamic_inputs(loaded, params) == ["x"]
        fixed, _ = vexatvm_internal.load_model(str(tmp_path / name), input_shapes={"x": [2, 4]})
        assert fixed["main"].checked_type.ret_type.shape[0] == 2 and dynamic_inputs(fixed) == []
        with pytest.raises(ModelError, match="no input named 'y'"):
            vexatvm_internal.load_model(str(tmp_path / name), input_shapes={"y": [2, 4]})
        (tmp_path / "m.params").unlink()
    with pytest.raises(FileNotFoundError):
        vexatvm_internal.load_model(str(tmp_path / "missing.onnx"))


def test_command_on_a_symbolic_batch_axis(tmp_path):
    # The checks cannot prove anything about a symbolic extent: those matches
    # are refused, the partition goes on, and the report names the input.
    path = str(conv_relu_onnx(tmp_path / "m.onnx"))
    code, out, err = run("partition", path, "--arch", "vexa-pro", "--json", "--quiet")
    assert code == 0, err
    dynamic = json.loads(out)
    assert dynamic["dynamic_inputs"] == ["x"]
    assert dynamic["tables"] == ["vexa_blocks", "vexa_fp32"] and dynamic["tables_picked_for"] == "float graph"
    code, out, err = run("partition", path, "--arch", "vexa-pro", "--json", "--quiet", "--input-shape", "x=1,3,8,8")
    fixed = json.loads(out)
    assert code == 0 and fixed["dynamic_inputs"] == []
    assert {"vexa_fp32.conv2d", "vexa_fp32.bias_add", "vexa_fp32.relu", "vexa_fp32.sigmoid"} <= set(fixed["composites"])
    # The squeeze-excitation convolution's bias has the data's full shape.
    assert fixed["composites"]["vexa_fp32.bias_add"] == 2
    assert fixed["offloaded_share"] >= dynamic["offloaded_share"]
