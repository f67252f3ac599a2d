"""Damaged and hostile model files, and the contract the command keeps on them.

Mutations are seeded and structure-aware: of a module saved with
tvm.ir.save_json its node references, attributes, type keys, tensor headers;
of Relay text its numbers, names and nesting; of a params file its counts,
dims and dtypes; of ONNX its dims, data types, attributes and node inputs;
of TFLite the integers its tables hold; of TorchScript archives their zip
directory, pickles and code, the archive rewritten whole; of every format truncations and
byte flips. Each file goes through ``vexatvm partition`` in a worker
process, so that a crash is counted rather than taking the run down; the
outcome is "partitioned", "one-line error" (exit status 1 and one line on
stderr naming the file), "other" (anything else on stderr, or another
status), "crash" (the worker died) or "timeout".

Run as ``python tests/hostile_files.py --worker`` it is that worker: it reads
one path per line and answers one JSON line per path.
"""

import base64
import json
import os
import random
import re
import select
import struct
import subprocess
import sys
import tempfile

OUTCOMES = ("partitioned", "one-line error", "other", "crash", "timeout")
FORMATS = ("json", "text", "params", "onnx", "tflite", "torchscript")
# TorchScript keeps no input shapes: the seeds' own, for every mutant of them.
TORCHSCRIPT_SHAPE = "input0=1,3,16,16"
MODELS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "models")


# --- seeds -------------------------------------------------------------------------------------------------------

def write_seeds(directory):
    """{format: [seed paths]}: the built-in examples saved as JSON and Relay
    text, a small ONNX network as ONNX and as JSON with params, and the
    committed TFLite models."""
    import tvm

    from vexatvm_internal.examples import load_example

    seeds = {fmt: [] for fmt in FORMATS}
    for name in ("int8-cnn", "fp32-cnn-transformer"):
        mod, _, _ = load_example(name)
        stem = os.path.join(directory, name)
        with open(stem + ".json", "w", encoding="utf-8") as stream:
            stream.write(tvm.ir.save_json(mod))
        seeds["json"].append(stem + ".json")
        text = stem + "-text.relay"
        with open(text, "w", encoding="utf-8") as stream:
            stream.write(mod.astext(show_meta_data=True))
        seeds["text"].append(text)
    seeds["onnx"].append(_write_onnx(os.path.join(directory, "small.onnx")))
    # The examples hold their weights as constants; the ONNX network's, unfrozen, are params.
    from vexatvm_internal.flow.reader import load_onnx

    mod, params = load_onnx(seeds["onnx"][0], freeze_params=False)
    stem = os.path.join(directory, "small-unfrozen")
    with open(stem + ".json", "w", encoding="utf-8") as stream:
        stream.write(tvm.ir.save_json(mod))
    with open(stem + ".params", "wb") as stream:
        stream.write(tvm.runtime.save_param_dict(params))
    seeds["params"] = [stem + ".params"]
    seeds["tflite"] += sorted(os.path.join(MODELS, name) for name in os.listdir(MODELS) if name.endswith(".tflite"))
    seeds["torchscript"] = _write_torchscript(directory)
    return seeds


def _write_torchscript(directory):
    """A small float and a small PyTorch-quantized network, traced and saved; none without torch."""
    try:
        import torch
    except ImportError:
        return []
    from torch_quantized import quantize_and_trace

    nn = torch.nn

    class Small(nn.Module):
        fuse = [["conv", "relu"]]

        def __init__(self, quantized):
            super().__init__()
            self.quant = torch.ao.quantization.QuantStub() if quantized else nn.Identity()
            self.conv, self.relu, self.fc = nn.Conv2d(3, 8, 3), nn.ReLU(), nn.Linear(8, 4)
            self.dequant = torch.ao.quantization.DeQuantStub() if quantized else nn.Identity()

        def forward(self, x):
            pooled = torch.flatten(nn.functional.adaptive_avg_pool2d(self.relu(self.conv(self.quant(x))), 1), 1)
            return self.dequant(self.fc(pooled))

    torch.manual_seed(0)
    shape = tuple(int(dim) for dim in TORCHSCRIPT_SHAPE.split("=")[1].split(","))
    paths = []
    for name, traced in (("float", torch.jit.trace(Small(False).eval(), torch.randn(shape))),
                         ("quantized", quantize_and_trace(Small(True), shape))):
        paths.append(os.path.join(directory, f"small-{name}.pt"))
        traced.save(paths[-1])
    return paths


