"""The ``vexatvm`` command.

``vexatvm partition`` partitions a model for an architecture and shows what
runs on the accelerator::

    vexatvm partition int8-cnn --arch vexa-nano
    vexatvm partition model.relay --table vexa --arch-file desc.yaml --json
    vexatvm partition int8-cnn yolo-detector --arch vexa-nano --arch vexa-pro --jobs 2

``vexatvm arch`` lists the built-in architectures of the accelerator's native
library and answers single queries about one architecture::

    vexatvm arch                         # table of every built-in architecture
    vexatvm arch --json                  # {name: {parameter: value text}}
    vexatvm arch vexa-nano               # one architecture
    vexatvm arch vexa-nano channels      # one parameter value
    vexatvm arch --arch-file desc.yaml --supports TransposedConv2d
"""

import argparse
import collections
import ctypes
import io
import json
import os
import re
import subprocess
import sys
import tempfile

import yaml

from vexatvm_internal.loading import error_line as _first_line

PROG = "vexatvm"

# Native status codes of ArchqueryParameter_Py, as libvexakov's header names them.
_NATIVE_STATUS = {
    1: "a required pointer was NULL",
    2: "the architecture text is too large",
    3: "the architecture text is not a valid description",
    4: "unknown architecture",
    5: "unknown parameter",
    6: "the value does not fit the result buffer",
    7: "internal error in libvexakov",
}


class CliError(Exception):
    """A bad input or failed run, reported as one line on stderr."""


def _native():
    # archquery declares argtypes/restype on the shared handle when imported.
    from vexatvm_internal import _libbind, archquery  # noqa: F401  pylint: disable=import-outside-toplevel

    return _libbind._cpp_lib  # pylint: disable=protected-access


def native_parameter(arch_text, name):
    """Query one parameter with a buffer as large as the answer needs.
    Returns (status, value text or None)."""
    lib = _native()
    size = 256
    while True:
        buf = ctypes.create_string_buffer(size)
        status = lib.ArchqueryParameter_Py(arch_text.encode(), name.encode(), buf, size)
        if status == 6 and size < 1 << 20:
            size *= 16
            continue
        return status, (buf.value.decode() if status == 0 else None)


def _require(arch_text, name, what):
    status, value = native_parameter(arch_text, name)
    if status != 0:
        reason = _NATIVE_STATUS.get(status, f"status {status}")
        raise CliError(f"{what}: {reason}")
    return value


def _split(text):
    return [item for item in text.split(",") if item]


def builtin_architectures():
    return _split(_require(yaml.safe_dump({}), "builtin_architectures", "listing architectures"))


def describe(arch_text, what):
    """{parameter: value text} of one architecture, operators included."""
    params = _split(_require(arch_text, "parameters", what))
    result = {name: _require(arch_text, name, f"{what}, parameter {name!r}") for name in params}
    result["operators"] = _require(arch_text, "operators", what)
    return result


def load_arch(name=None, arch_file=None):
    """(label, arch value for BuildConfig, architecture text) of a built-in
    name or a YAML description file; None when neither is given. The text is
    what the pattern checks pass to libvexakov, and it is validated here."""
    if arch_file is not None:
        try:
            with open(arch_file, encoding="utf-8") as stream:
                description = yaml.safe_load(stream)
        except OSError as err:
            raise CliError(f"cannot read {arch_file}: {err.strerror}") from None
        except yaml.YAMLError as err:
            first = str(err).splitlines()[0] if str(err) else type(err).__name__
            raise CliError(f"malformed YAML in {arch_file}: {first}") from None
        if not isinstance(description, dict):
            raise CliError(f"{arch_file}: an architecture description must be a mapping")
        # A whole build configuration names or holds the architecture under "arch".
        arch = description["arch"] if "arch" in description else description
        label, text = arch_file, yaml.safe_dump(description)
    elif name is not None:
        known = builtin_architectures()
        if name not in known:
            raise CliError(f"unknown architecture {name!r} (built-in: {', '.join(known)})")
        label, arch, text = name, name, yaml.safe_dump({"arch": name})
    else:
        return None
    _require(text, "parameters", label)
    return label, arch, text


def _arch_from_args(args):
    if args.arch_file is not None and args.name is not None:
        if args.param is not None:
            raise CliError("give an architecture name or --arch-file, not both")
        args.name, args.param = None, args.name
    chosen = load_arch(args.name, args.arch_file)
    return None if chosen is None else (chosen[0], chosen[2])


