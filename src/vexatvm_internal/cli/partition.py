"""`vexatvm partition`: partition models for architectures and report what runs on the accelerator."""

import argparse
import collections
import contextlib
import dataclasses
import io
import json
import os
import subprocess
import sys
from typing import Any, Iterable, Optional

from vexatvm_internal.errors import error_line, error_message

from .archs import load_arch
from . import interrupts
from .arguments import command_line
from .common import CliError, PROG
from .files import inputs_of, require_apart, require_module_path, require_writable, write_module
from .models import load_model, parse_dims, parse_input_shapes
from .terminal import HeldTvmLog, Status


def cmd_partition(args, out):
    archs = args.arch or [None]
    combinations = [(model, arch) for model in args.model for arch in archs]
    _check_arguments(args, len(combinations))
    if len(combinations) == 1:
        return partition_one(args, *combinations[0], out)
    return _partition_combinations(args, combinations, out)


_PICTURE_SUFFIXES = (".svg", ".png", ".pdf", ".jpg", ".jpeg", ".gif")


def _check_arguments(args, combinations):
    """Mistakes in the arguments, each refused in one line before any long work."""
    if args.arch and args.arch_file is not None:
        raise CliError("give --arch or --arch-file, not both")
    for name in args.arch or ():
        load_arch(name, None)
    if args.arch_file is not None:
        load_arch(None, args.arch_file)
    parse_input_shapes(args.input_shape)
    parse_dims(args.dim)
    if combinations > 1 and (args.svg or args.png or args.output):
        raise CliError("--svg, --png and --output take one model and one architecture")
    for flag, path, suffix in (("--svg", args.svg, ".svg"), ("--png", args.png, ".png")):
        ending = os.path.splitext(path or "")[1].lower()
        if ending in _PICTURE_SUFFIXES and ending != suffix:
            other = {".svg": " (--svg writes SVG)", ".png": " (--png writes PNG)"}.get(ending, "")
            raise CliError(f"{flag} {path}: {flag} writes {suffix[1:].upper()}, not {ending[1:].upper()}; "
                           f"give a path ending in {suffix}{other}")
    require_module_path(args.output)
    outputs = [("-o", args.output), ("--svg", args.svg), ("--png", args.png)]
    for _, path in outputs:
        require_writable(path)
    inputs = [path for model in args.model for path in inputs_of(model)] + [args.arch_file]
    require_apart(outputs, inputs)


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


# Options the parent keeps: the combinations it runs, and what takes one only.
_PARENT_ONLY = ("jobs", "svg", "png", "output")


def _child_argv(args, model, arch):
    """The command partitioning one combination in a process of its own, with
    the parent's arguments but for the models, --arch and _PARENT_ONLY, quiet."""
    parser = args.parser
    child = argparse.Namespace(**vars(args))
    for dest in _PARENT_ONLY:
        setattr(child, dest, parser.get_default(dest))
    child.model, child.arch, child.quiet = [model], None if arch is None else [arch], True
    return [sys.executable, "-m", "vexatvm_internal", "partition"] + command_line(parser, child)


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
    results: Iterable[tuple[Optional[str], Optional[str]]]
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
    reports: list[Any] = []
    failed = False
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


@dataclasses.dataclass
class _LoadedModel:
    """A model as loaded, with the tables to apply to it."""

    mod: Any
    params: Any
    label: str
    tables: tuple[str, ...]
    picked_for: Optional[str]  # the kind of graph the tables were picked for, None when not picked
    axis_names: dict[str, dict[int, str]]  # the names the file gives to axes of its inputs


def partition_one(args, model, arch_name, out):
    """Partitions one model for one architecture (a built-in name, or None for
    --arch-file or the current build configuration) and writes the report."""
    status = Status(not args.quiet)
    _load_tvm(status, model)
    chosen = load_arch(arch_name, args.arch_file)
    if args.table:
        _resolve_tables(args.table)
    loaded = _load(model, args, status)
    log = _refusal_log(args)
    dynamic = _dynamic_axes(loaded)
    composites = _partition(loaded, chosen[1] if chosen else None, log, args, status)
    summary = _summarize(composites, log, loaded.tables)
    partitioned = _form_regions(composites, summary, loaded.label, args, status) if args.regions else composites
    if args.output:
        interrupts.checkpoint()
        write_module(args.output, partitioned)
    if args.verify:
        summary["verify"] = _verify(loaded, partitioned, args, status)
    header = _header(loaded, dynamic, chosen, args)
    _write_report(header, summary, args.json, out)
    _write_pictures(partitioned, args, _picture_title(header, summary))
    return _verdict(summary, loaded.label)


def _load_tvm(status, model):
    """TVM and the flow, imported while the status line says so; torch
    first for a TorchScript model (torch loaded after TVM can crash)."""
    status.show("loading TVM")
    # pylint: disable=import-outside-toplevel,unused-import
    from vexatvm_internal.flow.reader import is_torchscript

    if os.path.isfile(model) and is_torchscript(model):
        with contextlib.suppress(ImportError):
            import torch  # noqa: F401
    import tvm  # noqa: F401
    import tqdm  # noqa: F401

    from vexatvm_internal.flow import reader  # noqa: F401
    from vexatvm_internal.report import summary  # noqa: F401
    from vexatvm_internal.flow import driver  # noqa: F401


