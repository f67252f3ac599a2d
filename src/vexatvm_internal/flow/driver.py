"""The accelerator's partition flow: ``partition_for_vexa``.

It prepares a module the way the tables expect (NHWC convolutions, folded
constants for the float tables, real-export forms canonicalized) and applies
registered pattern tables entry by entry, each as TVM's MergeComposite applies
it. Before each entry it makes that entry's input module the current graph of
the platform's graph queries (where they take one), so checks that ask for
consumers see exactly the graph they are matched in.

It runs on the platform's TVM extensions (``tvm.relay.vexa``): the
accelerator's own, or the stand-ins where those are absent.
"""

import contextlib
import importlib
import importlib.util

import tvm
from tvm import relay
from tvm.relay.build_module import bind_params_by_name
from tvm.relay.dataflow_pattern import partition as partition_pattern
from tvm.relay.function import Function
from tvm.relay.op.contrib.register import get_pattern_table

from tvm.relay.vexa import relay_traversal
from tvm.relay.vexa.build_module import BuildConfig

__all__ = ["partition_for_vexa", "partition", "prepare", "merge_entries", "resolve_tables", "fold_constant_moves",
           "form_regions", "FLOAT_TABLES", "DESIRED_LAYOUTS", "QUANTIZED_TARGET", "FLOAT_TARGET"]

FLOAT_TABLES = ("vexa_fp32", "vexa_fp32_quantizer", "vexa_blocks")
DESIRED_LAYOUTS = {"qnn.conv2d": ["NHWC", "default"], "nn.conv2d": ["NHWC", "default"]}

# The accelerator's code generators: int8 regions go to "vexa_qtz", the name
# the fusion module carries over; float regions, of the float and the block
# tables alike, to "vexa_fp32", the prefix of the float composites' own names,
# so that an upstream-style AnnotateTarget(["vexa_fp32"]) names them the same.
QUANTIZED_TARGET = "vexa_qtz"
FLOAT_TARGET = "vexa_fp32"
# Composite name prefix (the target AnnotateTarget reads off a composite) -> code generator.
_REGION_TARGETS = {"vexa": QUANTIZED_TARGET, "vexa_fp32": FLOAT_TARGET, "vexa_blocks": FLOAT_TARGET}

# Modules that register tables when imported, loaded before any table lookup.
_TABLE_MODULES = ("vexatvm_internal.patterns", "vexatvm_internal.blockpatterns")


def _load_table_modules():
    for name in _TABLE_MODULES:
        if importlib.util.find_spec(name) is not None:
            importlib.import_module(name)


def _table_names(tables):
    if isinstance(tables, str):
        return (tables,)
    return tuple(tables)


def resolve_tables(tables):
    """The (name, entries) pairs for table names, in order. Unknown names raise ValueError."""
    _load_table_modules()
    resolved = []
    for name in _table_names(tables):
        table = get_pattern_table(name)
        if table is None:
            raise ValueError(f"unknown pattern table {name!r}")
        resolved.append((name, table))
    return resolved


def _int8_tables_only(names):
    # The block table captures dequantized post-processing as it is written.
    return all(name not in FLOAT_TABLES for name in names)


_FLOAT_ANCHORS = ("nn.conv2d", "nn.dense", "nn.matmul", "nn.batch_matmul", "nn.conv2d_transpose")


def _dequantized(node):
    return isinstance(node, relay.Call) and isinstance(node.op, tvm.ir.Op) and node.op.name == "qnn.dequantize"


def has_fake_quantized_anchors(func):
    """Whether a float convolution or matrix product reads a dequantized
    tensor (ONNX QDQ), or a float add reads two (ONNX QLinearAdd): a graph
    quantized as dequantize -> op -> quantize rather than with the QNN
    operators the int8 tables capture. A graph written with QNN operators
    keeps its dequantized islands, which the int8 entries capture as they are."""
    from vexatvm_internal.summary import walk  # pylint: disable=import-outside-toplevel

    found = []

    def visit(node):
        if found or not isinstance(node, relay.Call) or not isinstance(node.op, tvm.ir.Op) or not node.args:
            return
        name = node.op.name
        if (name in _FLOAT_ANCHORS and _dequantized(node.args[0])) or (
                name == "add" and len(node.args) == 2 and all(_dequantized(arg) for arg in node.args)):
            found.append(node)

    walk(func.body, visit)
    return bool(found)