def _print_table(archs, out):
    params = []
    for values in archs.values():
        params += [p for p in values if p != "operators" and p not in params]
    header = ["architecture"] + params
    rows = [[name] + [values.get(p, "") or "-" for p in params] for name, values in archs.items()]
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(len(header))]
    for row in [header] + rows:
        out.write("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip() + "\n")
    out.write("\noperators:\n")
    for name, values in archs.items():
        out.write(f"  {name}: {values.get('operators', '').replace(',', ', ')}\n")


def cmd_arch(args, out):
    chosen = _arch_from_args(args)
    if chosen is None:
        if args.param is not None or args.supports is not None:
            raise CliError("a query needs an architecture: give a name or --arch-file")
        archs = {name: describe(yaml.safe_dump({"arch": name}), name) for name in builtin_architectures()}
    else:
        label, text = chosen
        if args.supports is not None:
            from vexatvm_internal.archquery import arch_supports_operator  # pylint: disable=import-outside-toplevel

            supported = arch_supports_operator(text, args.supports)
            if args.json:
                json.dump({"architecture": label, "operator": args.supports, "supported": supported}, out)
                out.write("\n")
            else:
                out.write(("yes" if supported else "no") + "\n")
            return 0
        if args.param is not None:
            value = _require(text, args.param, f"{label}, parameter {args.param!r}")
            if args.json:
                json.dump({args.param: value}, out)
                out.write("\n")
            else:
                out.write(value + "\n")
            return 0
        archs = {label: describe(text, label)}
    if args.json:
        json.dump(archs, out, indent=2)
        out.write("\n")
    else:
        _print_table(archs, out)
    return 0


def load_model(model, input_shapes=None):
    """(module, params, default tables, label) of a built-in example or a
    model file; the default tables are None for a file (picked from its graph)."""
    from vexatvm_internal import examples, loading  # pylint: disable=import-outside-toplevel

    if model in examples.EXAMPLES:
        if input_shapes:
            raise CliError(f"{model}: a built-in example has fixed input shapes")
        mod, params, tables = examples.load_example(model)
        return mod, params, tables, f"{model} (built-in example)"
    try:
        mod, params = loading.load_model(model, input_shapes=input_shapes)
    except FileNotFoundError:
        known = ", ".join(examples.EXAMPLES)
        raise CliError(f"cannot read {model}: No such file (built-in examples: {known})") from None
    except (ImportError, ValueError, OSError) as err:
        raise CliError(str(err) or type(err).__name__) from None
    return mod, params, None, model


def load_onnx(path, freeze_params=True):
    """(module, params) of an ONNX model, through TVM's ONNX frontend."""
    from vexatvm_internal import loading  # pylint: disable=import-outside-toplevel

    try:
        return loading.load_onnx(path, freeze_params=freeze_params)
    except (ImportError, ValueError, OSError) as err:
        raise CliError(str(err) or type(err).__name__) from None


def parse_input_shapes(items):
    """{name: shape} of --input-shape NAME=D1,D2,... arguments."""
    shapes = {}
    for item in items or ():
        name, sep, dims = item.rpartition("=")
        try:
            shape = tuple(int(dim) for dim in dims.split(",")) if dims.strip() else ()
        except ValueError:
            shape = None
        if not sep or not name or shape is None or any(dim < 0 for dim in shape):
            raise CliError(f"--input-shape {item!r}: expected NAME=D1,D2,... (for example data=1,3,224,224)")
        shapes[name] = shape
    return shapes


def pick_tables(mod):
    """The tables for a graph: "vexa" for a quantized one, else the block
    table and then the float table."""
    from vexatvm_internal.summary import operator_names  # pylint: disable=import-outside-toplevel

    if any(name.startswith("qnn.") for name in operator_names(mod["main"])):
        return ("vexa",), "quantized graph"
    return ("vexa_blocks", "vexa_fp32"), "float graph"


class Status:
    """One status line on stderr while the command works, on a terminal only.
    It writes to its own copy of the terminal, which a hold on TVM's log
    output does not catch."""

    def __init__(self, enabled):
        self.enabled = False
        try:
            if enabled and sys.stderr.isatty():
                self.stream = open(os.dup(sys.stderr.fileno()), "w", encoding="utf-8")  # pylint: disable=consider-using-with
                self.enabled = True
        except (OSError, ValueError, AttributeError):
            pass

    def show(self, text):
        if self.enabled:
            self.stream.write(f"\r\033[K{PROG}: {text}...")
            self.stream.flush()

    def clear(self):
        if self.enabled:
            self.stream.write("\r\033[K")
            self.stream.flush()


class _HeldTvmLog:
    """Holds back the layout-conversion warnings TVM's C++ code writes to
    file descriptor 2 while the graph is prepared; every other line it wrote
    is passed on. ``release`` (idempotent) ends the hold."""

    NOISE = "Desired layout(s) not specified for op"

    def __init__(self, hold):
        self.hold = hold
        self.saved = self.file = None

    def __enter__(self):
        if self.hold:
            try:
                sys.stderr.flush()
                self.file = tempfile.TemporaryFile()
                self.saved = os.dup(2)
                os.dup2(self.file.fileno(), 2)
            except OSError:  # no descriptor 2 to hold: show everything
                self.saved = None
        return self

    def release(self):
        if self.saved is None:
            return
        os.dup2(self.saved, 2)
        os.close(self.saved)
        self.saved = None
        self.file.seek(0)
        text = self.file.read().decode(errors="replace")
        self.file.close()
        kept = [line for line in text.splitlines(keepends=True) if self.NOISE not in line]
        if kept:
            sys.stderr.write("".join(kept))

    def __exit__(self, *exc):
        self.release()


def cmd_partition(args, out):
    archs = args.arch or [None]
    combinations = [(model, arch) for model in args.model for arch in archs]
    if len(combinations) == 1:
        return partition_one(args, *combinations[0], out)
    if args.svg or args.png or args.output:
        raise CliError("--svg, --png and --output take one model and one architecture")
    if len(archs) > 1 and args.arch_file is not None:
        raise CliError("give several --arch or one --arch-file, not both")
    return _partition_combinations(args, combinations, out)


def _arch_label(args, arch):
    return args.arch_file or arch or "the current build configuration"


def _one_combination(args, model, arch):
    """(report text, None) or (None, error line) of one model on one architecture."""
    report = io.StringIO()
    try:
        partition_one(args, model, arch, report)
    except CliError as err:
        return None, str(err)
    except Exception as err:  # pylint: disable=broad-except
        return None, _error_message(err)
    return report.getvalue(), None


def _child_argv(args, model, arch):
    """The command partitioning one combination in a process of its own: every
    partition option but the models, --arch, --jobs and the pictures, quiet."""
    argv = [sys.executable, "-m", "vexatvm_internal", "partition", "--quiet"]
    argv += ["--arch", arch] if arch is not None else []
    argv += ["--arch-file", args.arch_file] if args.arch_file is not None else []
    for table in args.table or ():
        argv += ["--table", table]
    for shape in args.input_shape or ():
        argv += ["--input-shape", shape]
    argv.append("--canonicalize" if args.canonicalize else "--no-canonicalize")
    argv += [flag for flag, on in (("--json", args.json), ("--verbose", args.verbose), ("--explain", args.explain),
                                   ("--regions", args.regions), ("--verify", args.verify)) if on]
    return argv + ["--", model]


def _combination_in_child(args, model, arch):
    """_one_combination in a process of its own; what the process wrote on
    stderr besides its error line is passed on."""
    child = subprocess.run(_child_argv(args, model, arch), stdin=subprocess.DEVNULL, capture_output=True,
                           text=True, check=False)
    lines = child.stderr.splitlines(keepends=True)
    prefix = f"{PROG}: error: "
    error = next((line for line in reversed(lines) if line.startswith(prefix)), None)
    passed = [line for line in lines if line is not error]
    if passed:
        sys.stderr.write("".join(passed))
    if child.returncode == 0:
        return child.stdout, None
    if error is not None:
        return None, error[len(prefix):].rstrip("\n")
    if child.returncode < 0:
        return None, f"the partitioning process was killed by signal {-child.returncode}"
    return None, f"the partitioning process ended with status {child.returncode}"


def _partition_combinations(args, combinations, out):
    """Every model on every architecture, models outer, in the order given.
    With --jobs above 1, that many run at once, each in a process of its own
    (TVM is not safe to fork once imported), so a crash ends only its own."""
    if args.jobs == 1:
        results = (_one_combination(args, model, arch) for model, arch in combinations)
        return _report_combinations(args, combinations, results, out)
    import concurrent.futures  # pylint: disable=import-outside-toplevel

    pool = concurrent.futures.ThreadPoolExecutor(min(args.jobs, len(combinations)))
    try:
        results = pool.map(lambda combination: _combination_in_child(args, *combination), combinations)
        return _report_combinations(args, combinations, results, out)
    finally:
        pool.shutdown(cancel_futures=True)


def _report_combinations(args, combinations, results, out):
    """Writes each report as it arrives, in the order of combinations; failures
    go to stderr, one line each. Exit status 1 when any failed."""
    reports, failed = [], False
    for (model, arch), (text, error) in zip(combinations, results):
        if error is not None:
            failed = True
            sys.stderr.write(f"{PROG}: error: {model} on {_arch_label(args, arch)}: {error}\n")
            continue
        if not args.json:
            out.write(("\n" if reports else "") + f"== {model} on {_arch_label(args, arch)}\n{text}")
            out.flush()
        reports.append(json.loads(text) if args.json else text)
    if args.json:
        json.dump(reports, out, indent=2)
        out.write("\n")
    return 1 if failed else 0


def partition_one(args, model, arch_name, out):
    """Partitions one model for one architecture (a built-in name, or None for
    --arch-file or the current build configuration) and writes the report."""
    status = Status(not args.quiet)
    status.show("loading TVM")
    import tvm  # pylint: disable=import-outside-toplevel

    from tqdm import tqdm  # pylint: disable=import-outside-toplevel

    from vexatvm_internal.loading import dynamic_inputs  # pylint: disable=import-outside-toplevel
    from vexatvm_internal.summary import SHARE_BASIS_TEXT, RefusalLog, explain, summarize, summarize_regions  # pylint: disable=import-outside-toplevel
    from vexatvm_internal import driver  # pylint: disable=import-outside-toplevel
    from vexatvm_internal.driver import resolve_tables  # pylint: disable=import-outside-toplevel

    chosen = load_arch(arch_name, args.arch_file)
    for path in (args.svg, args.png, args.output):
        _require_writable(path)
    input_shapes = parse_input_shapes(args.input_shape)
    status.show(f"importing {model}")
    mod, params, default_tables, label = load_model(model, input_shapes)
    picked = None
    if args.table:
        tables = tuple(args.table)
    elif default_tables is not None:
        tables = default_tables
    else:
        tables, picked = pick_tables(mod)
    try:
        resolve_tables(tables)
    except ValueError as err:
        raise CliError(str(err)) from None
    arch = chosen[1] if chosen else None
    log = RefusalLog() if args.explain else None
    entries = sum(len(table) for _, table in resolve_tables(tables))
    status.show("preparing the graph")

    def prepared(mod):
        held.release()
        status.clear()
        return log.annotate(mod) if log else mod

    # Shown on stderr, and only once partitioning has taken more than a second.
    with tqdm(total=entries, desc="table entries", unit="entry", delay=1.0, leave=False,
              disable=args.quiet, file=sys.stderr) as progress:
        try:
            with _HeldTvmLog(not args.verbose) as held:
                partitioned = driver.partition(
                    mod, params, tables, arch,
                    wrap_check=log.wrap if log else None,
                    after_prepare=prepared,
                    on_entry=lambda name: progress.update(1),
                    canonicalize=args.canonicalize,
                )
        except tvm.TVMError as err:
            raise CliError(f"partitioning {label} failed: {_first_line(err)}") from None
        finally:
            status.clear()
    summary = summarize(partitioned)
    dynamic = dynamic_inputs(mod, params)
    if log is not None:
        summary["explain"] = explain(partitioned, log)
    composites = partitioned
    if args.regions:
        status.show("forming accelerator regions")
        try:
            with _HeldTvmLog(not args.verbose):
                partitioned = driver.form_regions(partitioned)
        except tvm.TVMError as err:
            raise CliError(f"forming regions of {label} failed: {_first_line(err)}") from None
        finally:
            status.clear()
        summary["regions"] = summarize_regions(partitioned)
    if args.output:
        _write_module(args.output, partitioned)
    if args.verify:
        summary["verify"] = _verify(mod, partitioned, params, label, args, status)
    from tvm.relay.vexa.build_module import BuildConfig  # pylint: disable=import-outside-toplevel

    arch_label = chosen[0] if chosen else str(BuildConfig.current.arch_config.get("arch"))
    picture_title = (f"{label}\ntables {', '.join(tables)} on {arch_label}: "
                     f"{100.0 * summary['offloaded_share']:.1f}% of the work on the accelerator")
    header = {"model": label, "tables": list(tables), "tables_picked_for": picked, "architecture": arch_label,
              "canonicalized": bool(args.canonicalize), "dynamic_inputs": dynamic}
    if args.json:
        json.dump({**header, **summary}, out, indent=2)
        out.write("\n")
        _write_pictures(partitioned if args.regions else composites, args, picture_title)
        return _verdict(summary, label)
    out.write(f"model: {label}\n")
    out.write(f"tables: {', '.join(tables)}" + (f" (picked for a {picked})" if picked else "") + "\n")
    out.write(f"architecture: {arch_label}\n")
    if dynamic:
        out.write(f"dynamic inputs: {', '.join(dynamic)} (fix them with --input-shape NAME=D1,D2,...)\n")
    out.write("\n")
    rows = [["composite", "count"]] + [[name, str(n)] for name, n in summary["composites"].items()]
    width = max(len(row[0]) for row in rows)
    for name, count in rows:
        out.write(f"  {name.ljust(width)}  {count.rjust(5)}\n")
    share = 100.0 * summary["offloaded_share"]
    op_share = 100.0 * summary["operator_share"]
    out.write(f"\noffloaded: {share:.1f}% of the work ({SHARE_BASIS_TEXT})\n")
    out.write(f"operators inside composites: {summary['offloaded']} of {summary['operators']} ({op_share:.1f}%)\n")
    host = summary["host_operators"]
    out.write("left on the host: " + (", ".join(f"{op} {n}" for op, n in host.items()) or "nothing") + "\n")
    if "regions" in summary:
        _print_regions(summary["regions"], out)
    if "explain" in summary:
        _print_explanation(summary["explain"], out)
    if "verify" in summary:
        _print_verification(summary["verify"], out)
    _write_pictures(partitioned if args.regions else composites, args, picture_title)
    return _verdict(summary, label)


def _verify(mod, partitioned, params, label, args, status):
    import tvm  # pylint: disable=import-outside-toplevel

    from vexatvm_internal.verify import verify  # pylint: disable=import-outside-toplevel

    status.show("building both for the CPU and comparing them")
    try:
        with _HeldTvmLog(not args.verbose):
            return verify(mod, partitioned, params)
    except ValueError as err:
        raise CliError(f"cannot verify {label}: {err}") from None
    except tvm.TVMError as err:
        raise CliError(f"verifying {label} failed: {_first_line(err)}") from None
    finally:
        status.clear()


def _print_verification(outputs, out):
    out.write("\nverified on the CPU against the original, on seeded random inputs:\n")
    for item in outputs:
        steps = f" ({item['steps']:g} quantization steps)" if item["steps"] is not None else ""
        verdict = "ok" if item["ok"] else "DIFFERS"
        out.write(f"  output {item['output']} {tuple(item['shape'])} {item['dtype']}: largest difference "
                  f"{item['max_abs']:.3g}{steps}, relative {item['max_rel']:.3g}: {verdict}\n")


def _verdict(summary, label):
    """The exit status: 1, with one line on stderr, when --verify found an output that differs."""
    differing = [item for item in summary.get("verify", ()) if not item["ok"]]
    if not differing:
        return 0
    item = differing[0]
    amount = f"{item['steps']:g} quantization steps" if item["steps"] is not None else f"{item['max_rel']:.3g} of its range"
    sys.stderr.write(f"{PROG}: error: the partition of {label} computes output {item['output']} differently: "
                     f"by {amount}\n")
    return 1


def _print_regions(regions, out, shown=8):
    from vexatvm_internal.summary import size_text as _size  # pylint: disable=import-outside-toplevel

    targets = ", ".join(f"{target} {n}" for target, n in regions["targets"].items())
    out.write(f"\naccelerator regions: {regions['count']}" + (f" ({targets})" if targets else "") + "\n")
    if regions["regions"]:
        sizes = sorted((r["operators"] for r in regions["regions"]), reverse=True)
        more = f", ... ({len(sizes) - shown} more)" if len(sizes) > shown else ""
        out.write(f"  operators per region: {', '.join(map(str, sizes[:shown]))}{more}\n")
        largest = next(r for r in regions["regions"] if r["name"] == regions["largest"])
        out.write(f"  largest: {largest['name']} ({largest['target']}), {largest['operators']} operators, "
                  f"{largest['composites']} composites\n")
    crossings = regions["crossings"]
    to_acc, to_host = crossings["to_accelerator"], crossings["to_host"]
    out.write(f"  crossings per inference: {crossings['tensors']} tensors, {_size(crossings['bytes'])} "
              f"(to the accelerator {to_acc['tensors']}, {_size(to_acc['bytes'])}; "
              f"to the host {to_host['tensors']}, {_size(to_host['bytes'])})\n")


def _require_writable(path):
    """Fail before any work when an output file could not be written."""
    if path is None:
        return
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise CliError(f"cannot write {path}: No such directory")
    if not os.access(directory, os.W_OK) or os.path.isdir(path):
        raise CliError(f"cannot write {path}: Permission denied or a directory")


def _write_pictures(partitioned, args, title):
    """The pictures asked for, of the partition's accelerator regions (formed
    for the picture where --regions did not)."""
    if not (args.svg or args.png):
        return
    from vexatvm_internal import driver  # pylint: disable=import-outside-toplevel
    from vexatvm_internal.picture import render  # pylint: disable=import-outside-toplevel

    if not args.regions:
        with _HeldTvmLog(not args.verbose):
            partitioned = driver.form_regions(partitioned)
    for fmt, path in (("svg", args.svg), ("png", args.png)):
        if path is None:
            continue
        try:
            render(partitioned, path, fmt, title)
        except ImportError:
            raise CliError("pictures need the graphviz package: pip install graphviz") from None
        except OSError as err:
            raise CliError(f"cannot write {path}: {err.strerror or err}") from None
        except Exception as err:  # graphviz reports a missing or failing `dot` with its own errors
            if type(err).__name__ in ("ExecutableNotFound", "CalledProcessError"):
                raise CliError(f"cannot render {path}: Graphviz's dot failed or is not installed") from None
            raise


def _print_explanation(report, out):
    """Per host operator: how many calls, and which entries matched there but refused."""
    by_op = collections.OrderedDict()
    for item in report:
        calls, refusals = by_op.setdefault(item["operator"], [0, collections.Counter()])
        by_op[item["operator"]][0] = calls + 1
        refusals.update(item["refused_by"] or ["no entry matched"])
    out.write("\nwhy they stay on the host (entries that matched there but whose check refused):\n")
    width = max((len(op) for op in by_op), default=0)
    for op, (calls, refusals) in by_op.items():
        reasons = ", ".join(f"{name} x{n}" if n > 1 else name for name, n in refusals.items())
        out.write(f"  {op.ljust(width)}  {calls:>4}  {reasons}\n")
    notes = collections.Counter((item["operator"], item["note"]) for item in report if "note" in item)
    for (op, note), count in notes.items():
        out.write(f"  note: {op} x{count}: {note}\n")


def _example_names():
    from vexatvm_internal.examples_catalogue import CATALOGUE  # pylint: disable=import-outside-toplevel

    return list(CATALOGUE)


def _called_globals(func):
    from tvm import relay  # pylint: disable=import-outside-toplevel

    names = set()

    def visit(node):
        if isinstance(node, relay.Call) and isinstance(node.op, relay.GlobalVar):
            names.add(node.op.name_hint)

    relay.analysis.post_order_visit(func, visit)
    return names


def _check_fusable(models):
    """Name clashes fusion would resolve by losing a function, as errors the
    user must resolve: fusion carries over main and the quantized accelerator
    functions only, and an uncalled quantized function keeps its name."""
    uncalled = {}
    for index, (label, mod) in enumerate(models, start=1):
        called = _called_globals(mod["main"])
        names = {gvar.name_hint for gvar in mod.get_global_vars()}
        for name in sorted(called & names):
            if f"{name}_{index}" in names:
                raise CliError(f"{label}: @{name} would be copied to @{name}_{index}, which the network "
                               "already defines; rename one of them")
        for gvar in mod.get_global_vars():
            name = gvar.name_hint
            if name == "main":
                continue
            attrs = mod[name].attrs
            if not (attrs and "Compiler" in attrs and str(attrs["Compiler"]) == "vexa_qtz"):
                raise CliError(f"{label}: function @{name} would be lost: fusion carries over only "
                               "main and quantized accelerator functions")
            if name not in called:
                if name in uncalled:
                    raise CliError(f"{label}: quantized function @{name} clashes with the one of "
                                   f"{uncalled[name]}; rename one of them")
                uncalled[name] = label


# What Relay's text parser reads back as a variable name.
_RELAY_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_.]*|[0-9]+")