def _load(model, args, status):
    input_shapes = parse_input_shapes(args.input_shape)
    status.show(f"importing {model}")
    mod, params, default_tables, label, axis_names = load_model(model, input_shapes, args.verbose,
                                                                 parse_dims(args.dim))
    tables, picked_for = _choose_tables(args.table, default_tables, mod)
    return _LoadedModel(mod, params, label, tables, picked_for, axis_names)


def _choose_tables(asked, default_tables, mod):
    """(tables, the kind of graph they were picked for or None): those asked
    for, else the built-in example's, else those picked for the graph."""
    from vexatvm_internal.flow import driver  # pylint: disable=import-outside-toplevel

    if asked:
        tables, picked_for = tuple(asked), None
    elif default_tables is not None:
        tables, picked_for = default_tables, None
    else:
        tables, picked_for = driver.pick_tables(mod)
    _resolve_tables(tables)
    return tables, picked_for


def _resolve_tables(tables):
    from vexatvm_internal.flow import driver  # pylint: disable=import-outside-toplevel

    try:
        driver.resolve_tables(tables)
    except ValueError as err:
        raise CliError(f"--table: {err}") from None


def _refusal_log(args):
    """What --explain records of the checks that refused, or None."""
    from vexatvm_internal.report.summary import RefusalLog  # pylint: disable=import-outside-toplevel

    return RefusalLog() if args.explain else None


@contextlib.contextmanager
def _tvm_stage(failed, verbose):
    """TVM's log held back (see HeldTvmLog), and unless verbose its
    diagnostics too: a TVM error ends the stage in one line, "<failed>
    failed: <TVM's first diagnostic or its message>". Yields the held log."""
    import tvm  # pylint: disable=import-outside-toplevel

    from vexatvm_internal.flow.reader import first_diagnostic  # pylint: disable=import-outside-toplevel

    found: list[str] = []
    try:
        with HeldTvmLog(not verbose) as held, (contextlib.nullcontext(found) if verbose else first_diagnostic()) as found:
            yield held
    except tvm.TVMError as err:
        raise CliError(f"{failed} failed: {found[0] if found else error_line(err)}") from None


def _partition(loaded, arch, log, args, status):
    """The module with the composites merged in, a progress bar counting the table entries."""
    from tqdm import tqdm  # pylint: disable=import-outside-toplevel

    from vexatvm_internal.flow import driver  # pylint: disable=import-outside-toplevel

    entries = sum(len(table) for _, table in driver.resolve_tables(loaded.tables))
    status.show("preparing the graph")
    # Only --verify runs the module as read again: otherwise it is handed
    # over, and weights change layout in their own memory.
    source = loaded.mod
    if not args.verify:
        source, loaded.mod = driver.Handover(loaded.mod), None

    def prepared(mod):
        held.release()
        status.clear()
        return log.annotate(mod) if log else mod

    # Shown on stderr, and only once partitioning has taken more than a second.
    with tqdm(total=entries, desc="table entries", unit="entry", delay=1.0, leave=False,
              disable=args.quiet, file=sys.stderr) as progress:
        try:
            with _tvm_stage(f"partitioning {loaded.label}", args.verbose) as held:
                return driver.partition(
                    source, loaded.params, loaded.tables, arch,
                    wrap_check=log.wrap if log else None,
                    after_prepare=prepared,
                    # Called from the tables' own loop, between TVM's passes: a safe point.
                    on_entry=lambda name: (interrupts.checkpoint(), progress.update(1)),
                    canonicalize=args.canonicalize,
                )
        finally:
            status.clear()


def _dynamic_axes(loaded):
    """{input of dynamic shape: names of its dynamic axes}."""
    from vexatvm_internal.flow.reader import dynamic_axes  # pylint: disable=import-outside-toplevel

    return dynamic_axes(loaded.mod, loaded.params, loaded.axis_names)


def _summarize(composites, log, tables):
    from vexatvm_internal.report.summary import explain, summarize  # pylint: disable=import-outside-toplevel

    summary = summarize(composites)
    if log is not None:
        summary["explain"] = explain(composites, log, tables)
    return summary


def _form_regions(composites, summary, label, args, status):
    """The accelerator regions of the composites; their summary goes into summary."""
    from vexatvm_internal.flow import driver  # pylint: disable=import-outside-toplevel
    from vexatvm_internal.report.summary import summarize_regions  # pylint: disable=import-outside-toplevel

    status.show("forming accelerator regions")
    try:
        with _tvm_stage(f"forming regions of {label}", args.verbose):
            regions = driver.form_regions(composites)
    finally:
        status.clear()
    summary["regions"] = summarize_regions(regions)
    return regions