def prepare(mod, params=None, tables=("vexa",), canonicalize=False):
    """Bind params, infer types, convert convolutions to NHWC and, for the float
    tables, fold constants. Returns a new module; ``mod`` is left unchanged.

    With ``canonicalize``, a graph quantized as dequantize -> op -> quantize
    first gets QNN operators (TVM's FakeQuantizationToInteger) when only int8
    tables are applied, and data movement on constants is folded for
    every table."""
    names = _table_names(tables)
    mod = mod.clone()
    if params:
        mod["main"] = bind_params_by_name(mod["main"], params)
    fold = any(name in FLOAT_TABLES for name in names)
    first = [relay.transform.InferType()]
    quantize = canonicalize and _int8_tables_only(names) and has_fake_quantized_anchors(mod["main"])
    if quantize:
        first += [relay.transform.FakeQuantizationToInteger(), relay.transform.InferType()]
    first.append(relay.transform.ConvertLayout(DESIRED_LAYOUTS))
    with _exact_fake_quantization(quantize), tvm.transform.PassContext(opt_level=3):
        mod = tvm.transform.Sequential(first)(mod)
        if fold or canonicalize:
            mod = fold_constant_moves(mod)
        rest = [relay.transform.FoldConstant()] if fold else []
        return tvm.transform.Sequential(rest + [relay.transform.InferType()])(mod)


# Operators whose integer form in FakeQuantizationToInteger is not what the
# float form computes up to float rounding: average pools and means sum in
# int32 and divide with truncation, half a step low on average. No int8
# entry takes them in that form, so they stay float, as imported.
_INEXACT_IN_INTEGERS = ("nn.avg_pool2d", "nn.global_avg_pool2d", "nn.adaptive_avg_pool1d", "mean")
_FQ2I = "FTVMFakeQuantizationToInteger"


@contextlib.contextmanager
def _exact_fake_quantization(active=True):
    """Within the block, FakeQuantizationToInteger leaves the operators of
    _INEXACT_IN_INTEGERS (and the regions around them) as they are. TVM's
    registrations are restored afterwards."""
    saved = []
    for name in _INEXACT_IN_INTEGERS if active else ():
        op = tvm.ir.Op.get(name)
        convert = op.get_attr(_FQ2I)
        if convert is not None:
            saved.append((op, convert))
            op.reset_attr(_FQ2I)
    try:
        yield
    finally:
        for op, convert in saved:
            op.set_attr(_FQ2I, convert)


def fold_constant_moves(mod):
    """mod with data movement on constants in main folded, bit for bit as
    FoldConstant folds it, without compiling a kernel per call."""
    from vexatvm_internal.patterns import _fold_constant_moves  # pylint: disable=import-outside-toplevel

    out = mod.clone()
    out["main"] = _fold_constant_moves(mod["main"])
    return relay.transform.InferType()(out)


def _optimizable(func):
    """Whether a function pass (MergeComposite among them) rewrites func."""
    if not isinstance(func, Function):
        return False
    attrs = func.attrs
    if not attrs:
        return True
    return "Compiler" not in attrs and not any(
        key in attrs and int(attrs[key]) != 0 for key in ("Extern", "SkipOptimization")
    )


def _merge_into_main(mod, entry, typed):
    """One entry of MergeComposite on a module whose only rewritable function
    is main: PartitionPattern, then type inference of the module, exactly as
    MergeComposite does per entry, without the whole-module type inference a
    function pass adds after every run (which doubles the cost per entry),
    and, once ``typed`` (mod came out of type inference), without any where
    the entry matched nothing."""
    name, pattern = entry[0], entry[1]
    check = entry[2] if len(entry) == 3 else (lambda extract: True)
    func = partition_pattern(pattern, mod["main"], {"Composite": name}, check)
    if typed and func.same_as(mod["main"]):
        # Nothing matched: type inference would give the typed module back as it is.
        return mod
    updated = mod.clone()
    updated["main"] = func
    return relay.transform.InferType()(updated)


