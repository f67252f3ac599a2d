"""The vexatvm command: arch listing, single queries, and one-line errors."""

import collections
import json
import os
import pathlib
import subprocess
import sys

import pytest
import yaml

from vexatvm_internal import archquery, cli

MODELS = pathlib.Path(__file__).parent / "models"  # small TFLite models and what TFLite computes for them


def run(*argv):
    """Run the command in-process; returns (exit code, stdout, stderr)."""
    import io
    from contextlib import redirect_stderr

    out, err = io.StringIO(), io.StringIO()
    with redirect_stderr(err):
        try:
            code = cli.main(list(argv), out=out)
        except SystemExit as exit_:  # argparse usage errors
            code = exit_.code
    return code, out.getvalue(), err.getvalue()


def test_arch_json_lists_every_builtin_with_native_values():
    code, out, err = run("arch", "--json")
    assert (code, err) == (0, "")
    archs = json.loads(out)
    assert list(archs) == ["vexa-nano", "vexa-base", "vexa-pro"]
    for name, params in archs.items():
        text = yaml.safe_dump({"arch": name})
        assert {"channels", "max_kernel_side", "has_kov2", "operators"} <= set(params)
        for param, value in params.items():
            assert value == archquery._archquery_parameter(text, param) or param == "operators"
    assert archs["vexa-pro"]["has_kov2"] == "1" and archs["vexa-nano"]["has_kov2"] == ""
    assert "TransposedConv2d" in archs["vexa-base"]["operators"].split(",")
    assert "TransposedConv2d" not in archs["vexa-nano"]["operators"].split(",")


def test_arch_table_and_single_queries(tmp_path):
    code, out, _ = run("arch")
    assert code == 0
    lines = out.splitlines()
    assert lines[0].split()[:2] == ["architecture", "channels"]
    assert [line.split()[0] for line in lines[1:4]] == ["vexa-nano", "vexa-base", "vexa-pro"]

    assert run("arch", "vexa-nano", "channels")[:2] == (0, "32\n")
    assert run("arch", "vexa-base", "--supports", "TransposedConv2d")[:2] == (0, "yes\n")
    assert run("arch", "vexa-nano", "--supports", "TransposedConv2d")[:2] == (0, "no\n")
    code, out, _ = run("arch", "vexa-pro", "has_kov2", "--json")
    assert json.loads(out) == {"has_kov2": "1"}

    desc = tmp_path / "desc.yaml"
    desc.write_text("base: vexa-nano\nchannels: 48\nhas_kov2: true\noperators: Conv2d, MyOp\n")
    assert run("arch", "--arch-file", str(desc), "channels")[:2] == (0, "48\n")
    code, out, _ = run("arch", "--arch-file", str(desc), "--json")
    assert json.loads(out)[str(desc)]["has_kov2"] == "1"
    # Operators the description alone knows are known; a known one it lacks is a plain "no".
    assert run("arch", "--arch-file", str(desc), "--supports", "MyOp")[:2] == (0, "yes\n")
    assert run("arch", "--arch-file", str(desc), "--supports", "Dense")[:2] == (0, "no\n")


def test_arch_json_reads_back_as_arch_file(tmp_path):
    from vexatvm_internal.cli.archs import load_arch

    _, listed, _ = run("arch", "--json")
    for name, values in json.loads(listed).items():
        # The whole printed mapping, and the description under its name.
        whole, inner = tmp_path / f"{name}.json", tmp_path / f"{name}.yaml"
        whole.write_text(run("arch", name, "--json")[1])
        inner.write_text(yaml.safe_dump(values))
        for path in (whole, inner):
            code, out, err = run("arch", "--arch-file", str(path), "--json")
            assert (code, err) == (0, "")
            assert json.loads(out) == {str(path): values}
        # Printed as text, read back typed, as the build configuration gets it.
        arch = load_arch(arch_file=str(whole))[1]
        assert arch["channels"] == int(values["channels"]) and arch["has_kov2"] is bool(values["has_kov2"])


@pytest.mark.parametrize(
    "argv, content, message",
    [
        (["arch", "no-such-arch"], None, "unknown architecture 'no-such-arch'"),
        (["arch", "vexa-nano", "no_such_param"], None, "unknown parameter"),
        (["arch", "--arch-file", "{file}"], "channels: [1, 2\n", "malformed YAML in"),
        (["arch", "--arch-file", "{file}"], "- just\n- a list\n", "must be a mapping"),
        (["arch", "--arch-file", "{file}"], "base: no-such-arch\n",
         "base: unknown architecture 'no-such-arch' (built-in: vexa-nano, vexa-base, vexa-pro)"),
        (["arch", "--arch-file", "{file}"], "base: vexa-nano\nchanels: 48\n",
         "unknown key 'chanels' (known keys: base, operators, arch, channels, max_kernel_side, has_kov2, sram_kib)"),
        (["arch", "--arch-file", "{file}"], "base: vexa-nano\nchannels: lots\n", "channels must be an integer, not 'lots'"),
        (["arch", "--arch-file", "{file}"], "base: vexa-pro\nhas_kov2: maybe\n", "has_kov2 must be a boolean"),
        (["arch", "--arch-file", "{file}"], "operators: [Conv2d, 1]\n", "operators must be a list of operator names"),
        (["arch", "vexa-nano", "--supports", "conv2d"], None, "unknown operator 'conv2d' (known: Conv2d, "),
        (["arch", "--arch-file", "{missing}"], None, "cannot read"),
    ],
)
def test_bad_input_is_one_line_on_stderr(tmp_path, argv, content, message):
    path = tmp_path / "desc.yaml"
    if content is not None:
        path.write_text(content)
    argv = [a.format(file=path, missing=tmp_path / "missing.yaml") for a in argv]
    code, out, err = run(*argv)
    assert code != 0 and out == ""
    assert err.count("\n") == 1 and err.startswith("vexatvm: error: ")
    assert message in err


