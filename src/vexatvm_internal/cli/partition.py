"""`vexatvm partition`: partition models for architectures and report what runs on the accelerator."""

import collections
import io
import json
import subprocess
import sys

from vexatvm_internal.loading import error_line as _first_line

from .common import (
    CliError,
    PROG,
    Status,
    HeldTvmLog,
    error_message,
    require_writable,
    write_module,
    load_arch,
    load_model,
    parse_input_shapes,
)


def pick_tables(mod):
    """The tables for a graph: "vexa" for a quantized one, else the block
    table and then the float table."""
    from vexatvm_internal.summary import operator_names  # pylint: disable=import-outside-toplevel

    if any(name.startswith("qnn.") for name in operator_names(mod["main"])):
        return ("vexa",), "quantized graph"
    return ("vexa_blocks", "vexa_fp32"), "float graph"


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
        return None, error_message(err)
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
        require_writable(path)
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
            with HeldTvmLog(not args.verbose) as held:
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
            with HeldTvmLog(not args.verbose):
                partitioned = driver.form_regions(partitioned)
        except tvm.TVMError as err:
            raise CliError(f"forming regions of {label} failed: {_first_line(err)}") from None
        finally:
            status.clear()
        summary["regions"] = summarize_regions(partitioned)
    if args.output:
        write_module(args.output, partitioned)
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
        with HeldTvmLog(not args.verbose):
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


def _write_pictures(partitioned, args, title):
    """The pictures asked for, of the partition's accelerator regions (formed
    for the picture where --regions did not)."""
    if not (args.svg or args.png):
        return
    from vexatvm_internal import driver  # pylint: disable=import-outside-toplevel
    from vexatvm_internal.picture import render  # pylint: disable=import-outside-toplevel

    if not args.regions:
        with HeldTvmLog(not args.verbose):
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