def _verify(loaded, partitioned, args, status):
    from vexatvm_internal.flow.check import verify  # pylint: disable=import-outside-toplevel

    status.show("verifying")
    try:
        with _tvm_stage(f"verifying {loaded.label}", args.verbose):
            return verify(loaded.mod, partitioned, loaded.params, on_stage=status.show)
    except ValueError as err:
        raise CliError(f"cannot verify {loaded.label}: {err}") from None
    finally:
        status.clear()


def _header(loaded, dynamic, chosen, args):
    """What the report says first: the model, tables, architecture and how it was read."""
    from tvm.relay.vexa.build_module import BuildConfig  # pylint: disable=import-outside-toplevel

    arch_label = chosen[0] if chosen else str(BuildConfig.current.arch_config.get("arch"))
    return {"model": loaded.label, "tables": list(loaded.tables), "tables_picked_for": loaded.picked_for,
            "architecture": arch_label, "canonicalized": bool(args.canonicalize), "dynamic_inputs": list(dynamic),
            "dynamic_axes": dynamic}


def _picture_title(header, summary):
    return (f"{header['model']}\ntables {', '.join(header['tables'])} on {header['architecture']}: "
            f"{100.0 * summary['offloaded_share']:.1f}% of the work on the accelerator")


def _write_report(header, summary, as_json, out):
    if as_json:
        json.dump({**header, **summary}, out, indent=2)
        out.write("\n")
        return
    _print_header(header, out)
    _print_composites(summary, out)
    if "regions" in summary:
        _print_regions(summary["regions"], out)
    if "explain" in summary:
        _print_explanation(summary["explain"], out)
    if "verify" in summary:
        _print_verification(summary["verify"], out)


def _print_header(header, out):
    picked_for = header["tables_picked_for"]
    out.write(f"model: {header['model']}\n")
    out.write(f"tables: {', '.join(header['tables'])}" + (f" (picked for a {picked_for})" if picked_for else "") + "\n")
    out.write(f"architecture: {header['architecture']}\n")
    if header["dynamic_axes"]:
        out.write(_dynamic_axes_line(header["dynamic_axes"]) + "\n")
    out.write("\n")


def _dynamic_axes_line(dynamic):
    """"dynamic axes: ids[batch, seq]; fix them with --dim batch=1 --dim seq=N", an
    unnamed axis "?" and fixed with --input-shape."""
    axes = ", ".join(f"{name}[{', '.join(axis or '?' for axis in names)}]" for name, names in dynamic.items())
    named = dict.fromkeys(axis for names in dynamic.values() for axis in names if axis)
    flags = [f"--dim {axis}={1 if 'batch' in axis.lower() else 'N'}" for axis in named]
    flags += [f"--input-shape {name}=D1,D2,..." for name, names in dynamic.items() if None in names]
    return f"dynamic axes: {axes}; fix them with {' '.join(flags)}"


def _print_composites(summary, out):
    from vexatvm_internal.report.summary import SHARE_BASIS_TEXT  # pylint: disable=import-outside-toplevel

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
    from vexatvm_internal.report.summary import size_text as _size  # pylint: disable=import-outside-toplevel

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
    from vexatvm_internal.flow import driver  # pylint: disable=import-outside-toplevel
    from vexatvm_internal.report.picture import render  # pylint: disable=import-outside-toplevel

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
    """Host operators in two groups: those an entry matched but its check
    refused, each line an entry and its reason with a count; and those no
    entry matched, with the entry that nearly did where one is known."""
    refused: dict[str, list[Any]] = {}
    unmatched: dict[str, list[Any]] = {}
    for item in report:
        group = refused if item["refusals"] else unmatched
        calls, reasons = group.setdefault(item["operator"], [0, collections.Counter()])
        group[item["operator"]][0] = calls + 1
        if item["refusals"]:
            reasons.update((r["entry"], r["reason"]) for r in item["refusals"])
        elif "nearest" in item:
            reasons[("nearest " + item["nearest"]["entry"], item["nearest"]["reason"])] += 1
    width = max((len(op) for op in (*refused, *unmatched)), default=0)

    def rows(group):
        for op, (calls, reasons) in group.items():
            lead = f"  {op.ljust(width)}  {calls:>4}  "
            # Each entry's reasons together, entries in the order they refused, the commonest reason first.
            first: dict[str, int] = {}
            for entry, _ in reasons:
                first.setdefault(entry, len(first))
            ordered = sorted(reasons.items(), key=lambda kv: (first[kv[0][0]], -kv[1]))
            lines = [f"{entry}: {reason}" + (f" (x{n})" if n > 1 else "") for (entry, reason), n in ordered] or [""]
            out.write((lead + lines[0]).rstrip() + "\n")
            for line in lines[1:]:
                out.write(" " * len(lead) + line + "\n")

    if refused:
        out.write("\nwhy they stay on the host, by the checks that refused them (entry: reason):\n")
        rows(refused)
    if unmatched:
        out.write("\nleft on the host because no entry's pattern matched there:\n")
        rows(unmatched)