def _write_onnx(path):
    import numpy as np
    import onnx
    from onnx import TensorProto, helper, numpy_helper

    rng = np.random.default_rng(0)
    weight = numpy_helper.from_array(rng.standard_normal((8, 3, 3, 3)).astype("float32"), "w")
    bias = numpy_helper.from_array(rng.standard_normal(8).astype("float32"), "b")
    dense = numpy_helper.from_array(rng.standard_normal((8, 4)).astype("float32"), "d")
    nodes = [
        helper.make_node("Conv", ["x", "w", "b"], ["c"], pads=[1, 1, 1, 1]),
        helper.make_node("Relu", ["c"], ["r"]),
        helper.make_node("GlobalAveragePool", ["r"], ["p"]),
        helper.make_node("Flatten", ["p"], ["f"]),
        helper.make_node("MatMul", ["f", "d"], ["y"]),
    ]
    graph = helper.make_graph(nodes, "small", [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 3, 16, 16])],
                              [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 4])],
                              [weight, bias, dense])
    onnx.save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)]), path)
    return path


# --- mutations ---------------------------------------------------------------------------------------------------

_HOSTILE_INTS = (0, 1, -1, 2, 7, 255, 65535, 2**31 - 1, 2**31, 2**32 + 1, 2**40, 2**63 - 1)


def _other_int(rng, value, limit):
    choice = rng.random()
    if choice < 0.4:
        return rng.choice(_HOSTILE_INTS)
    if choice < 0.7:
        return rng.randrange(max(limit, 1) + 3)  # near the real range, just past it too
    return value + rng.choice((-1, 1, limit, -limit))


