"""Memory and time of `vexatvm partition` on transformers of real size.

Each model is built from its configuration with random weights (nothing is
downloaded), exported to ONNX by torch's TorchScript exporter (external data
past 2 GB) and cached. Every export and every partition runs in a fresh
process; the partition is the command itself, run in-process with timers
around its stages. Prints per model: the weights' bytes, the command's peak
resident memory (the whole process, as the OS counts it: ru_maxrss of the
child), the wall time, its split by stage, and the offloaded share.

    .venv/bin/python bench/bench_scale.py [--only NAME ...] [--cache DIR] [--check]

Needs the project's networks extra (torch, transformers, onnx). The largest
model (GPT-2 XL's shape, 1.56 B parameters) needs about 13 GB to export and
6.2 GB of disk.
"""

import argparse
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SEQUENCE = 16
OPSET = 17

# name: (kind, configuration)
MODELS = {
    "gpt2_12x1024": ("gpt2", {"n_layer": 12, "n_embd": 1024, "n_head": 16}),
    "gpt2_24x1024": ("gpt2", {"n_layer": 24, "n_embd": 1024, "n_head": 16}),
    "gpt2_48x1024": ("gpt2", {"n_layer": 48, "n_embd": 1024, "n_head": 16}),
    "bert_large": ("bert", {"hidden_size": 1024, "num_hidden_layers": 24, "num_attention_heads": 16,
                            "intermediate_size": 4096}),
    "gpt2_xl": ("gpt2", {"n_layer": 48, "n_embd": 1600, "n_head": 25}),
    # A CNN beside them: preparation changes the layout of every convolution's weights.
    "resnet50": ("torchvision", {"arch": "resnet50"}),
}
STAGES = ("import", "preparation", "canonicalization", "tables", "report")


# ---------------------------------------------------------------- export (child, torch only)


def export(name, path):
    import types  # pylint: disable=import-outside-toplevel

    import torch  # pylint: disable=import-outside-toplevel

    # The torchvision wheel is a CUDA build whose meta registrations fail on
    # this torch; transformers imports it, and needs none of its operators.
    sys.modules.setdefault("torchvision._meta_registrations", types.ModuleType("torchvision._meta_registrations"))
    import transformers  # pylint: disable=import-outside-toplevel

    kind, config = MODELS[name]
    torch.manual_seed(0)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if kind == "torchvision":
        import torchvision  # pylint: disable=import-outside-toplevel

        model = getattr(torchvision.models, config["arch"])(weights=None).eval()
        with torch.no_grad():
            torch.onnx.export(model, (torch.randn(1, 3, 224, 224),), path, opset_version=13, dynamo=False,
                              input_names=["input"], output_names=["output"])
        return
    if kind == "gpt2":
        model = transformers.GPT2Model(transformers.GPT2Config(use_cache=False, **config))
    else:
        model = transformers.BertModel(transformers.BertConfig(**config), add_pooling_layer=False)
    keys = ["input_ids", "attention_mask"]

    class LastHidden(torch.nn.Module):
        def __init__(self):
            super().__init__()
            self.model = model

        def forward(self, *args):
            return self.model(**dict(zip(keys, args))).last_hidden_state

    inputs = (torch.randint(0, 1000, (1, SEQUENCE)), torch.ones(1, SEQUENCE, dtype=torch.int64))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with torch.no_grad():
        torch.onnx.export(LastHidden().eval(), inputs, path, opset_version=OPSET, dynamo=False,
                          input_names=keys, output_names=["output"])


def weight_bytes(path):
    """Bytes of the model's initializers, embedded or external."""
    import onnx  # pylint: disable=import-outside-toplevel
    from onnx import helper  # pylint: disable=import-outside-toplevel
    import numpy as np  # pylint: disable=import-outside-toplevel

    model = onnx.load(path, load_external_data=False)
    total = 0
    for init in model.graph.initializer:
        count = 1
        for dim in init.dims:
            count *= dim
        total += count * np.dtype(helper.tensor_dtype_to_np_dtype(init.data_type)).itemsize
    return total


# ---------------------------------------------------------------- partition (child, the command)


def _rss_kib(field):
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def partition(path, argv):
    """Runs the command on path, timing its stages; prints one JSON line."""
    from vexatvm_internal import cli, rewrites  # pylint: disable=import-outside-toplevel
    from vexatvm_internal.flow import driver, reader  # pylint: disable=import-outside-toplevel
    from vexatvm_internal.report import summary  # pylint: disable=import-outside-toplevel

    spent = dict.fromkeys(STAGES, 0.0)
    peaks = dict.fromkeys(STAGES, 0)

    def timed(stage, function):
        def run(*args, **kwargs):
            start = time.perf_counter()
            try:
                return function(*args, **kwargs)
            finally:
                spent[stage] += time.perf_counter() - start
                peaks[stage] = max(peaks[stage], _rss_kib("VmHWM"))

        return run

    reader.read_model = timed("import", reader.read_model)
    driver.prepare = timed("preparation", driver.prepare)
    rewrites._canonicalize = timed("canonicalization", rewrites._canonicalize)  # pylint: disable=protected-access
    driver.merge_entries = timed("tables", driver.merge_entries)
    summary.summarize = timed("report", summary.summarize)

    import io  # pylint: disable=import-outside-toplevel

    out = io.StringIO()
    status = cli.main(["partition", path, "--json", "--quiet", *argv], out=out)
    report = json.loads(out.getvalue())
    print(json.dumps({"status": status, "stages": spent, "stage_peaks_kib": peaks,
                      "offloaded_share": report.get("offloaded_share"),
                      "operators": report.get("operators"),
                      "composites": sum(report.get("composites", {}).values())}))