def test_console_script_and_module_form():
    exe = os.path.join(os.path.dirname(sys.executable), "vexatvm")
    for command in ([exe, "arch", "--json"], [sys.executable, "-m", "vexatvm_internal", "arch", "--json"]):
        result = subprocess.run(command, capture_output=True, text=True, check=True)
        assert set(json.loads(result.stdout)) == {"vexa-nano", "vexa-base", "vexa-pro"}
    result = subprocess.run([exe, "arch", "nope"], capture_output=True, text=True)
    assert result.returncode == 1 and "Traceback" not in result.stderr


def test_package_help_and_arch_do_not_import_tvm():
    # TVM takes seconds to import; the command's help, its architecture queries and the
    # package's own names need none of it.
    script = """
import contextlib, io, sys
import vexatvm_internal
vexatvm_internal.load_model
from vexatvm_internal import cli
for argv in (["--help"], ["partition", "--help"], ["arch", "--help"], ["arch", "--json"], ["arch", "vexa-nano"]):
    with contextlib.redirect_stdout(io.StringIO()), contextlib.suppress(SystemExit):
        cli.main(argv)
print(sorted(name for name in sys.modules if name.split(".")[0] == "tvm"))
"""
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert result.stdout == "[]\n"


def test_partition_builtin_examples():
    code, out, err = run("partition", "int8-cnn", "--arch", "vexa-nano", "--json")
    assert code == 0, err
    report = json.loads(out)
    assert report["tables"] == ["vexa"] and report["architecture"] == "vexa-nano"
    assert report["composites"]["vexa.qnn_conv"] >= 4
    assert {"vexa.concat", "vexa.qnn_add", "vexa.maxpool2d", "vexa.qnn_conv_hswish_requant"} <= set(report["composites"])
    assert report["offloaded"] + sum(report["host_operators"].values()) == report["operators"]
    # The grouped convolution fits 128 channels, not 32.
    _, out, _ = run("partition", "int8-cnn", "--arch", "vexa-pro", "--json")
    assert json.loads(out)["composites"]["vexa.qnn_conv"] == report["composites"]["vexa.qnn_conv"] + 1

    code, out, _ = run("partition", "yolo-detector", "--arch", "vexa-pro")
    assert code == 0
    assert "vexa_blocks.yolov5_fp32_post      1" in out
    assert out.splitlines()[1] == "tables: vexa_blocks, vexa_fp32"

    # Several architectures: each report as a single run prints it, under a header.
    code, out, err = run("partition", "int8-cnn", "--arch", "vexa-nano", "--arch", "vexa-pro", "--quiet")
    assert (code, err) == (0, "")
    singles = [run("partition", "int8-cnn", "--arch", arch, "--quiet")[1] for arch in ("vexa-nano", "vexa-pro")]
    assert out == f"== int8-cnn on vexa-nano\n{singles[0]}\n== int8-cnn on vexa-pro\n{singles[1]}"
    assert run("partition", "int8-cnn", "--jobs", "0")[0] == 2


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_partition_several_models_and_architectures(tmp_path, jobs):
    def single(model, arch):
        code, out, err = run("partition", model, "--arch", arch, "--explain", "--json", "--quiet")
        assert code == 0, err
        return json.loads(out)

    # Models outer, architectures inner; a failing combination does not stop the others.
    missing = str(tmp_path / "missing.relay")
    code, out, err = run("partition", "int8-cnn", missing, "yolo-detector", "--arch", "vexa-nano", "--arch", "vexa-pro",
                         "--explain", "--json", "--quiet", "--jobs", jobs)
    assert code == 1
    assert json.loads(out) == [single(model, arch) for model in ("int8-cnn", "yolo-detector")
                               for arch in ("vexa-nano", "vexa-pro")]
    assert [line.split(": cannot read")[0] for line in err.splitlines()] == [
        f"vexatvm: error: {missing} on vexa-nano", f"vexatvm: error: {missing} on vexa-pro"]


# One case per option of `vexatvm partition`: its words, as a user writes them.
CHILD_FLAGS = {
    "--table": ["--table", "vexa", "--table", "vexa_with_fc"],
    "--input-shape": ["--input-shape", "input0=1,3,8,8", "--input-shape", "mask=1,-1"],
    "--dim": ["--dim", "batch=1", "--dim", "seq=128"],
    "--arch": ["--arch", "vexa-pro"],
    "--arch-file": ["--arch-file=-arch.yaml"],
    "--json": ["--json"],
    "--quiet": ["--quiet"],
    "--canonicalize": ["--no-canonicalize"],
    "--regions": ["--regions"],
    "--verify": ["--verify"],
    "--verbose": ["--verbose"],
    "--explain": ["--explain"],
    # The parent's own: the combinations it runs, and what takes one only.
    "--jobs": ["--jobs", "2"], "--svg": ["--svg", "a.svg"], "--png": ["--png", "a.png"], "--output": ["-o", "a.json"],
}