def _write_module(path, mod):
    """Write mod as Relay text, or with tvm.ir.save_json to a .json path,
    which load_model reads back either way. Names that Relay text cannot
    carry (TFLite's "input:0", say) ask for JSON instead."""
    import tvm  # pylint: disable=import-outside-toplevel

    if path.endswith(".json"):
        _write_atomically(path, tvm.ir.save_json(mod))
        return
    unreadable = [p.name_hint for p in mod["main"].params if not _RELAY_NAME.fullmatch(p.name_hint)]
    if unreadable:
        raise CliError(f"cannot write {path} as Relay text: the input name {unreadable[0]!r} would not read back; "
                       f"write JSON instead (a path ending in .json)")
    _write_atomically(path, mod.astext(show_meta_data=True))


def _write_atomically(path, text):
    """Write text to path, leaving no partial file behind on failure."""
    directory = os.path.dirname(os.path.abspath(path))
    try:
        fd, tmp = tempfile.mkstemp(prefix=".vexatvm-", dir=directory)
    except OSError as err:
        raise CliError(f"cannot write {path}: {err.strerror}") from None
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as stream:
            stream.write(text)
        os.replace(tmp, path)
    except OSError as err:
        os.unlink(tmp)
        raise CliError(f"cannot write {path}: {err.strerror}") from None
    except BaseException:
        os.unlink(tmp)
        raise


