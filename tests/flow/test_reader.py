"""load_model: the command's own import of ONNX, TFLite, Relay text and
save_json modules, input shapes fixed at import, and partitions of graphs with a
symbolic batch axis."""

import json

import numpy as np
import pytest

onnx = pytest.importorskip("onnx")
from onnx import TensorProto, helper, numpy_helper  # noqa: E402
import tvm  # noqa: E402
from tvm import relay  # noqa: E402

import vexatvm_internal  # noqa: E402
from vexatvm_internal.flow.reader import ModelError, dynamic_inputs  # noqa: E402
from relay_cpu import run as run_on_cpu  # noqa: E402
from test_cli import MODELS, run  # noqa: E402

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


def shared_weight_onnx(path, external=False):
    """Two Gemms (transB=0: TVM transposes the weight) sharing a weight, then an Add; with
    external, the weights saved beside the model in one file, as exporters do past 2 GB."""
    init = [numpy_helper.from_array(RNG.standard_normal(shape).astype("float32"), name)
            for name, shape in (("w", (4, 4)), ("b", (4,)))]
    nodes = [
        helper.make_node("Gemm", ["x", "w"], ["g1"]),
        helper.make_node("Relu", ["g1"], ["r"]),
        helper.make_node("Gemm", ["r", "w", "b"], ["g2"]),
        helper.make_node("Add", ["g2", "b"], ["y"]),
    ]
    graph = helper.make_graph(nodes, "shared", [helper.make_tensor_value_info("x", TensorProto.FLOAT, [2, 4])],
                              [helper.make_tensor_value_info("y", TensorProto.FLOAT, [2, 4])], init)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    onnx.save(model, str(path), save_as_external_data=external, location="weights.bin", size_threshold=0)
    return path


def _const(name, value, dtype="int64"):
    return helper.make_node("Constant", [], [name], value=numpy_helper.from_array(np.array(value, dtype), name))


def shape_arithmetic_onnx(path, batch="N"):
    """What exporters write around a view: shapes read, sliced, multiplied,
    compared, selected and cast to float; an Identity on a weight; 3-D by 2-D and batched
    MatMuls; ConstantOfShape and Expand; an int64 product that overflows;
    and an If on a constant condition."""
    init = [numpy_helper.from_array((RNG.standard_normal((20, 8)) * 0.1).astype("float32"), "w")]
    nodes = [
        _const("zero", 0), _const("axis0", [0]), _const("starts", [2]), _const("ends", [4]), _const("ones", [1, 1]),
        _const("three", [3]), _const("minus", [-1, -1, -1, -1]), _const("tail", [3, 20]),
        _const("big", [2 ** 62]), _const("four", [4]), _const("fill_shape", [3]), _const("to", [1, 3, 3]),
        _const("cond", True, "bool"), _const("one", [1.0], "float32"),
        helper.make_node("ConstantOfShape", ["fill_shape"], ["fill"],
                         value=numpy_helper.from_array(np.array([1.0], "float32"))),
        helper.make_node("Identity", ["w"], ["w_id"]),
        helper.make_node("Shape", ["x"], ["s"]),
        helper.make_node("Gather", ["s", "zero"], ["n"], axis=0),
        helper.make_node("Unsqueeze", ["n", "axis0"], ["n1"]),
        helper.make_node("Slice", ["s", "starts", "ends"], ["hw"]),
        helper.make_node("Mul", ["hw", "ones"], ["hw2"]),
        helper.make_node("Concat", ["n1", "three", "hw2"], ["c"], axis=0),
        helper.make_node("Equal", ["c", "minus"], ["eq"]),
        helper.make_node("Where", ["eq", "s", "c"], ["c2"]),
        helper.make_node("Reshape", ["x", "c2"], ["same"]),
        helper.make_node("Concat", ["n1", "tail"], ["flat_shape"], axis=0),
        helper.make_node("Reshape", ["same", "flat_shape"], ["flat"]),
        helper.make_node("MatMul", ["flat", "w_id"], ["mm"]),
        helper.make_node("Transpose", ["mm"], ["mm_t"], perm=[0, 2, 1]),
        helper.make_node("MatMul", ["mm", "mm_t"], ["bm"]),
        helper.make_node("Expand", ["fill", "to"], ["e"]),
        helper.make_node("Add", ["bm", "e"], ["sum"]),
        helper.make_node("Mul", ["big", "four"], ["wrapped"]),
        helper.make_node("Cast", ["s"], ["s_float"], to=TensorProto.FLOAT),
        helper.make_node(
            "If", ["cond"], ["y"],
            then_branch=helper.make_graph([helper.make_node("Add", ["sum", "one"], ["then_out"])], "then", [],
                                          [helper.make_tensor_value_info("then_out", TensorProto.FLOAT, None)]),
            else_branch=helper.make_graph([helper.make_node("Sub", ["sum", "one"], ["else_out"])], "else", [],
                                          [helper.make_tensor_value_info("else_out", TensorProto.FLOAT, None)])),
    ]
    graph = helper.make_graph(
        nodes, "shape_arithmetic", [helper.make_tensor_value_info("x", TensorProto.FLOAT, [batch, 3, 4, 5])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, [batch, 3, 3]),
         helper.make_tensor_value_info("wrapped", TensorProto.INT64, [1]),
         helper.make_tensor_value_info("s_float", TensorProto.FLOAT, [4])], init)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    onnx.save(model, str(path))
    return path