@pytest.mark.parametrize("flag", sorted(CHILD_FLAGS))
def test_every_flag_reaches_the_children_of_jobs(flag):
    from vexatvm_internal.cli.partition import _PARENT_ONLY, _child_argv

    parser = cli.build_parser()
    args = parser.parse_args(["partition", "m.onnx"] + CHILD_FLAGS[flag])
    partition = args.parser
    options = {next(s for s in action.option_strings if s.startswith("--") and not s.startswith("--no-"))
               for action in partition._actions if action.option_strings and action.dest != "help"}
    assert options == set(CHILD_FLAGS)  # a new flag needs its case here
    child = _child_argv(args, "-model.onnx", None)
    assert child[:4] == [sys.executable, "-m", "vexatvm_internal", "partition"]
    again = parser.parse_args(["partition"] + child[4:])
    for dest, value in vars(args).items():
        if dest not in ("model", "arch", "quiet"):
            assert getattr(again, dest) == (partition.get_default(dest) if dest in _PARENT_ONLY else value), dest
    assert again.model == ["-model.onnx"] and again.quiet


def test_partition_model_files(tmp_path):
    from tvm import relay

    x = relay.var("x", shape=(1, 4), dtype="float32")
    text = tmp_path / "model.relay"
    import tvm

    text.write_text(tvm.IRModule.from_expr(relay.Function([x], relay.sigmoid(x))).astext())
    code, out, err = run("partition", str(text), "--table", "vexa_fp32", "--arch", "vexa-pro", "--json")
    assert code == 0, err
    assert json.loads(out)["composites"] == {"vexa_fp32.sigmoid": 1}
    code, out, _ = run("partition", str(text), "--table", "vexa_fp32", "--arch", "vexa-nano", "--json")
    assert json.loads(out)["composites"] == {}


def onnx_graph(op="Relu", shape=(4,), weight=None, external=None):
    """An ONNX graph of one operator on input x (and initializer w: (dims, raw bytes), or its
    data external: {key: value} of its external_data), serialized."""
    from onnx import TensorProto, helper

    tensor = helper.make_tensor_value_info
    inits = []
    if weight is not None:
        inits = [helper.make_tensor("w", TensorProto.FLOAT, [1], b"\0" * 4, raw=True)]
        inits[0].dims[:], inits[0].raw_data = weight  # as a damaged file holds it
    if external is not None:
        inits[0].ClearField("raw_data")
        inits[0].data_location = TensorProto.EXTERNAL
        for key, value in external.items():
            inits[0].external_data.add(key=key, value=value)
    node = helper.make_node(op, ["x"] + [i.name for i in inits], ["y"])
    graph = helper.make_graph([node], "g", [tensor("x", TensorProto.FLOAT, list(shape))],
                              [tensor("y", TensorProto.FLOAT, list(shape))], initializer=inits)
    return helper.make_model(graph).SerializeToString()


def saved_module(node_type, field, value):
    """A small module as tvm.ir.save_json writes it, with field of its first node_type set to value."""
    import tvm
    from tvm import relay

    x = relay.var("x", shape=(1, 4))
    graph = json.loads(tvm.ir.save_json(tvm.IRModule.from_expr(relay.nn.relu(x))))
    node = next(node for node in graph["nodes"] if node["type_key"] == node_type)
    (node if field in ("type_key", "repr_str") else node["attrs"])[field] = value
    return json.dumps(graph)


def pool_with_a_null_dim():
    """A saved max pool whose pool_size array holds a null element."""
    import tvm
    from tvm import relay

    x = relay.var("x", shape=(1, 1, 4, 4))
    graph = json.loads(tvm.ir.save_json(tvm.IRModule.from_expr(relay.nn.max_pool2d(x, (2, 2)))))
    attrs = next(node for node in graph["nodes"] if node["type_key"] == "relay.attrs.MaxPool2DAttrs")
    graph["nodes"][int(attrs["attrs"]["pool_size"])]["data"][0] = 0
    return json.dumps(graph)


def zip_archive(*names, cut=0):
    """A zip archive of empty entries of these names, its last cut bytes cut off."""
    import io
    import zipfile

    data = io.BytesIO()
    with zipfile.ZipFile(data, "w") as archive:
        for name in names:
            archive.writestr(name, b"")
    return data.getvalue()[:len(data.getvalue()) - cut]


DYNAMIC_TEXT = "#[version = \"0.0.5\"]\ndef @main(%y: Tensor[(?, 4), float32]) { sigmoid(%y) }"