def cmd_fuse(args, out):
    import tvm  # pylint: disable=import-outside-toplevel

    from vexatvm_internal import netunion  # pylint: disable=import-outside-toplevel

    models, params_list = [], []
    for path in args.models:
        if path.endswith(".onnx"):
            mod, params = load_onnx(path, freeze_params=False)
        else:
            mod, params, _, _ = load_model(path)
        models.append((path, mod))
        params_list.append(dict(params))
    _require_writable(args.output)
    _check_fusable(models)
    try:
        fused, fused_params = netunion.fuse_netunion([m for _, m in models], params_list, args.share_input)
        fused = tvm.relay.transform.InferType()(fused)
    except tvm.TVMError as err:
        raise CliError(f"fusion failed: {_first_line(err)}") from None
    if args.output:
        _write_module(args.output, fused)

    main = fused["main"]
    inputs = [p.name_hint for p in main.params if p.name_hint not in fused_params]
    quantized = sorted(gv.name_hint for gv in fused.get_global_vars() if gv.name_hint != "main")
    report = {
        "networks": [label for label, _ in models],
        "share_input": bool(args.share_input),
        "inputs": inputs,
        "parameters": len(fused_params),
        "quantized_functions": quantized,
        "output": args.output,
    }
    if args.json:
        json.dump(report, out, indent=2)
        out.write("\n")
        return 0
    out.write(f"networks: {len(models)} ({', '.join(report['networks'])})\n")
    out.write(f"inputs: {', '.join(inputs) or 'none'}{' (shared)' if args.share_input else ''}\n")
    out.write(f"parameters: {len(fused_params)}\n")
    out.write(f"quantized functions: {', '.join(quantized) or 'none'}\n")
    if args.output:
        out.write(f"written: {args.output}\n")
    return 0


