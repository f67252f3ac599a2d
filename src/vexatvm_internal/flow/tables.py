"""The tables: registered pattern tables applied entry by entry, each as
TVM's MergeComposite applies it.

Before each entry, that entry's input module becomes the current graph of the
platform's graph queries (where they take one), so checks that ask for
consumers see exactly the graph they are matched in."""

import contextlib
import importlib
import importlib.util

from tvm import relay
from tvm.relay.dataflow_pattern import partition as partition_pattern
from tvm.relay.function import Function
from tvm.relay.op.contrib.register import get_pattern_table

from tvm.relay.vexa import relay_traversal

from .preparation import table_names

__all__ = ["resolve_tables", "pick_tables", "merge_entries", "current_graph"]

# Modules that register tables when imported, loaded before any table lookup.
_TABLE_MODULES = ("vexatvm_internal.patterns", "vexatvm_internal.blockpatterns")


def _load_table_modules():
    for name in _TABLE_MODULES:
        if importlib.util.find_spec(name) is not None:
            importlib.import_module(name)


def resolve_tables(tables):
    """The (name, entries) pairs for table names, in order. Unknown names raise ValueError."""
    _load_table_modules()
    resolved = []
    for name in table_names(tables):
        table = get_pattern_table(name)
        if table is None:
            raise ValueError(f"unknown pattern table {name!r} (tables: {', '.join(_vexa_tables())})")
        resolved.append((name, table))
    return resolved


def _vexa_tables():
    from tvm.relay.op.contrib.register import _PATTERN_TABLES  # pylint: disable=import-outside-toplevel

    return sorted(name for name in _PATTERN_TABLES if name.startswith("vexa"))


def pick_tables(mod):
    """(tables, the kind of graph they were picked for) of a module as
    imported: "vexa" for a quantized graph (one with QNN operators), else
    the block table and then the float table."""
    from vexatvm_internal.report.summary import operator_names  # pylint: disable=import-outside-toplevel

    if any(name.startswith("qnn.") for name in operator_names(mod["main"])):
        return ("vexa",), "quantized graph"
    return ("vexa_blocks", "vexa_fp32"), "float graph"


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