@pytest.mark.parametrize(
    "argv, content, message",
    [
        (["partition", "{missing}"], None, "cannot read"),
        (["partition", "{pt}"], b"\x00garbage", "model.pt: not a zip archive, so not a TorchScript file"),
        (["partition", "{pt}"], b"\x80\x02garbage", "a pickle of torch.save's legacy format, not a TorchScript archive"),
        (["partition", "{pt}"], lambda: zip_archive("m/data.pkl", "m/version"), "a checkpoint of torch.save"),
        (["partition", "{pt}"], lambda: zip_archive("m/data.pkl", "n/constants.pkl"), "lie in two folders, 'm' and 'n'"),
        (["partition", "{pt}"], lambda: zip_archive("m/data.pkl", cut=1), "truncated zip archive: no end of its directory"),
        (["partition", "{pt}"], lambda: zip_archive("m/data.pkl", cut=30), "truncated zip archive"),
        (["partition", "{file}", "--dim", "batch=1"], DYNAMIC_TEXT, "--dim batch: the model names no axes"),
        (["partition", "{file}", "--dim", "batch=x"], DYNAMIC_TEXT, "--dim 'batch=x': expected NAME=VALUE"),
        (["partition", "{file}", "--dim", "batch=1", "--dim", "batch=2"], DYNAMIC_TEXT, "--dim batch given twice"),
        (["partition", "int8-cnn", "--dim", "batch=1"], None, "a built-in example has fixed input shapes"),
        (["partition", "{json}"], lambda: saved_module("relay.Call", "op", "99999"),
         "(relay.Call): op refers to node 99999, not one of its 31 nodes"),
        (["partition", "{json}"], lambda: saved_module("relay.Call", "args", "-1"), "args refers to node 18446744073709551615"),
        # A node of a type not read from a string is made with every field null.
        (["partition", "{json}"], lambda: saved_module("Op", "type_key", "relay.Constant"),
         "(relay.Constant): holds its value as a repr string"),
        (["partition", "{json}"], pool_with_a_null_dim, "pool_size holds an array with a null element"),
        (["partition", "{file}"], "def @main(%x: float32) { " + "(" * 600 + "%x" + ")" * 600 + " }",
         "line 1: brackets nested more than 500 deep"),
        (["partition", "{file}"], "def @main() { nonsense }", "not a valid Relay module"),
        (["partition", "{onnx}"], b"\x00garbage", "not a readable ONNX model"),
        (["partition", "{tflite}"], b"\x00garbage", "not a TFLite model"),
        (["partition", "{tflite}"], MODELS.joinpath("small_features_int8.tflite").read_bytes()[:3000],
         "not a readable TFLite model, truncated or corrupt"),
        (["partition", "int8-cnn", "--table", "no_such_table"], None, "unknown pattern table 'no_such_table'"),
        (["partition", "int8-cnn", "--arch", "no-such-arch"], None, "unknown architecture"),
        (["partition", "int8-cnn", "--arch-file", "{file}"], "channels: [", "malformed YAML"),
        (["partition", "{json}"], "{not json", "not a module saved with tvm.ir.save_json"),
        (["partition", "{file}", "--input-shape", "x=1,4"], "#[version = \"0.0.5\"]\ndef @main(%y: Tensor[(1, 4), float32]) { sigmoid(%y) }",
         "no input named 'x'"),
        (["partition", "{file}", "--input-shape", "y=1,a"], None, "expected NAME=D1,D2,..."),
        (["partition", "int8-cnn", "--input-shape", "x=1"], None, "a built-in example has fixed input shapes"),
        (["partition", "int8-cnn", "yolo-detector", "--svg", "{file}"], None, "one model and one architecture"),
        (["partition", "{dir}"], None, "is a directory, not a model file"),
        (["partition", "{onnx}"], lambda: onnx_graph("FooBar"), "not supported for frontend ONNX: FooBar"),  # no checker warnings
        (["partition", "{onnx}"], lambda: onnx_graph(weight=((4,), b"\0" * 12)), "'w' of shape [4] needs 16 bytes but holds 12"),
        (["partition", "{onnx}"], lambda: onnx_graph(weight=((4,), b""), external={"location": "../w.bin"}),
         "initializer 'w': Data of TensorProto ( tensor name: w) should be file inside the"),
        (["partition", "{onnx}"], lambda: onnx_graph(weight=((4,), b""), external={"location": "model.onnx", "offset": "99999"}),
         "'w': its data at bytes 99999..99999 of model.onnx lies past the file's end"),
        (["partition", "{onnx}"], lambda: onnx_graph(weight=((4,), b""), external={"location": "model.onnx", "length": "12"}),
         "'w' of shape [4] needs 16 bytes but holds 12"),
        (["partition", "{onnx}"], lambda: onnx_graph(weight=((4,), b""), external={"location": "model.onnx", "offset": "x"}),
         "'w': its external data's offset or length is not a whole number"),
        (["partition", "{onnx}"], lambda: onnx_graph(shape=[1, 2**40]), "'x' of shape [1, 1099511627776] would need 4,096.0 GiB"),
        (["partition", "{onnx}"], b"", "model.onnx: the file is empty"),
        (["partition", "{json}"], '{"a": 1}', "not a module saved with tvm.ir.save_json"),
        (["partition", "{file}", "--input-shape", "y=1,4,4"], "#[version = \"0.0.5\"]\ndef @main(%y: Tensor[(1, 4), float32]) { sigmoid(%y) }",
         "--input-shape y: 3 dimensions given, the input has 2 (y=1,4)"),
        (["partition", "{file}"], "#[version = \"0.0.5\"]\ndef @main(%y.1: Tensor[(1), float32]) { %y.1 }",
         "not a valid Relay module: line 2, column 14: expected a `)`"),
        (["partition", "int8-cnn", "--table", "vexa_fc"], None, "(tables: vexa, vexa_blocks, vexa_fp32, vexa_fp32_quantizer, vexa_with_clip, vexa_with_fc)"),
        (["partition", "int8-cnn", "--arch", "vexa-nano", "--arch-file", "{file}"], "base: vexa-pro\n", "not both"),
        (["partition", "int8-cnn", "yolo-detector", "--arch", "vexa-nano", "--arch", "nope"], None,
         "unknown architecture 'nope'"),
        (["partition", "int8-cnn", "--png", "{dir}/x.svg"], None, "--png writes PNG, not SVG"),
        (["partition", "{file}", "-o", "{file}"], "def @main() { () }", "-o names the input"),
        (["partition", "int8-cnn", "-o", "{dir}/out.onnx"], None, "choose a .relay or .json path"),
    ],
)
def test_partition_bad_input(tmp_path, argv, content, message):
    path = tmp_path / ("model.json" if "{json}" in argv else "model.relay")
    binary = {"onnx": tmp_path / "model.onnx", "tflite": tmp_path / "model.tflite", "pt": tmp_path / "model.pt"}
    if callable(content):
        content = content()
    if isinstance(content, bytes):
        for binary_path in binary.values():
            binary_path.write_bytes(content)
    elif content is not None:
        path.write_text(content)
    argv = [a.format(file=path, json=path, dir=tmp_path, missing=tmp_path / "missing.relay", **binary) for a in argv]
    before = {p: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()}
    code, out, err = run(*argv)
    assert code != 0 and out == ""
    assert err.count("\n") == 1 and err.startswith("vexatvm: error: "), err
    assert message in err
    assert {p: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()} == before, "an input was changed"