@pytest.mark.parametrize("build, shapes", [
    (conv_relu_onnx, None),
    (conv_relu_onnx, {"x": (1, 3, 8, 8)}),
    (shape_arithmetic_onnx, None),
    (shape_arithmetic_onnx, {"x": (2, 3, 4, 5)}),
    (shared_weight_onnx, None),
    (lambda path: shared_weight_onnx(path, external=True), None),
])
def test_onnx_import_equals_the_frontend(tmp_path, build, shapes):
    from tvm.relay.frontend import common, onnx as onnx_frontend

    path = build(tmp_path / "m.onnx")
    mod, params = vexatvm_internal.load_model(str(path), input_shapes=shapes)
    assert onnx_frontend.fold_constant is common.fold_constant  # TVM's own again
    assert onnx_frontend.GraphProto._parse_array.__module__ == onnx_frontend.__name__
    want, want_params = relay.frontend.from_onnx(onnx.load(str(path)), shape=shapes, freeze_params=True)
    assert tvm.ir.structural_equal(mod, want) and set(params) == set(want_params)
    assert dynamic_inputs(mod) == dynamic_inputs(want)


@pytest.mark.parametrize("name, steps", [
    ("small_features_float", 0),
    # TVM requantizes with its own rounding and computes hard-swish and SiLU
    # in float: a step or two from TFLite's fixed-point kernels.
    ("small_features_int8_per_tensor_fc", 2),
    # The converter's default: a fully-connected layer with per-channel weight scales.
    ("small_features_int8", 2),
    ("mobilenet_v2_int8", 2),
])
def test_tflite_import_computes_what_tflite_computes(name, steps):
    pytest.importorskip("tflite")
    from tvm.relay.frontend import tflite as tflite_frontend

    reference = np.load(MODELS / "tflite_reference.npz")
    scalar = tflite_frontend.get_scalar_from_constant
    mod, params = vexatvm_internal.load_model(str(MODELS / f"{name}.tflite"))
    assert tflite_frontend.get_scalar_from_constant is scalar  # TVM's own again
    mod["main"] = relay.build_module.bind_params_by_name(mod["main"], params)
    (got,) = run_on_cpu(mod, {mod["main"].params[0].name_hint: reference[f"{name}.input"]})
    want = reference[f"{name}.output"]
    assert got.dtype == want.dtype and got.shape == want.shape
    if steps:
        assert np.abs(got.astype(int) - want.astype(int)).max() <= steps
    else:
        np.testing.assert_allclose(got, want, rtol=1e-5, atol=1e-6)


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


def test_relay_text_written_by_the_command_reads_back_every_name(tmp_path):
    # Exporters' names that Relay text cannot carry as they are are escaped
    # on the way out and restored on the way in.
    from vexatvm_internal.cli.files import write_module

    names = ["input.1", "onnx::Conv_193", "x:0", "_x", "12", "vexa_esc_x", "vexa_esc__zz", "ünï", "a__b", "plain"]
    inputs = [relay.var(name, shape=(2,)) for name in names]
    mod = tvm.IRModule.from_expr(relay.Function(inputs, relay.Tuple([relay.sigmoid(x) for x in inputs])))
    write_module(str(tmp_path / "m.relay"), mod)
    loaded, _ = vexatvm_internal.load_model(str(tmp_path / "m.relay"))
    assert [p.name_hint for p in loaded["main"].params] == names
