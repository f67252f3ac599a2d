"""What a partitioned module runs on the accelerator, and what it leaves on the host."""

import collections
import math

import tvm
from tvm import relay
from tvm.ir import Op

__all__ = ["summarize", "summarize_regions", "region_function", "composite_name", "inside_composites", "type_bytes", "size_text", "RefusalLog", "NO_REASON", "explain", "walk", "operator_names", "call_work"]


def region_function(mod, call):
    """The accelerator region ``call`` calls: a global function of ``mod``
    with a "Compiler"; None for any other call or node."""
    if isinstance(call, relay.Call) and isinstance(call.op, relay.GlobalVar):
        func = mod[call.op]
        if isinstance(func, relay.Function) and func.attrs and "Compiler" in func.attrs:
            return func
    return None


def composite_name(node):
    """The "Composite" name of a composite function; None for any other node."""
    if isinstance(node, relay.Function) and node.attrs and "Composite" in node.attrs:
        return str(node.attrs["Composite"])
    return None


def inside_composites(body):
    """The handles of every node inside a composite function under ``body``."""
    inside = set()

    def mark(node):
        if composite_name(node) is not None:
            walk(node.body, lambda inner: inside.add(inner.handle.value))

    walk(body, mark)
    return inside


def _children(node, regions):
    if isinstance(node, relay.Call):
        op = node.op
        if regions is not None and isinstance(op, relay.GlobalVar):
            op = region_function(regions, node)
        return ([op] if isinstance(op, relay.Function) else []) + list(node.args)
    if isinstance(node, relay.Tuple):
        return list(node.fields)
    if isinstance(node, relay.TupleGetItem):
        return [node.tuple_value]
    if isinstance(node, relay.Function):
        return [node.body]
    if isinstance(node, relay.Let):
        return [node.value, node.body]
    if isinstance(node, relay.If):
        return [node.cond, node.true_branch, node.false_branch]
    return []


def walk(expr, visit, regions=None):
    """Calls visit(node) once per node reachable from expr, children first,
    functions called in place included, and with ``regions`` (the module)
    the accelerator regions called from expr too. Iterative: TVM's
    post_order_visit recurses and exhausts the C stack on graphs tens of
    thousands deep."""
    seen = set()
    stack = [(expr, False)]
    while stack:
        node, expanded = stack.pop()
        key = node.handle.value
        if expanded:
            visit(node)
            continue
        if key in seen:
            continue
        seen.add(key)
        stack.append((node, True))
        for child in reversed(_children(node, regions)):
            if child.handle.value not in seen:
                stack.append((child, False))


SHARE_BASIS = "work"
SHARE_BASIS_TEXT = ("work: multiply-accumulates of convolutions and matrix products, "
                    "output elements of every other operator")


def summarize(mod):
    """Counts over the ``main`` function of a partitioned module.

    Returns a dict with ``composites`` (composite name -> number of calls),
    ``operators`` (all operator calls, inside composites included),
    ``offloaded`` (operator calls inside composites), ``operator_share``
    (their share of the calls), ``host_operators`` (operator name -> calls
    left outside composites), and ``offloaded_share``: the share of the
    work inside composites, where a convolution or matrix product counts its
    multiply-accumulates and any other operator its output elements. Unlike
    a count of calls, that share does not move when a rewrite merges or
    splits operators. ``share_basis`` names it. Composites inside
    accelerator regions count as those called from main do.
    """
    every, every_work = _operator_calls(mod["main"].body, mod)  # walk enters called functions
    inside: collections.Counter[str] = collections.Counter()
    composites: collections.Counter[str] = collections.Counter()
    inside_work = 0

    def visit(node):
        nonlocal inside_work
        name = composite_name(node)
        if name is not None:
            composites[name] += 1
            counts, work = _operator_calls(node.body)
            inside.update(counts)
            inside_work += work

    walk(mod["main"].body, visit, mod)
    host = every - inside
    total = sum(every.values())
    offloaded = sum(inside.values())
    return {
        "composites": dict(sorted(composites.items())),
        "operators": total,
        "offloaded": offloaded,
        "operator_share": offloaded / total if total else 0.0,
        "offloaded_share": inside_work / every_work if every_work else 0.0,
        "share_basis": SHARE_BASIS,
        "host_operators": dict(host.most_common()),
    }