@pytest.mark.parametrize("package, name, content", [
    ("onnx", "m.onnx", lambda: onnx_graph()),
    ("tflite", "m.tflite", lambda: MODELS.joinpath("small_features_int8.tflite").read_bytes()),
    ("torch", "m.pt", lambda: zip_archive("m/data.pkl", "m/constants.pkl", "m/code/__torch__.py")),
])
def test_a_missing_extra_is_named(monkeypatch, tmp_path, package, name, content):
    path = tmp_path / name
    path.write_bytes(content())
    monkeypatch.setitem(sys.modules, package, None)  # import raises ImportError
    code, out, err = run("partition", str(path), "--input-shape", "input0=1,4")
    assert (code, out) == (1, "")
    assert err.count("\n") == 1 and f"pip install 'vexatvm_internal[{package}]'" in err, err


def test_mutated_files_end_in_a_partition_or_one_line(tmp_path):
    """Seeded mutations of every format (see hostile_files): none crashes the
    command, hangs it or gets more than one line."""
    import hostile_files

    seeds = hostile_files.write_seeds(str(tmp_path))
    worker = hostile_files.Worker(timeout=120)
    try:
        outcomes = {os.path.basename(mutated): worker.outcome(path, mutated)
                    for _, path, mutated in hostile_files.write_mutants(seeds, str(tmp_path), 40, seed=1)}
    finally:
        worker.close()
    broken = {name: outcome for name, outcome in outcomes.items()
              if outcome[0] not in ("partitioned", "one-line error")}
    assert not broken


@pytest.mark.parametrize("error, internal", [
    (ValueError("a check failed\nsecond line"), True), (KeyError("key"), True), (MemoryError(), False)])
def test_any_failure_is_one_line(monkeypatch, error, internal):
    from vexatvm_internal.flow import driver

    def fail(*args, **kwargs):
        raise error

    monkeypatch.setattr(driver, "partition", fail)
    code, out, err = run("partition", "int8-cnn", "--quiet")
    assert (code, out) == (1, "") and err.count("\n") == 1 and "Traceback" not in err
    internal = "internal error, a fault of vexatvm and not of the input: " if internal else ""
    assert err.startswith(f"vexatvm: error: {internal}{type(error).__name__}")
    # The traceback of a fault of ours, for its report.
    code, out, err = run("partition", "int8-cnn", "--quiet", "--verbose")
    assert code == 1 and ("Traceback" in err) == bool(internal)


def test_explain_names_the_refusing_entries():
    code, out, err = run("partition", "int8-cnn", "--arch", "vexa-nano", "--explain", "--json")
    assert code == 0, err
    report = json.loads(out)
    host = collections.Counter(item["operator"] for item in report["explain"])
    assert host == collections.Counter(report["host_operators"])
    # The grouped convolution is refused by the channel check on a 32-channel architecture.
    refused = [item for item in report["explain"] if "vexa.qnn_conv" in item["refused_by"]]
    assert [item["operator"] for item in refused] == ["cast"]
    assert refused[0]["refusals"] == [{"entry": "vexa.qnn_conv", "reason": "grouped convolution: input channels 32 "
                                       "not below channels 32 of vexa-nano"}]
    # On 128 channels it is captured, so nothing is left for that entry to explain.
    _, out, _ = run("partition", "int8-cnn", "--arch", "vexa-pro", "--explain", "--json")
    assert not any("vexa.qnn_conv" in item["refused_by"] for item in json.loads(out)["explain"])

    code, out, _ = run("partition", "fp32-cnn-transformer", "--arch", "vexa-nano", "--explain", "--no-canonicalize")
    refused, unmatched = out.split("why they stay on the host")[1].split("no entry's pattern matched there:")
    relu = next(line for line in refused.splitlines() if line.split()[:1] == ["nn.relu"])
    assert relu.split()[1:] == ["2", "vexa_fp32.relu:", *"input add runs on the host; this entry takes a relu only "
                                "right after an accelerator region (x2)".split()]
    assert "vexa_fp32.matmul: vexa-nano does not set has_kov2" in refused and "  nn.dense " in unmatched


