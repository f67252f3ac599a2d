"""`vexatvm partition` on public architectures with random weights: what
share each runs on the accelerator with the default command and with the
best explicit flags, and what stays on the host.

    .venv/bin/python bench/zoo.py [--only NAME,...] [--configs default,best] [--arch vexa-pro] [--regions]

Models are exported once by bench/zoo_models.py (one process per model) into
$VEXATVM_ZOO_CACHE, by default ~/.cache/vexatvm-zoo, and reused by file name.
Every partition is the command itself in a subprocess, timed; a failed export
or run shows in the table with its error line and never stops the bench.
Exports need torchvision 0.28.0, Pillow and yolov5 in the venv (see
bench/zoo_models.py); TFLite exports run bench/zoo_tflite_models.py with
$VEXATVM_TF_PYTHON, an interpreter that has tensorflow-cpu. Shares with and without --canonicalize count different
operator totals: the rewrites change the graph.
"""

import argparse
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
VEXATVM = os.path.join(os.path.dirname(sys.executable), "vexatvm")

# name: (kind, file suffix). kind picks the explicit flags tried for "best".
MODELS = {
    "resnet18": ("fp32", ".onnx"),
    "resnet50": ("fp32", ".onnx"),
    "mobilenet_v2": ("fp32", ".onnx"),
    "mobilenet_v3_small": ("fp32", ".onnx"),
    "mobilenet_v3_large": ("fp32", ".onnx"),
    "efficientnet_b0": ("fp32", ".onnx"),
    "bert": ("fp32", ".onnx"),
    "bert_mask": ("fp32", ".onnx"),
    "distilbert": ("fp32", ".onnx"),
    "gpt2": ("fp32", ".onnx"),
    "vit": ("fp32", ".onnx"),
    "yolov5s": ("detector", ".onnx"),
    "resnet18_dynamic": ("fp32", ".onnx"),
    "bert_dynamic": ("fp32", ".onnx"),
    "resnet18_ort_qop": ("int8", ".onnx"),
    "resnet18_ort_qdq": ("int8", ".onnx"),
    "mobilenet_v2_ort_qop": ("int8", ".onnx"),
    "mobilenet_v2_ort_qdq": ("int8", ".onnx"),
    "mobilenet_v2_torch_int8": ("int8", ".pt"),
    "resnet18_torch_int8": ("int8", ".pt"),
    "mobilenet_v2_tflite": ("fp32", ".tflite"),
    "mobilenet_v2_tflite_int8": ("int8", ".tflite"),
    "mobilenet_v2_tflite_int8_pt_fc": ("int8", ".tflite"),
    "mobilenet_v3_small_tflite_int8": ("int8", ".tflite"),
    "efficientnet_b0_tflite": ("fp32", ".tflite"),
    "efficientnet_b0_tflite_int8": ("int8", ".tflite"),
    "resnet50_tflite_int8": ("int8", ".tflite"),
}

FLOAT = ["--table vexa_fp32", "--table vexa_fp32 --canonicalize"]
BEST_FLAGS = {
    "fp32": FLOAT,
    "detector": FLOAT + ["--table vexa_blocks --table vexa_fp32", "--table vexa_blocks --table vexa_fp32 --canonicalize"],
    "int8": ["--table vexa", "--table vexa --canonicalize", "--table vexa_with_fc --canonicalize"],
}


# Axes the dynamic exports name: the best configs fix them as a user does.
FIXED_AXES = {"bert_dynamic": "--dim batch=1 --dim sequence=16", "resnet18_dynamic": "--dim batch=1"}
# TorchScript keeps no input shapes: every run gives the one it was traced with.
TORCHSCRIPT_SHAPE = "--input-shape input0=1,3,224,224"