def current_graph(mod):
    """The platform's graph context for consumer queries, on ``mod``; none
    where its graph queries take no context."""
    context = getattr(relay_traversal, "current_graph", None)
    return context(mod) if context is not None else contextlib.nullcontext()


def merge_entries(mod, entries, wrap_check=None, on_entry=None):
    """Apply table entries one at a time, each with its input module as the
    current graph. ``wrap_check(name, check)``, when given, returns the
    callable MergeComposite calls in place of an entry's check;
    ``on_entry(name)`` is called after each entry is applied."""
    rewritable = [gv.name_hint for gv, func in mod.functions.items() if _optimizable(func)]
    only_main = rewritable == ["main"]
    typed = False
    for entry in entries:
        if wrap_check is not None and len(entry) == 3:
            entry = (entry[0], entry[1], wrap_check(entry[0], entry[2]))
        with current_graph(mod):
            if only_main:
                mod = _merge_into_main(mod, entry, typed)
                typed = True
            else:
                mod = relay.transform.MergeComposite([entry])(mod)
        if on_entry is not None:
            on_entry(entry[0])
    return mod


def partition(mod, params=None, tables=("vexa",), arch=None, wrap_check=None, after_prepare=None,
              on_entry=None, canonicalize=True):
    """partition_for_vexa, with hooks for tools that time, explain or report
    progress: ``wrap_check`` and ``on_entry`` (see merge_entries), and
    ``after_prepare(mod)``, which returns the module the tables then run on."""
    resolved = resolve_tables(tables)
    mod = prepare(mod, params, [name for name, _ in resolved], canonicalize)
    if canonicalize:
        from vexatvm_internal.patterns import _canonicalize  # pylint: disable=import-outside-toplevel

        mod = _canonicalize(mod)
    if after_prepare is not None:
        mod = after_prepare(mod)
    config = BuildConfig.current if arch is None else BuildConfig(arch_config={"arch": arch})
    with config:
        for _, entries in resolved:
            mod = merge_entries(mod, entries, wrap_check, on_entry)
    return mod


def form_regions(mod):
    """A partitioned module's composites gathered into accelerator regions, as
    upstream BYOC flows do: AnnotateTarget, MergeCompilerRegions, then
    PartitionGraph. Each region becomes a global function whose "Compiler"
    is QUANTIZED_TARGET (composites of the int8 tables) or FLOAT_TARGET (the
    float and block tables; neighbours of both join one region), called from
    main; the composites keep their names and bodies inside it."""
    from vexatvm_internal.patterns import _retarget_regions  # pylint: disable=import-outside-toplevel

    annotated = relay.transform.AnnotateTarget(list(_REGION_TARGETS))(mod)
    renamed = {prefix: target for prefix, target in _REGION_TARGETS.items() if prefix != target}
    annotated["main"] = _retarget_regions(annotated["main"], renamed)
    passes = [relay.transform.InferType(), relay.transform.MergeCompilerRegions(),
              relay.transform.PartitionGraph(), relay.transform.InferType()]
    return tvm.transform.Sequential(passes)(annotated)


def partition_for_vexa(mod, params=None, *, tables=("vexa",), arch=None, canonicalize=True, regions=False):
    """Partition ``mod`` for the accelerator with the registered pattern tables
    ``tables``, applied in order.

    ``params`` are bound as constants first. ``arch`` is a built-in
    architecture name, an inline description mapping, or None for the current
    ``BuildConfig``. With ``canonicalize`` (the default), forms real exports
    take are first rewritten into the forms the tables capture (equivalent up
    to float rounding); ``canonicalize=False`` gives exactly the plain
    preparation: InferType, ConvertLayout, FoldConstant (float tables only),
    InferType. Returns the module with the composites merged in; the caller's
    module is left unchanged. With ``regions``, the composites then go on into
    accelerator regions (see form_regions).
    """
    partitioned = partition(mod, params, tables, arch, canonicalize=canonicalize)
    return form_regions(partitioned) if regions else partitioned