# ---------------------------------------------------------------- the bench


def run_child(argv):
    """(stdout, seconds, peak RSS in bytes) of a fresh python running this file with argv."""
    start = time.perf_counter()
    child = subprocess.Popen([sys.executable, os.path.abspath(__file__), *argv], stdout=subprocess.PIPE, text=True)
    stdout = child.stdout.read()
    _, status, usage = os.wait4(child.pid, 0)
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode:
        raise SystemExit(f"{' '.join(argv)}: exit {child.returncode}")
    return stdout, time.perf_counter() - start, usage.ru_maxrss * 1024


def mib(size):
    return f"{size / 2**20:,.0f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", nargs="*", choices=list(MODELS))
    parser.add_argument("--cache", default=os.environ.get("VEXATVM_SCALE_CACHE", "/tmp/vexatvm-scale"))
    parser.add_argument("--arch", default="vexa-pro")
    parser.add_argument("--check", action="store_true",
                        help="also check, on models under 2 GB of weights, that the module read equals "
                             "from_onnx(onnx.load(path)) and that both partition alike (slow: TVM's own import)")
    args = parser.parse_args()
    figures = {}

    _, _, footprint = run_child(["partition-builtin"])
    print(f"TVM's footprint (the command on the built-in int8-cnn): {mib(footprint)} MiB peak")
    print(f"{'model':14} {'weights MiB':>11} {'peak MiB':>9} {'peak-TVM':>9} {'wall s':>7} "
          + " ".join(f"{stage:>8.8}" for stage in STAGES) + f" {'offloaded':>9} {'ops':>6}")
    for name in args.only or MODELS:
        path = os.path.join(args.cache, name, f"{name}.onnx")
        if not os.path.isfile(path):
            _, seconds, peak = run_child(["export", name, path])
            print(f"  (exported {name} in {seconds:.0f} s, {mib(peak)} MiB peak)", flush=True)
        # In a child: a parent grown by reading the file would pass its size on to the next child's maxrss.
        weights = int(run_child(["weights", path])[0])
        stdout, seconds, peak = run_child(["partition", path, "--arch", args.arch])
        result = json.loads(stdout.strip().splitlines()[-1])
        over = (peak - footprint) / weights
        print(f"{name:14} {mib(weights):>11} {mib(peak):>9} {over:>8.2f}x {seconds:>7.1f} "
              + " ".join(f"{result['stages'][stage]:>8.2f}" for stage in STAGES)
              + f" {100 * result['offloaded_share']:>8.1f}% {result['operators']:>6}", flush=True)
        print("  peak by the end of each stage, MiB: " + ", ".join(f"{stage} {mib(kib * 1024)}"
                                                  for stage, kib in result["stage_peaks_kib"].items()), flush=True)
        figures[name] = (result, over)
        if args.check and weights < 2 * 2**30:
            print("  " + run_child(["check", path, args.arch])[0].strip(), flush=True)
    print(f"peak within 1.25x the weights above TVM's footprint: "
          + ", ".join(f"{name} {'yes' if over <= 1.25 else 'NO'}" for name, (_, over) in figures.items()))
    if "gpt2_12x1024" in figures and "gpt2_48x1024" in figures:
        small, large = figures["gpt2_12x1024"][0], figures["gpt2_48x1024"][0]
        print("12 -> 48 layers, time per stage: " + ", ".join(
            f"{stage} {large['stages'][stage] / small['stages'][stage]:.1f}x" for stage in STAGES)
              + f" (operators {large['operators'] / small['operators']:.1f}x)")


def check(path, arch):
    """Whether the module read equals TVM's own import, and both partition alike."""
    import onnx  # pylint: disable=import-outside-toplevel
    import tvm  # pylint: disable=import-outside-toplevel

    from vexatvm_internal import load_model, partition_for_vexa  # pylint: disable=import-outside-toplevel

    mod, params = load_model(path)
    want, want_params = tvm.relay.frontend.from_onnx(onnx.load(path), freeze_params=True)
    same_import = tvm.ir.structural_equal(mod, want, map_free_vars=True) and set(params) == set(want_params)
    same_partition = tvm.ir.structural_equal(partition_for_vexa(mod, params, arch=arch),
                                             partition_for_vexa(want, want_params, arch=arch), map_free_vars=True)
    print(f"module equals from_onnx(onnx.load(path)): {same_import}; partitions equal: {same_partition}")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "export":
        export(sys.argv[2], sys.argv[3])
    elif len(sys.argv) > 1 and sys.argv[1] == "partition":
        partition(sys.argv[2], sys.argv[3:])
    elif len(sys.argv) > 1 and sys.argv[1] == "check":
        check(sys.argv[2], sys.argv[3])
    elif len(sys.argv) > 1 and sys.argv[1] == "weights":
        print(weight_bytes(sys.argv[2]))
    elif len(sys.argv) > 1 and sys.argv[1] == "partition-builtin":
        from vexatvm_internal import cli

        sys.exit(cli.main(["partition", "int8-cnn", "--quiet"], out=open(os.devnull, "w", encoding="utf-8")))
    else:
        main()