def error_line(stderr):
    """The command's own error line, else a traceback's exception line, else the first line."""
    lines = [line.strip() for line in stderr.splitlines() if line.strip()]
    for line in lines:
        if line.startswith("vexatvm: error"):
            return line
    if any(line.startswith("Traceback") for line in lines):
        return lines[-1]
    return lines[0] if lines else "no message"


def export(name, path, timeout):
    """(seconds, error line or None); 0 seconds when the file is cached."""
    if os.path.exists(path):
        return 0.0, None
    partial = path + ".partial" + os.path.splitext(path)[1]
    start = time.perf_counter()
    try:
        exporter = [sys.executable, os.path.join(HERE, "zoo_models.py")]
        if path.endswith(".tflite"):
            exporter = [os.environ.get("VEXATVM_TF_PYTHON", sys.executable), os.path.join(HERE, "zoo_tflite_models.py")]
        proc = subprocess.run(exporter + [name, partial],
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return time.perf_counter() - start, f"export timed out after {timeout} s"
    seconds = time.perf_counter() - start
    if proc.returncode != 0 or not os.path.exists(partial):
        return seconds, error_line(proc.stderr)
    os.replace(partial, path)  # only a finished export lands under the cached name
    return seconds, None


def partition(path, flags, arch, timeout):
    """{"seconds", and "report" (the JSON) or "error"} of one command run."""
    shape = TORCHSCRIPT_SHAPE.split() if path.endswith(".pt") else []
    argv = [VEXATVM, "partition", path, "--arch", arch, "--json", "--quiet", *shape, *flags.split()]
    start = time.perf_counter()
    try:
        proc = subprocess.run(argv, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"seconds": time.perf_counter() - start, "error": f"timed out after {timeout} s"}
    result = {"seconds": time.perf_counter() - start}
    if proc.returncode != 0:
        result["error"] = f"exit {proc.returncode}: {error_line(proc.stderr)}"
    else:
        try:
            result["report"] = json.loads(proc.stdout)
        except json.JSONDecodeError:
            result["error"] = "exit 0 but no JSON report: " + error_line(proc.stderr or proc.stdout)
    return result


def top_host(report, n=4):
    ops = sorted(report["host_operators"].items(), key=lambda item: -item[1])
    return ", ".join(f"{op} {count}" for op, count in ops[:n]) or "nothing"


def best_of(results):
    """(flags, result) of the highest share; ties go to fewer flags, then the earlier config."""
    done = [(flags, r) for flags, r in results.items() if "report" in r]
    if not done:
        return None, None
    return max(done, key=lambda item: (item[1]["report"]["offloaded_share"], -len(item[0].split())))


def label(flags):
    return flags or "(default)"


def share(result):
    """The offloaded share; with the operator share beside it where the report has both
    (the share of work, and the share of operator calls, which older reports gave)."""
    if not result or "report" not in result:
        return "-"
    report = result["report"]
    text = f"{100 * report['offloaded_share']:5.1f}%"
    if "operator_share" in report:
        text += f" (ops {100 * report['operator_share']:5.1f}%)"
    return text


def print_model(name, file_name, kind, export_note, results):
    print(f"\n== {name}  ({file_name}, {kind}; {export_note})")
    width = max([len(label(flags)) for flags in results] + [6])
    print(f"  {'flags'.ljust(width)}  share   offloaded  composites       time  top host operators")
    for flags, r in results.items():
        if "error" in r:
            print(f"  {label(flags).ljust(width)}  FAILED {r['error']}  ({r['seconds']:.1f} s)")
            continue
        rep = r["report"]
        offloaded = f"{rep['offloaded']}/{rep['operators']}"
        composites = f"{sum(rep['composites'].values())} ({len(rep['composites'])} kinds)"
        print(f"  {label(flags).ljust(width)}  {share(r)}  {offloaded:>9}  {composites:<14}  "
              f"{r['seconds']:5.1f} s  {top_host(rep)}")
    flags, best = best_of(results)
    if best is not None:
        composites = ", ".join(f"{c.split('.', 1)[1]} {n}" for c, n in best["report"]["composites"].items())
        print(f"  best: {label(flags)} -> {share(best).strip()}; composites: {composites or 'none'}")
        regions = best["report"].get("regions")
        if regions:
            crossings = regions["crossings"]
            sizes = sorted((r["operators"] for r in regions["regions"]), reverse=True)
            print(f"  regions: {regions['count']} {regions['targets']}, operators per region {sizes[:6]}"
                  f"{' ...' if len(sizes) > 6 else ''}; crossings {crossings['tensors']} tensors, "
                  f"{crossings['bytes'] / 1024:.1f} KB per inference")


def print_summary(rows):
    header = ["model", "default", "best", "best flags", "host operators left by the best (top 4)"]
    table = [header] + rows
    widths = [max(len(row[i]) for row in table) for i in range(len(header) - 1)]
    print("\n== summary")
    for row in table:
        print("  " + "  ".join(cell.ljust(w) for cell, w in zip(row, widths)) + "  " + row[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", action="append", metavar="NAME[,NAME]",
                        help="run only these models; repeatable (known: " + ", ".join(MODELS) + ")")
    parser.add_argument("--configs", default="default,best",
                        help="comma-separated: default (no --table), best (the explicit flags for the model's kind)")
    parser.add_argument("--arch", default="vexa-pro")
    parser.add_argument("--regions", action="store_true",
                        help="partition with --regions too, and show the regions and host<->accelerator crossings")
    parser.add_argument("--cache", default=os.environ.get("VEXATVM_ZOO_CACHE",
                                                          os.path.expanduser("~/.cache/vexatvm-zoo")))
    parser.add_argument("--timeout", type=float, default=1800, help="seconds for one export or one run")
    args = parser.parse_args()

    names = [n for item in args.only or [] for n in item.split(",") if n] or list(MODELS)
    unknown = [n for n in names if n not in MODELS]
    configs = set(args.configs.split(","))
    if unknown or not configs <= {"default", "best"}:
        parser.error(f"unknown model or config: {', '.join(unknown) or args.configs}")
    os.makedirs(args.cache, exist_ok=True)
    print(f"vexatvm partition --arch {args.arch}; models in {args.cache}")

    rows, bench_start, export_total = [], time.perf_counter(), 0.0
    for name in names:
        kind, suffix = MODELS[name]
        path = os.path.join(args.cache, name + suffix)
        seconds, failure = export(name, path, args.timeout)
        export_total += seconds
        note = f"exported in {seconds:.1f} s" if seconds else "cached"
        if failure:
            print(f"\n== {name}  EXPORT FAILED after {seconds:.1f} s: {failure}")
            rows.append([name, "export failed", "-", "-", failure])
            continue
        best = [" ".join(filter(None, (FIXED_AXES.get(name), flags))) for flags in BEST_FLAGS[kind]]
        flag_sets = ([""] if "default" in configs else []) + (best if "best" in configs else [])
        if args.regions:
            flag_sets = [f"{flags} --regions".strip() for flags in flag_sets]
        results = {flags: partition(path, flags, args.arch, args.timeout) for flags in flag_sets}
        print_model(name, os.path.basename(path), kind, note, results)
        sys.stdout.flush()
        flags, best = best_of(results)
        default = results.get("")
        default_cell = share(default).strip() if default and "report" in default else (
            "FAILED" if default else "-")
        if best is None:
            first_error = next(iter(results.values()))["error"]
            rows.append([name, default_cell, "FAILED", "-", first_error])
        else:
            rows.append([name, default_cell, share(best).strip(), label(flags), top_host(best["report"])])
    print_summary(rows)
    total = time.perf_counter() - bench_start
    print(f"\nexports {export_total:.1f} s, partitions {total - export_total:.1f} s, total {total:.1f} s")


if __name__ == "__main__":
    main()