def _bytes_mutation(rng, data):
    data = bytearray(data)
    kind = rng.random()
    if kind < 0.35 or len(data) < 16:
        return bytes(data[: rng.randrange(len(data))])
    if kind < 0.7:
        for _ in range(rng.randint(1, 8)):
            data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
        return bytes(data)
    # an aligned 32-bit integer replaced: table offsets, lengths, shapes, indices
    at = rng.randrange(len(data) // 4) * 4
    data[at:at + 4] = struct.pack("<i", rng.choice((-1, 0, 1, 3, 1000, 2**20, 2**31 - 1, -(2**31))))
    return bytes(data)


def _mutate_saved(rng, text):
    graph = json.loads(text)
    nodes = graph["nodes"]
    count = len(nodes)
    for _ in range(rng.randint(1, 3)):
        kind = rng.random()
        node = rng.choice(nodes)
        if kind < 0.35 and node.get("attrs"):
            key = rng.choice(sorted(node["attrs"]))
            value = node["attrs"][key]
            if re.fullmatch(r"-?\d+", value):
                node["attrs"][key] = str(_other_int(rng, int(value), count))
            else:
                node["attrs"][key] = rng.choice(("", "0", "int8", "float32", "x" * 40, str(count + 5)))
        elif kind < 0.5 and node.get("data"):
            index = rng.randrange(len(node["data"]))
            node["data"][index] = _other_int(rng, node["data"][index], count)
        elif kind < 0.6:
            node["type_key"] = rng.choice(nodes)["type_key"]
        elif kind < 0.68 and node.get("attrs"):
            del node["attrs"][rng.choice(sorted(node["attrs"]))]
        elif kind < 0.74:
            graph["root"] = _other_int(rng, graph["root"], count)
        elif kind < 0.9 and graph.get("b64ndarrays"):
            index = rng.randrange(len(graph["b64ndarrays"]))
            blob = bytearray(base64.b64decode(graph["b64ndarrays"][index]))
            at = rng.choice((16, 24, 28, 29, 30, 32, 40)) if len(blob) > 48 else 0
            blob[at:at + 4] = struct.pack("<i", rng.choice((-1, 0, 2, 33, 2**20, 2**30, -(2**31))))
            graph["b64ndarrays"][index] = base64.b64encode(bytes(blob)).decode()
        else:
            return _bytes_mutation(rng, text.encode())
    return json.dumps(graph).encode()


def _mutate_text(rng, text):
    kind = rng.random()
    if kind < 0.4:
        numbers = list(re.finditer(r"\d+", text))
        for match in rng.sample(numbers, min(len(numbers), rng.randint(1, 4))):
            text = text[:match.start()] + str(_other_int(rng, int(match.group()), 64)) + text[match.end():]
        return text.encode()
    if kind < 0.55:
        names = list(re.finditer(r"%[A-Za-z0-9_]+", text))
        match, other = rng.choice(names), rng.choice(names)
        return (text[:match.start()] + other.group() + text[match.end():]).encode()
    if kind < 0.65:
        at = text.find("(", rng.randrange(len(text)))
        depth = rng.choice((200, 5000, 100000))
        return (text[:at] + "(" * depth + text[at:]).encode()
    if kind < 0.8 and "#[metadata]" in text:
        head, meta = text.split("#[metadata]", 1)
        try:
            return head.encode() + b"#[metadata]\n" + _mutate_saved(rng, meta)
        except (ValueError, KeyError, IndexError):
            pass
    return _bytes_mutation(rng, text.encode())


def _mutate_params(rng, blob):
    blob = bytearray(blob)
    if rng.random() < 0.5 or len(blob) < 64:
        return _bytes_mutation(rng, bytes(blob))
    # a header field: counts, name lengths, ndim, dtype, dims, data sizes
    at = rng.choice((16, 24, 32, 40)) + rng.randrange(0, 64, 4)
    at = min(at, len(blob) - 8)
    blob[at:at + 8] = struct.pack("<q", rng.choice((-1, 0, 1, 3, 2**20, 2**34, 2**40, 2**62)))
    return bytes(blob)


def _mutate_onnx(rng, blob):
    import onnx

    if rng.random() < 0.3:
        return _bytes_mutation(rng, blob)
    model = onnx.load_from_string(blob)
    graph = model.graph
    kind = rng.random()
    if kind < 0.3:
        tensor = rng.choice(graph.initializer)
        if tensor.dims:
            tensor.dims[rng.randrange(len(tensor.dims))] = rng.choice((0, 1, 2, 2**20, 2**40, -3))
    elif kind < 0.45:
        rng.choice(graph.initializer).data_type = rng.choice((0, 2, 6, 7, 8, 11, 16, 99))
    elif kind < 0.6:
        dims = graph.input[0].type.tensor_type.shape.dim
        dims[rng.randrange(len(dims))].dim_value = rng.choice((0, 2**40, 7, 1))
    elif kind < 0.75:
        node = rng.choice(graph.node)
        if node.attribute:
            attribute = rng.choice(node.attribute)
            if attribute.ints:
                attribute.ints[rng.randrange(len(attribute.ints))] = rng.choice((-5, 0, 100, 2**31))
    elif kind < 0.9:
        node = rng.choice(graph.node)
        node.input[rng.randrange(len(node.input))] = rng.choice(("nowhere", "", "y"))
    else:
        rng.choice(graph.node).op_type = rng.choice(("Frobnicate", "Conv", "Loop", "If"))
    return model.SerializeToString()


def _mutate_torchscript(rng, blob):
    import io
    import zipfile

    if rng.random() < 0.3:
        return _bytes_mutation(rng, blob)
    if rng.random() < 0.3:
        # a field of a directory entry or local header: sizes, offsets, name lengths, methods
        headers = [m.start() for m in re.finditer(b"PK\x01\x02|PK\x03\x04", blob)]
        data = bytearray(blob)
        at = rng.choice(headers) + rng.randrange(4, 44, 2)
        data[at:at + 4] = struct.pack("<I", rng.choice((0, 1, 8, 0xFFFF, 0xFFFFFFFF, len(blob), 2**31)))
        return bytes(data)
    with zipfile.ZipFile(io.BytesIO(blob)) as archive:
        entries = [(info.filename, archive.read(info)) for info in archive.infolist()]
    index = rng.randrange(len(entries))
    name, data = entries[index]
    if name.endswith(".py") and rng.random() < 0.6:  # the module's code, numbers and names in it
        text = data.decode(errors="replace")
        found = list(re.finditer(r"\d+|[A-Za-z_]+", text))
        if found:
            token = rng.choice(found)
            new = str(_other_int(rng, int(token.group()), 8)) if token.group().isdigit() else rng.choice(
                ("torch", "self", "forward", "__torch__", "x", "ops", "quantized"))
            data = (text[:token.start()] + new + text[token.end():]).encode()
    else:
        data = _bytes_mutation(rng, data) if data else bytes(rng.randrange(256) for _ in range(4))
    entries[index] = (name, data)
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as archive:
        for entry_name, entry_data in entries:  # dated as torch dates them, so that a seed gives the same bytes
            archive.writestr(zipfile.ZipInfo(entry_name, date_time=(1980, 1, 1, 0, 0, 0)), entry_data)
    return out.getvalue()


_MUTATORS = {"json": lambda rng, data: _mutate_saved(rng, data.decode()),
             "text": lambda rng, data: _mutate_text(rng, data.decode()),
             "params": _mutate_params, "onnx": _mutate_onnx, "tflite": lambda rng, data: _bytes_mutation(rng, data),
             "torchscript": _mutate_torchscript}


def write_mutants(seeds, directory, count, seed=0):
    """count mutated files, spread over the formats, written into directory;
    a params file goes beside an unchanged copy of its JSON module. Returns
    [(format, path of the file the command reads, path of the mutated file)]."""
    rng = random.Random(seed)
    out = []
    formats = [fmt for fmt in FORMATS if seeds[fmt]]
    for number in range(count):
        fmt = formats[number % len(formats)]
        source = rng.choice(seeds[fmt])
        with open(source, "rb") as stream:
            original = stream.read()
        data = _MUTATORS[fmt](rng, original)
        stem = os.path.join(directory, f"m{number:05d}")
        if fmt == "params":
            with open(source[: -len(".params")] + ".json", "rb") as stream:
                module = stream.read()
            with open(stem + ".json", "wb") as stream:
                stream.write(module)
            with open(stem + ".params", "wb") as stream:
                stream.write(data)
            out.append((fmt, stem + ".json", stem + ".params"))
            continue
        suffix = {"json": ".json", "text": ".relay", "onnx": ".onnx", "tflite": ".tflite", "torchscript": ".pt"}[fmt]
        with open(stem + suffix, "wb") as stream:
            stream.write(data)
        out.append((fmt, stem + suffix, stem + suffix))
    return out


# --- the contract, checked in a worker process -------------------------------------------------------------------

def _serve():
    """The worker: one partition per path read, its exit status and what reached the stderr descriptor."""
    from vexatvm_internal.cli import main

    for line in sys.stdin:
        path = line.rstrip("\n")
        with tempfile.TemporaryFile() as captured, open(os.devnull, "w", encoding="utf-8") as quiet:
            saved = os.dup(2)
            sys.stderr.flush()
            os.dup2(captured.fileno(), 2)
            shapes = ["--input-shape", TORCHSCRIPT_SHAPE] if path.endswith(".pt") else []
            try:
                status = main(["partition", path, "--arch", "vexa-pro"] + shapes, out=quiet)
            except SystemExit as exit_:
                status = exit_.code
            except BaseException as err:  # pylint: disable=broad-except
                sys.stderr.write(f"escaped: {type(err).__name__}: {err}\n")
                status = -1
            sys.stderr.flush()
            os.dup2(saved, 2)
            os.close(saved)
            captured.seek(0)
            stderr = captured.read().decode(errors="replace")
        sys.stdout.write(json.dumps({"status": status, "stderr": stderr}) + "\n")
        sys.stdout.flush()


class Worker:
    """A worker process, restarted after a crash or a timeout."""

    def __init__(self, timeout):
        self.timeout = timeout
        self.process = None

    def _start(self):
        env = dict(os.environ, PYTHONFAULTHANDLER="")
        self.process = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--worker"], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, env=env)

    def outcome(self, path, named):
        """(outcome, stderr) of ``vexatvm partition path``; the error line must name ``named``."""
        if self.process is None or self.process.poll() is not None:
            self._start()
        self.process.stdin.write(path + "\n")
        self.process.stdin.flush()
        ready, _, _ = select.select([self.process.stdout], [], [], self.timeout)
        if not ready:
            self.close()
            return "timeout", ""
        line = self.process.stdout.readline()
        if not line:
            self.process.wait()
            self.process = None
            return "crash", ""
        answer = json.loads(line)
        lines = answer["stderr"].splitlines()
        if answer["status"] == 0:
            return "partitioned", answer["stderr"]
        if (answer["status"] == 1 and len(lines) == 1 and lines[0].startswith("vexatvm: error: ")
                and os.path.basename(named) in lines[0] and "internal error" not in lines[0]):
            return "one-line error", lines[0]
        return "other", answer["stderr"]

    def close(self):
        if self.process is not None:
            self.process.kill()
            self.process.wait()
            self.process = None


if __name__ == "__main__" and sys.argv[1:] == ["--worker"]:
    _serve()
