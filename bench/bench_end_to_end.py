"""From model file to answer: `vexatvm partition MODEL` against the plain
upstream flow on the same file, side by side in one run.

The plain flow is what a user of upstream TVM writes: `from_onnx` (weights
frozen), the pinned preparation (InferType, ConvertLayout to NHWC,
FoldConstant, InferType), then one MergeComposite per table, with the tables
the command picks for a float graph ("vexa_blocks", "vexa_fp32"). Each flow
runs in a fresh interpreter and is timed from its start, TVM's import
included; a third run times the command's stages one by one.

    .venv/bin/python bench/bench_end_to_end.py [--models yolov5s,resnet50,bert_base,vit_b_16]

The models are exported with random weights (bench/zoo_models.py, which
needs torchvision, Pillow and the yolov5 package beside the networks extra)
into --dir unless they are there already.
"""

import argparse
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
MODELS = ("yolov5s", "resnet50", "bert_base", "vit_b_16")
TABLES = ("vexa_blocks", "vexa_fp32")

# Each flow prints one JSON object of stage -> seconds on its last line.
PLAIN = """
import json, sys, time
t0 = time.perf_counter()
import onnx
import tvm
from tvm import relay
from tvm.relay.build_module import bind_params_by_name
import vexatvm_internal.blockpatterns, vexatvm_internal.patterns  # the tables
from tvm.relay.op.contrib.register import get_pattern_table
from tvm.relay.vexa.build_module import BuildConfig
from tvm.relay.vexa.relay_traversal import current_graph
path, arch, tables = sys.argv[1], sys.argv[2], sys.argv[3].split(",")
t1 = time.perf_counter()
mod, params = relay.frontend.from_onnx(onnx.load(path), freeze_params=True)
t2 = time.perf_counter()
mod["main"] = bind_params_by_name(mod["main"], params)
with tvm.transform.PassContext(opt_level=3):
    mod = tvm.transform.Sequential([
        relay.transform.InferType(),
        relay.transform.ConvertLayout({"nn.conv2d": ["NHWC", "default"], "qnn.conv2d": ["NHWC", "default"]}),
        relay.transform.FoldConstant(),
        relay.transform.InferType(),
    ])(mod)
t3 = time.perf_counter()
with BuildConfig(arch_config={"arch": arch}):
    for name in tables:
        with current_graph(mod):  # the graph the checks' consumer queries see
            mod = relay.transform.MergeComposite(get_pattern_table(name))(mod)
t4 = time.perf_counter()
print(json.dumps({"tvm import": t1 - t0, "onnx import": t2 - t1, "preparation": t3 - t2, "tables": t4 - t3}))
"""

# The command's own stages, as cmd_partition runs them, and one plain
# MergeComposite per table on the module the tables run on.
STAGED = """
import json, sys, time
t0 = time.perf_counter()
import tvm
from tvm import relay
import vexatvm_internal
from vexatvm_internal import rewrites
from vexatvm_internal.flow import driver
from vexatvm_standins.build_module import BuildConfig
from vexatvm_standins.relay_traversal import current_graph
path, arch, tables = sys.argv[1], sys.argv[2], sys.argv[3].split(",")
t1 = time.perf_counter()
mod, params = vexatvm_internal.load_model(path)
t2 = time.perf_counter()
resolved = driver.resolve_tables(tables)
prepared = driver.prepare(mod, params, tables, canonicalize=True)
t3 = time.perf_counter()
canonical = rewrites._canonicalize(prepared)
t4 = time.perf_counter()
with BuildConfig(arch_config={"arch": arch}):
    out = canonical
    for _, entries in resolved:
        out = driver.merge_entries(out, entries)
    t5 = time.perf_counter()
    plain = canonical
    for _, entries in resolved:
        with current_graph(plain):
            plain = relay.transform.MergeComposite(entries)(plain)
    t6 = time.perf_counter()
print(json.dumps({"tvm import": t1 - t0, "onnx import": t2 - t1, "preparation": t3 - t2,
                  "canonicalize": t4 - t3, "tables": t5 - t4, "plain MergeComposite": t6 - t5}))
"""


def export(name, directory):
    path = os.path.join(directory, name + ".onnx")
    if not os.path.exists(path):
        print(f"exporting {name} ...", file=sys.stderr, flush=True)
        subprocess.run([sys.executable, os.path.join(HERE, "zoo_models.py"), name, path], check=True)
    return path


def timed(argv):
    """(wall seconds from process start to exit, last stdout line as JSON or None)."""
    start = time.perf_counter()
    done = subprocess.run(argv, capture_output=True, text=True, check=False)
    wall = time.perf_counter() - start
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(argv[3:5] if argv[1] == '-c' else argv[:4])} failed:\n{done.stderr[-3000:]}")
    lines = done.stdout.strip().splitlines()
    try:
        return wall, json.loads(lines[-1]) if lines else None
    except json.JSONDecodeError:
        return wall, None


def measure(path, arch):
    tables = ",".join(TABLES)
    plain_wall, plain = timed([sys.executable, "-c", PLAIN, path, arch, tables])
    command_wall, _ = timed([sys.executable, "-m", "vexatvm_internal", "partition", path, "--arch", arch,
                             "--json", "--quiet"])
    _, staged = timed([sys.executable, "-c", STAGED, path, arch, tables])
    return {"plain": dict(plain, wall=plain_wall), "command": command_wall, "stages": staged}


def report(name, figures):
    plain, stages = figures["plain"], figures["stages"]
    ours = stages["canonicalize"] + stages["tables"]
    print(f"\n{name}")
    print(f"  plain flow   {plain['wall']:7.1f} s   tvm import {plain['tvm import']:.1f}, onnx import "
          f"{plain['onnx import']:.1f}, preparation {plain['preparation']:.1f}, tables {plain['tables']:.1f}")
    print(f"  command      {figures['command']:7.1f} s   tvm import {stages['tvm import']:.1f}, onnx import "
          f"{stages['onnx import']:.1f}, preparation {stages['preparation']:.1f}, canonicalize "
          f"{stages['canonicalize']:.2f}, tables {stages['tables']:.2f}")
    print(f"  ratio        {figures['command'] / plain['wall']:7.2f}     (command / plain flow; goal <= 0.25)")
    print(f"  our part     {ours / stages['plain MergeComposite']:7.2f}     (canonicalize + tables / one plain "
          f"MergeComposite per table, {stages['plain MergeComposite']:.2f} s; goal <= 0.5)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--models", default=",".join(MODELS))
    parser.add_argument("--dir", default=os.path.expanduser("~/.cache/vexatvm-zoo"))
    parser.add_argument("--arch", default="vexa-pro")
    parser.add_argument("--json", metavar="FILE", help="also write the figures as JSON")
    args = parser.parse_args()
    os.makedirs(args.dir, exist_ok=True)
    results = {}
    for name in args.models.split(","):
        results[name] = measure(export(name, args.dir), args.arch)
        report(name, results[name])
    if args.json:
        with open(args.json, "w", encoding="utf-8") as stream:
            json.dump(results, stream, indent=2)


if __name__ == "__main__":
    main()
