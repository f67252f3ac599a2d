"""`vexatvm fuse`: several networks as one module."""

import json

from vexatvm_internal.errors import error_line

from .common import CliError
from .files import inputs_of, require_apart, require_module_path, require_writable, write_module
from .models import load_model, load_onnx


def _called_globals(func):
    from tvm import relay  # pylint: disable=import-outside-toplevel

    from vexatvm_internal.report.summary import walk  # pylint: disable=import-outside-toplevel

    names = set()

    def visit(node):
        if isinstance(node, relay.Call) and isinstance(node.op, relay.GlobalVar):
            names.add(node.op.name_hint)

    walk(func, visit)  # iterative: inputs may be tens of thousands of nodes deep
    return names


def _check_fusable(models):
    """Name clashes fusion would resolve by losing a function, as errors the
    user must resolve: fusion carries over main and the quantized accelerator
    functions only, and an uncalled quantized function keeps its name."""
    uncalled: dict[str, str] = {}
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
                raise CliError(f"{label}: function @{name} would be lost: fusion carries over only main and "
                               "int8 accelerator regions (vexa_qtz); fuse the networks as imported and "
                               "partition the fused module instead")
            if name not in called:
                if name in uncalled:
                    raise CliError(f"{label}: quantized function @{name} clashes with the one of "
                                   f"{uncalled[name]}; rename one of them")
                uncalled[name] = label


def _check_shared_inputs(models, params_list):
    """--share-input makes every network read the first network's input:
    inputs of another shape or type are refused, naming both."""
    first = None
    for (label, mod), params in zip(models, params_list):
        for param in mod["main"].params:
            if param.name_hint in params:
                continue
            kind = str(param.type_annotation)
            if first is None:
                first = (label, param.name_hint, kind)
            elif kind != first[2]:
                raise CliError(f"{label}: --share-input: input {param.name_hint} is {kind}, but the shared input "
                               f"{first[1]} of {first[0]} is {first[2]}; fuse without --share-input")


def cmd_fuse(args, out):
    require_module_path(args.output)
    require_writable(args.output)
    require_apart([("-o", args.output)], [path for model in args.models for path in inputs_of(model)])

    import tvm  # pylint: disable=import-outside-toplevel

    from vexatvm_internal import netunion  # pylint: disable=import-outside-toplevel

    models, params_list = [], []
    for path in args.models:
        if path.endswith(".onnx"):
            mod, params = load_onnx(path, freeze_params=False, verbose=args.verbose)
        else:
            mod, params, _, _, _ = load_model(path, verbose=args.verbose)
        models.append((path, mod))
        params_list.append(dict(params))
    _check_fusable(models)
    if args.share_input:
        _check_shared_inputs(models, params_list)
    from vexatvm_internal.flow.reader import first_diagnostic  # pylint: disable=import-outside-toplevel

    try:
        with first_diagnostic() as diagnostic:
            fused, fused_params = netunion.fuse_netunion([m for _, m in models], params_list, args.share_input)
            fused = tvm.relay.transform.InferType()(fused)
    except tvm.TVMError as err:
        raise CliError(f"fusion failed: {diagnostic[0] if diagnostic else error_line(err)}") from None
    if args.output:
        # The weights go into the file as constants: it reads back alone.
        write_module(args.output, fused, fused_params)

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