def _masked_attention():
    from tvm import relay

    a, b = relay.var("a", shape=(4, 8, 16)), relay.var("b", shape=(4, 8, 16))
    mask = relay.var("mask", shape=(1, 1, 1, 8))
    scores = relay.divide(relay.reshape(relay.nn.batch_matmul(a, b), (1, 4, 8, 8)), relay.const(4.0))
    return relay.Function([a, b, mask], relay.nn.softmax(relay.add(scores, mask)))


def _layer_norm_epsilon_1e12():
    from tvm import relay

    x = relay.var("x", shape=(1, 8, 64))
    centred = relay.subtract(x, relay.mean(x, axis=[2], keepdims=True))
    var = relay.mean(relay.power(centred, relay.const(2.0)), axis=[2], keepdims=True)
    return relay.Function([x], relay.divide(centred, relay.sqrt(relay.add(var, relay.const(1e-12)))))


@pytest.mark.parametrize("build, operator, entry, words", [
    (_masked_attention, "nn.softmax", "vexa_fp32.masked_attention", "run time"),
    (_layer_norm_epsilon_1e12, "sqrt", "vexa_fp32.layer_norm", "epsilon 1e-12; the accelerator's layer norm takes 1e-5"),
])
def test_explain_names_the_entry_that_nearly_matched(tmp_path, build, operator, entry, words):
    import tvm

    path = tmp_path / "model.relay"
    path.write_text(tvm.IRModule.from_expr(build()).astext())
    code, out, err = run("partition", str(path), "--arch", "vexa-pro", "--explain", "--json", "--quiet")
    assert code == 0, err
    near = [item for item in json.loads(out)["explain"] if "nearest" in item]
    assert [(item["operator"], item["nearest"]["entry"]) for item in near] == [(operator, entry)]
    assert words in near[0]["nearest"]["reason"]
    # Only where its table runs.
    _, out, _ = run("partition", str(path), "--table", "vexa_fp32_quantizer", "--explain", "--json", "--quiet")
    assert not any("nearest" in item for item in json.loads(out)["explain"])
    _, out, _ = run("partition", str(path), "--arch", "vexa-pro", "--explain", "--quiet")
    assert f"no entry's pattern matched there:\n" in out and f"nearest {entry}: " in out


@pytest.mark.parametrize("example", ["int8-cnn", "fp32-cnn-transformer", "yolo-detector"])
def test_explain_never_changes_what_is_captured(example):
    # Numbering the calls must keep every constant exact: the gelu and
    # layer-norm patterns compare float scalars such as sqrt(2/pi) exactly.
    _, plain, _ = run("partition", example, "--arch", "vexa-pro", "--json")
    _, explained, _ = run("partition", example, "--arch", "vexa-pro", "--json", "--explain")
    explained = json.loads(explained)
    del explained["explain"]
    assert explained == json.loads(plain)


def _off_by_two_steps(body):
    from tvm import relay

    return relay.cast(relay.clip(relay.add(relay.cast(body, "int32"), relay.const(2)), 0, 255), "uint8")


def _one_percent_more(body):
    from tvm import relay

    return relay.multiply(body, relay.const(1.01))


@pytest.mark.parametrize("example, corrupt, message", [
    ("int8-cnn", None, None),
    ("yolo-detector", None, None),
    ("int8-cnn", _off_by_two_steps, "computes output 0 differently: by 2 quantization steps"),
    ("yolo-detector", _one_percent_more, "computes output 0 differently: by 0.01 of its range"),
])
def test_verify(monkeypatch, caplog, example, corrupt, message):
    # A partition that computes something else, as a wrong rewrite would, fails loudly.
    from vexatvm_internal.cli.terminal import Status
    from vexatvm_internal.flow import driver

    shown = []
    monkeypatch.setattr(Status, "show", lambda self, text: shown.append(text))

    if corrupt is not None:
        form_regions = driver.form_regions

        def corrupted(mod):
            mod = form_regions(mod)
            main = mod["main"]
            mod["main"] = type(main)(main.params, corrupt(main.body))
            return mod

        monkeypatch.setattr(driver, "form_regions", corrupted)
    code, out, err = run("partition", example, "--regions", "--verify", "--json", "--quiet")
    outputs = json.loads(out)["verify"]
    assert [item["ok"] for item in outputs] == [corrupt is None]
    if corrupt is None:
        assert code == 0 and outputs[0]["max_rel"] < 1e-4, err
    else:
        assert code == 1 and err.count("\n") == 1 and message in err
    # The status line goes through verify's stages; TVM's advice on CPU kernels is not shown.
    assert shown[-4:] == ["building the original for the CPU", "building the partition for the CPU", "running both",
                          "comparing"]
    assert not caplog.records, [record.getMessage() for record in caplog.records]


# Sends SIGINT from a Python function that TVM's C++ calls back (a pattern
# rewrite's callback during --verify), or from the last step of writing -o.
INTERRUPTING = """
import os, signal, sys
import tvm
from vexatvm_internal import cli
from vexatvm_internal.flow import check

where, signals = sys.argv[1], int(sys.argv[2])
quantize, as_defined, replace = tvm.relay.qnn.op.quantize, check.quantized_adds_as_defined, os.replace

def interrupting(*args, **kwargs):
    tvm.relay.qnn.op.quantize, os.replace = quantize, replace
    for _ in range(signals):
        os.kill(os.getpid(), signal.SIGINT)
    return (replace if where == "write" else quantize)(*args, **kwargs)

def as_defined_interrupting(mod):
    tvm.relay.qnn.op.quantize = interrupting
    return as_defined(mod)

if where == "write":
    os.replace = interrupting
else:
    check.quantized_adds_as_defined = as_defined_interrupting
sys.exit(cli.main(sys.argv[3:]))
"""