def summarize_regions(mod):
    """The accelerator regions of a module partitioned with regions, and what
    crosses between host and accelerator per inference.

    Every input of a region call that is not a constant is a tensor sent to
    the accelerator, and every output a tensor sent back, even where one
    region feeds another: each region is a call of its own from the host.
    Returns ``count``, ``targets`` (code generator -> regions), ``regions``
    (per region in main's order: ``name``, ``target``, ``operators``,
    ``composites``, tensors and bytes in and out), ``largest`` (the name of
    the region with the most operators, or None) and ``crossings``
    (``tensors`` and ``bytes`` in all, ``to_accelerator`` and ``to_host``
    each as ``{"tensors", "bytes"}``)."""
    regions = []

    def visit(node):
        func = region_function(mod, node)
        if func is None:
            return
        target = func.attrs["Compiler"]
        counts, _ = _operator_calls(func.body)
        composites: collections.Counter[str] = collections.Counter()
        walk(func.body, lambda n: composites.update([name] if (name := composite_name(n)) is not None else []))
        inputs = [arg.checked_type for arg in node.args if not isinstance(arg, relay.Constant)]
        regions.append({
            "name": node.op.name_hint, "target": str(target), "operators": sum(counts.values()),
            "composites": sum(composites.values()),
            "inputs": sum(_tensors(ty) for ty in inputs), "input_bytes": sum(type_bytes(ty) for ty in inputs),
            "outputs": _tensors(node.checked_type), "output_bytes": type_bytes(node.checked_type),
        })

    walk(mod["main"].body, visit)
    to_accelerator = {"tensors": sum(r["inputs"] for r in regions), "bytes": sum(r["input_bytes"] for r in regions)}
    to_host = {"tensors": sum(r["outputs"] for r in regions), "bytes": sum(r["output_bytes"] for r in regions)}
    return {
        "count": len(regions),
        "targets": dict(sorted(collections.Counter(r["target"] for r in regions).items())),
        "largest": max(regions, key=lambda r: r["operators"])["name"] if regions else None,
        "crossings": {"tensors": to_accelerator["tensors"] + to_host["tensors"],
                      "bytes": to_accelerator["bytes"] + to_host["bytes"],
                      "to_accelerator": to_accelerator, "to_host": to_host},
        "regions": regions,
    }


def size_text(count):
    """A byte count as people read it: 64 bytes, 18.1 KB, 12.9 MB."""
    for unit in ("bytes", "KB", "MB"):
        if count < 1024 or unit == "MB":
            return f"{count} {unit}" if unit == "bytes" else f"{count:.1f} {unit}"
        count /= 1024
    return ""


def _tensors(ty):
    return sum(_tensors(field) for field in ty.fields) if isinstance(ty, relay.TupleType) else 1


