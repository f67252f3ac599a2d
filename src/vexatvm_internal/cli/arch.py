"""`vexatvm arch`: the built-in architectures and single queries about one."""

import json

import yaml

from .archs import builtin_architectures, describe, known_operators, load_arch
from .common import CliError
from .native import require_parameter


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

            # A misspelt name would answer "no" like an operator the architecture lacks.
            known = known_operators(text)
            if args.supports not in known:
                raise CliError(f"unknown operator {args.supports!r} (known: {', '.join(known)})")
            supported = arch_supports_operator(text, args.supports)
            if args.json:
                json.dump({"architecture": label, "operator": args.supports, "supported": supported}, out)
                out.write("\n")
            else:
                out.write(("yes" if supported else "no") + "\n")
            return 0
        if args.param is not None:
            value = require_parameter(text, args.param, f"{label}, parameter {args.param!r}")
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