def _jobs(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, not {value}")
    return value


def build_parser():
    parser = argparse.ArgumentParser(prog=PROG, description="Vexa accelerator front end for TVM Relay.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    arch = commands.add_parser(
        "arch",
        help="list the built-in architectures or query one",
        description="List the built-in architectures and their parameters, or answer one query.",
    )
    arch.add_argument("name", nargs="?", help="built-in architecture name")
    arch.add_argument("param", nargs="?", help="print only this parameter's value")
    arch.add_argument("--arch-file", metavar="FILE", help="YAML architecture description")
    arch.add_argument("--supports", metavar="OPERATOR", help="ask whether OPERATOR is supported")
    arch.add_argument("--json", action="store_true", help="machine-readable output")
    arch.set_defaults(run=cmd_arch)

    partition = commands.add_parser(
        "partition",
        help="partition a model for an architecture and show what runs on the accelerator",
        description="Partition a model with the accelerator's pattern tables and summarise the result.",
    )
    partition.add_argument(
        "model", nargs="+", metavar="MODEL",
        help="ONNX file, TFLite file, Relay text file, or a built-in example: " + ", ".join(_example_names())
        + "; several are partitioned one after the other",
    )
    partition.add_argument("--table", action="append", metavar="NAME",
                           help="pattern table to apply; repeat to apply several in order (default: picked from "
                           "the graph: vexa for a quantized graph, vexa_blocks then vexa_fp32 for a float graph; "
                           "a built-in example's own tables)")
    partition.add_argument("--input-shape", action="append", metavar="NAME=D1,D2,...",
                           help="fix the shape of an input at import, e.g. input=1,3,224,224; repeatable")
    partition.add_argument("--arch", action="append", metavar="NAME",
                           help="built-in architecture (default: the current build configuration); repeat to "
                           "partition every model for each")
    partition.add_argument("--arch-file", metavar="FILE", help="YAML architecture description")
    partition.add_argument("--json", action="store_true",
                           help="machine-readable output; a list of the reports for several models or architectures")
    partition.add_argument("--jobs", type=_jobs, default=1, metavar="N",
                           help="partition that many model and architecture combinations at once, each in a "
                           "process of its own (default: 1, one after the other)")
    partition.add_argument("--quiet", action="store_true", help="no progress bar")
    partition.add_argument("--svg", metavar="FILE", help="write a picture of the partitioned graph, composites coloured by name")
    partition.add_argument("--png", metavar="FILE", help="the same picture as PNG")
    partition.add_argument(
        "--canonicalize", action=argparse.BooleanOptionalAction, default=True,
        help="first rewrite forms real exports take into the forms the tables capture: quantized "
        "dequantize -> op -> quantize regions into QNN operators, data movement on constants folded, "
        "NCHW and full-shape biases, attention scaled on query and key or after the product, layer norm "
        "with variance, int8 squares written as power, dense and NHWC convolution biases (default: on; "
        "--no-canonicalize gives the plain preparation)",
    )
    partition.add_argument(
        "--regions", action="store_true",
        help="go on from composites to accelerator regions (AnnotateTarget, MergeCompilerRegions, PartitionGraph: "
        "int8 regions for vexa_qtz, float ones for vexa_fp32) and report them with the tensors that cross "
        "between host and accelerator")
    partition.add_argument(
        "--verify", action="store_true",
        help="build the original and the partition (regions and composites inlined) for the CPU, run both on "
        "the same seeded random inputs and report the largest difference per output, in quantization steps for "
        "a quantized output; exit status 1 beyond float rounding or one step")
    partition.add_argument("-o", "--output", metavar="FILE",
                           help="write the partitioned module (with --regions, its regions) as Relay text, or "
                           "with tvm.ir.save_json to a path ending in .json; `vexatvm fuse` reads either")
    partition.add_argument("--verbose", action="store_true", help="also show TVM's warnings")
    partition.add_argument(
        "--explain", action="store_true",
        help="for each operator left on the host, the table entries whose pattern matched there but whose check refused",
    )
    partition.set_defaults(run=cmd_partition)

    fuse = commands.add_parser(
        "fuse",
        help="fuse several networks into one module",
        description="Fuse networks (ONNX, TFLite or Relay text files, or built-in examples) into one Relay module "
        "whose main returns every network's outputs, with names made unique per network.",
    )
    fuse.add_argument("models", nargs="+", metavar="MODEL", help="networks to fuse, in order")
    fuse.add_argument("--share-input", action="store_true", help="make every network read the first network's input")
    fuse.add_argument("-o", "--output", metavar="FILE",
                      help="write the fused module as Relay text, or with tvm.ir.save_json to a path ending in .json")
    fuse.add_argument("--json", action="store_true", help="machine-readable output")
    fuse.set_defaults(run=cmd_fuse)
    return parser


def main(argv=None, out=None):
    out = sys.stdout if out is None else out
    args = build_parser().parse_args(argv)
    try:
        return args.run(args, out)
    except CliError as err:
        sys.stderr.write(f"{PROG}: error: {err}\n")
        return 1
    except KeyboardInterrupt:
        sys.stderr.write(f"{PROG}: interrupted\n")
        return 130
    except Exception as err:  # pylint: disable=broad-except
        sys.stderr.write(f"{PROG}: error: {_error_message(err)}\n")
        return 1


def _error_message(err):
    """One line for any failure. Never a traceback: the native library not
    found, TVM failing in a pass, or a fault of ours, all end as one line."""
    lines = [line.strip() for line in str(err).splitlines() if line.strip()]
    from_tvm = type(err).__module__.startswith("tvm")
    message = (lines[-1] if from_tvm else lines[0]) if lines else type(err).__name__
    if not isinstance(err, (RuntimeError, OSError)):
        message = f"{type(err).__name__}: {message}"
    return message