def type_bytes(ty):
    """Bytes of a value of type ty, tuples summed; a dimension that is not a fixed integer counts as 1."""
    if isinstance(ty, relay.TupleType):
        return sum(type_bytes(field) for field in ty.fields)
    if not isinstance(ty, relay.TensorType):
        return 0
    return math.prod(_extents(ty)) * ((tvm.DataType(ty.dtype).bits * tvm.DataType(ty.dtype).lanes + 7) // 8)


def _operator_calls(expr, regions=None):
    """(operator name -> number of calls, their work) in expr, functions it
    calls included (and the regions of module ``regions``)."""
    counts: collections.Counter[str] = collections.Counter()
    work = 0

    def visit(node):
        nonlocal work
        if isinstance(node, relay.Call) and isinstance(node.op, Op):
            counts[node.op.name] += 1
            work += call_work(node)

    walk(expr, visit, regions)
    return counts, work


def operator_names(expr):
    """Names of the operators called in expr, functions it calls included."""
    names = set()

    def visit(node):
        if isinstance(node, relay.Call) and isinstance(node.op, Op):
            names.add(node.op.name)

    walk(expr, visit)
    return names


def _extents(ty):
    """Static extents of a tensor type; a dimension that is not a fixed integer counts as 1."""
    return [int(dim) if isinstance(dim, tvm.tir.IntImm) else 1 for dim in getattr(ty, "shape", ())]


def _elements(ty):
    if isinstance(ty, relay.TupleType):
        return sum(_elements(field) for field in ty.fields)
    return math.prod(_extents(ty)) if isinstance(ty, relay.TensorType) else 1


_PRODUCTS = {"nn.dense", "qnn.dense", "nn.matmul", "nn.batch_matmul", "qnn.batch_matmul"}
_CONVOLUTIONS = {"nn.conv1d", "nn.conv2d", "nn.conv3d", "qnn.conv2d", "nn.conv2d_transpose", "qnn.conv2d_transpose"}


def call_work(call):
    """Multiply-accumulates of a convolution or matrix product; output elements of any other call."""
    try:
        out = _elements(call.checked_type)
    except ValueError:  # no type inferred
        return 1
    name = call.op.name
    try:
        if name in _CONVOLUTIONS:
            kernel = _extents(call.args[1].checked_type)
            layout = str(call.attrs.kernel_layout)
            outputs = kernel[layout.index("O")] if "O" in layout else 0
            return max(out * math.prod(kernel) // outputs, out) if outputs else out
        if name in _PRODUCTS:
            data = _extents(call.args[0].checked_type)
            transposed = bool(getattr(call.attrs, "transpose_a", False))
            reduced = data[-2] if transposed and len(data) > 1 else data[-1] if data else 1
            return out * max(reduced, 1)
    except (ValueError, AttributeError):
        pass
    return out


def _span_key(expr):
    span = expr.span
    return None if span is None else (span.source_name.name, span.line, span.column)


class RefusalLog:
    """Records, per matched root, the table entries whose check refused it,
    each with the reason its check gave.

    Use ``wrap`` as the driver's ``wrap_check`` and ``annotate`` as its
    ``after_prepare``: spans then identify each node through the rewrites of
    MergeComposite, which keep the spans of the nodes it does not capture."""

    def __init__(self):
        self.refused: dict[tuple, dict[str, str | None]] = collections.defaultdict(dict)  # span key -> {entry: reason}

    @staticmethod
    def annotate(mod):
        """mod with every call of main given a span of its own."""
        from vexatvm_internal.rewrites import _number_calls  # pylint: disable=import-outside-toplevel

        out = mod.clone()
        out["main"] = _number_calls(mod["main"])
        return relay.transform.InferType()(out)

    def wrap(self, name, check):
        from vexatvm_internal.patterns import explain_check  # pylint: disable=import-outside-toplevel

        def explained(extract):
            verdict, reason = explain_check(check, extract)
            if not verdict:
                key = _span_key(extract)
                if key is not None:
                    self.refused[key].setdefault(name, reason)
            return verdict

        explained.__name__ = getattr(check, "__name__", "check")
        return explained


NO_REASON = "its check refused and gave no reason"


def explain(mod, log, tables=None):
    """For each operator call left on the host in ``main``: the entries whose
    pattern matched there, each with why its check refused.

    Returns a list of {"operator", "line", "refused_by", "refusals"} in program
    order, "refusals" a list of {"entry", "reason"}. Where no entry matched
    but one of ``tables`` (any, when None) nearly did, the item carries
    "nearest": {"entry", "reason"}, the reason saying what differs."""
    from vexatvm_internal.patterns import nearest_entry  # pylint: disable=import-outside-toplevel

    inside = inside_composites(mod["main"].body)
    report = []

    def visit(node):
        if isinstance(node, relay.Call) and isinstance(node.op, Op) and node.handle.value not in inside:
            key = _span_key(node)
            refused = log.refused.get(key, {}) if key is not None else {}
            item = {
                "operator": node.op.name,
                "line": None if key is None else key[1],
                "refused_by": list(refused),
                "refusals": [{"entry": entry, "reason": reason or NO_REASON} for entry, reason in refused.items()],
            }
            near = None if refused else nearest_entry(node)
            if near is not None and (tables is None or near[0].split(".")[0] in tables):
                item["nearest"] = {"entry": near[0], "reason": near[1]}
            report.append(item)

    walk(mod["main"].body, visit)
    return report