@pytest.mark.parametrize("where, signals, argv, left", [
    ("verify", 1, ["--verify"], ["out.relay"]),  # written whole before --verify started
    ("verify", 2, ["--verify"], ["out.relay"]),  # a second Ctrl-C ends it at once
    ("write", 2, [], []),  # a second one while -o is written leaves no temporary file
])
def test_interrupted_inside_tvm_ends_with_one_line(tmp_path, where, signals, argv, left):
    out_file = tmp_path / "out.relay"
    result = subprocess.run([sys.executable, "-c", INTERRUPTING, where, str(signals), "partition", "int8-cnn",
                             "--quiet", "-o", str(out_file), *argv], capture_output=True, text=True, timeout=600)
    assert (result.returncode, result.stderr, result.stdout) == (130, "vexatvm: interrupted\n", "")
    assert sorted(p.name for p in tmp_path.iterdir()) == left
    if left:
        import tvm

        tvm.relay.fromtext(out_file.read_text())


def test_interrupted_jobs_end_with_one_line():
    # Ctrl-C reaches the parent and its children alike, as from a terminal.
    import signal
    import time

    proc = subprocess.Popen([sys.executable, "-m", "vexatvm_internal", "partition", "int8-cnn", "yolo-detector",
                             "--jobs", "2", "--verify"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)

    def children_in_tvm():
        try:
            tasks = pathlib.Path(f"/proc/{proc.pid}/task").iterdir()
            children = [child for task in tasks for child in (task / "children").read_text().split()]
            return sum("libtvm" in pathlib.Path(f"/proc/{child}/maps").read_text() for child in children)
        except OSError:  # one ended meanwhile
            return 0

    # Both children at work, long past their start-up.
    while proc.poll() is None and children_in_tvm() < 2:
        time.sleep(0.1)
    os.killpg(proc.pid, signal.SIGINT)
    out, err = proc.communicate(timeout=600)
    assert (proc.returncode, err, out) == (130, "vexatvm: interrupted\n", "")


def test_fuse_networks(tmp_path):
    out_file = tmp_path / "fused.relay"
    code, out, err = run("fuse", "int8-cnn", "int8-cnn", "--share-input", "-o", str(out_file), "--json")
    assert code == 0, err
    report = json.loads(out)
    assert report["inputs"] == ["input_1"] and report["share_input"] is True
    import tvm

    fused = tvm.relay.fromtext(out_file.read_text())
    assert len(fused["main"].body.fields) == 2
    code, out, _ = run("fuse", "int8-cnn", "yolo-detector")
    assert code == 0
    assert "networks: 2 (int8-cnn, yolo-detector)" in out
    assert "inputs: input_1, image_2" in out


def test_fused_module_written_keeps_its_weights_and_names(tmp_path):
    # Names as torch's ONNX export gives them, which Relay text cannot carry as
    # they are, and weights in a .params file beside the module.
    import numpy as np
    import tvm
    from tvm import relay

    import vexatvm_internal
    from vexatvm_internal import netunion
    from vexatvm_internal.report.summary import summarize

    x = relay.var("input.1", shape=(1, 3, 8, 8))
    w = relay.var("onnx::Conv_1", shape=(8, 3, 3, 3))
    mod = tvm.IRModule.from_expr(relay.Function([x, w], relay.nn.relu(relay.nn.conv2d(x, w, padding=(1, 1)))))
    weights = {"onnx::Conv_1": tvm.nd.array(np.random.default_rng(0).standard_normal((8, 3, 3, 3)).astype("float32"))}
    (tmp_path / "net.json").write_text(tvm.ir.save_json(mod))
    (tmp_path / "net.params").write_bytes(tvm.runtime.save_param_dict(weights))
    fused, fused_params = netunion.fuse_netunion([mod, mod], [weights, weights], False)
    expected = summarize(vexatvm_internal.partition_for_vexa(fused, fused_params))["composites"]
    umask = os.umask(0o027)
    try:
        for name in ("fused.json", "fused.relay"):
            target = tmp_path / name
            code, out, err = run("fuse", str(tmp_path / "net.json"), str(tmp_path / "net.json"), "-o", str(target))
            assert code == 0, err
            assert target.stat().st_mode & 0o777 == 0o640
            loaded, params = vexatvm_internal.load_model(str(target))
            assert [p.name_hint for p in loaded["main"].params] == ["input.1_1", "input.1_2"] and not params
            code, out, err = run("partition", str(target), "--json", "--quiet")
            assert code == 0, err
            assert json.loads(out)["composites"] == expected and expected
    finally:
        os.umask(umask)


QUANTIZED_NET = """#[version = "0.0.5"]
def @main(%x: Tensor[(4), float32]) -> Tensor[(4), float32] {
  nn.relu(%x)
}
def @q(%y: Tensor[(4), float32], Compiler="vexa_qtz") -> Tensor[(4), float32] {
  %y
}
"""

HELPER_NET = """#[version = "0.0.5"]
def @main(%x: Tensor[(4), float32]) -> Tensor[(4), float32] {
  @helper(%x)
}
def @helper(%y: Tensor[(4), float32]) -> Tensor[(4), float32] {
  %y
}
"""


SUFFIX_CLASH_NET = """#[version = "0.0.5"]
def @main(%x: Tensor[(4), float32]) -> (Tensor[(4), float32], Tensor[(4), float32]) {
  (@q(%x), @q_1(%x))
}
def @q(%y: Tensor[(4), float32], Compiler="vexa_qtz") -> Tensor[(4), float32] {
  %y
}
def @q_1(%y: Tensor[(4), float32], Compiler="vexa_qtz") -> Tensor[(4), float32] {
  nn.relu(%y)
}
"""


@pytest.mark.parametrize(
    "models, message",
    [
        (["{suffix_clash}"], "which the network already defines"),
        (["{missing}", "int8-cnn"], "cannot read"),
        (["{garbage}", "int8-cnn"], "not a valid Relay module"),
        (["{quantized}", "{quantized}"], "clashes"),
        (["{helper}", "int8-cnn"], "would be lost"),
        (["int8-cnn", "int8-cnn", "-o", "{unwritable}"], "cannot write"),
        (["{quantized}", "int8-cnn", "-o", "{quantized}"], "-o names the input"),
        (["int8-cnn", "yolo-detector", "--share-input"], "fuse without --share-input"),
    ],
)
def test_fuse_bad_input(tmp_path, models, message):
    files = {
        "missing": tmp_path / "missing.relay",
        "garbage": tmp_path / "garbage.relay",
        "quantized": tmp_path / "quantized.relay",
        "helper": tmp_path / "helper.relay",
        "unwritable": tmp_path / "no-such-dir" / "fused.relay",
        "suffix_clash": tmp_path / "suffix_clash.relay",
    }
    files["suffix_clash"].write_text(SUFFIX_CLASH_NET)
    files["garbage"].write_text("def @main() { nonsense }")
    files["quantized"].write_text(QUANTIZED_NET)
    files["helper"].write_text(HELPER_NET)
    argv = ["fuse"] + [m.format(**files) for m in models]
    code, out, err = run(*argv)
    assert code != 0 and out == ""
    assert err.count("\n") == 1 and err.startswith("vexatvm: error: "), err
    assert message in err
    assert not any(p.name.startswith(".vexatvm-") for p in tmp_path.rglob("*")), "no partial output left"


def test_canonicalize_offloads_more_of_the_examples():
    for model, table in (("fp32-cnn-transformer", "vexa_fp32"), ("int8-cnn", "vexa_with_fc")):
        argv = ("partition", model, "--arch", "vexa-pro", "--table", table, "--json")
        plain = json.loads(run(*argv, "--no-canonicalize")[1])
        canonical = json.loads(run(*argv)[1])  # on by default
        assert canonical == json.loads(run(*argv, "--canonicalize")[1])
        assert canonical["offloaded_share"] > plain["offloaded_share"]
        assert canonical["canonicalized"] and not plain["canonicalized"]


def test_pictures(tmp_path):
    svg, png = tmp_path / "det.svg", tmp_path / "det.png"
    code, _, err = run("partition", "yolo-detector", "--arch", "vexa-pro", "--quiet", "--svg", str(svg), "--png", str(png))
    assert code == 0, err
    text = svg.read_text()
    assert "vexa_blocks.yolov5_fp32_post" in text and "vexa_fp32.conv2d" in text
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["det.png", "det.svg"]

    bad = tmp_path / "missing-dir" / "det.svg"
    code, out, err = run("partition", "int8-cnn", "--quiet", "--svg", str(bad))
    assert (code, out) == (1, "") and err.startswith("vexatvm: error: cannot write") and err.count("\n") == 1


def test_picture_draws_a_run_of_layers_once(tmp_path):
    # Layers alike (a region, then a host operator) are one block, "×count":
    # the picture of 12 is as tall as that of 4.
    import re

    import numpy as np
    import tvm
    from tvm import relay

    sizes = {}
    for layers in (4, 12):
        x = relay.var("x", shape=(1, 16))
        y = x
        for layer in range(layers):
            weight = relay.const(np.full((16, 16), 0.01 * layer, "float32"))
            y = relay.nn.softmax(relay.nn.bias_add(relay.nn.dense(y, weight), relay.const(np.zeros(16, "float32"))))
        path, svg = tmp_path / f"l{layers}.json", tmp_path / f"l{layers}.svg"
        path.write_text(tvm.ir.save_json(tvm.IRModule.from_expr(relay.Function([x], y))))
        code, _, err = run("partition", str(path), "--arch", "vexa-pro", "--regions", "--quiet", "--svg", str(svg))
        assert code == 0, err
        text = svg.read_text()
        assert re.search(r"×(\d+): \1 such blocks", text) and " 1 operators" not in text
        sizes[layers] = re.search(r' height="(\d+)pt"', text).group(1)
    assert sizes[4] == sizes[12]


def test_summary_of_a_deep_graph():
    # TVM's post_order_visit recurses in C++ and would crash the process here.
    import tvm
    from tvm import relay

    from vexatvm_internal.report.summary import summarize

    x = relay.var("x", shape=(4,))
    y = x
    for _ in range(50000):
        y = relay.negative(y)
    report = summarize(tvm.IRModule.from_expr(relay.Function([x], y)))
    assert report["host_operators"] == {"negative": 50000} and report["offloaded"] == 0
