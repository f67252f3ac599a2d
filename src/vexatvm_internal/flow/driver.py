"""The accelerator's partition flow: ``partition_for_vexa``.

Its stages, each in a module of its own: preparation (``preparation``),
canonicalization of real-export forms (the ``rewrites`` extension), the
pattern tables applied entry by entry (``tables``) and, on request,
accelerator regions (``regions``).

It runs on the platform's TVM extensions (``tvm.relay.vexa``): the
accelerator's own, or the stand-ins where those are absent.
"""

from collections.abc import Iterable, Mapping
from typing import Any

import numpy as np
from tvm.ir import IRModule
from tvm.relay.vexa.build_module import BuildConfig
from tvm.runtime import NDArray

from .preparation import DESIRED_LAYOUTS, FLOAT_TABLES, Handover, fold_constant_moves, prepare
from .regions import FLOAT_TARGET, QUANTIZED_TARGET, form_regions
from .tables import merge_entries, pick_tables, resolve_tables

__all__ = ["partition_for_vexa", "partition", "prepare", "Handover", "merge_entries", "resolve_tables", "pick_tables",
           "fold_constant_moves", "form_regions", "require_architecture", "FLOAT_TABLES", "DESIRED_LAYOUTS",
           "QUANTIZED_TARGET", "FLOAT_TARGET"]


def require_architecture(arch):
    """Refuses, with ValueError, a built-in architecture name (or an inline
    description's base) that libvexakov does not know, listing the names it does."""
    name = arch.get("base") if isinstance(arch, Mapping) else arch
    if not isinstance(name, str):
        return
    import yaml  # pylint: disable=import-outside-toplevel

    from vexatvm_internal.archquery import _archquery_parameter  # pylint: disable=import-outside-toplevel

    known = (_archquery_parameter(yaml.safe_dump({}), "builtin_architectures") or "").split(",")
    if name not in known:
        raise ValueError(f"unknown architecture {name!r} (built-in: {', '.join(known)})")


def partition(mod, params=None, tables=None, arch=None, wrap_check=None, after_prepare=None,
              on_entry=None, canonicalize=True):
    """partition_for_vexa, with hooks for tools that time, explain or report
    progress: ``wrap_check`` and ``on_entry`` (see merge_entries), and
    ``after_prepare(mod)``, which returns the module the tables then run on.
    ``mod`` may be a Handover (see prepare)."""
    if tables is None:
        tables, _ = pick_tables(mod.peek() if isinstance(mod, Handover) else mod)
    require_architecture(arch)
    resolved = resolve_tables(tables)
    names = [name for name, _ in resolved]
    mod = prepare(mod, params, names, canonicalize)
    if canonicalize:
        from vexatvm_internal.rewrites import _canonicalize  # pylint: disable=import-outside-toplevel

        mod = _canonicalize(mod, names)
    if after_prepare is not None:
        mod = after_prepare(mod)
    config = BuildConfig.current if arch is None else BuildConfig(arch_config={"arch": arch})
    with config:
        for _, entries in resolved:
            mod = merge_entries(mod, entries, wrap_check, on_entry)
    return mod


def partition_for_vexa(mod: IRModule, params: Mapping[str, NDArray | np.ndarray] | None = None, *,
                       tables: str | Iterable[str] | None = None, arch: str | Mapping[str, Any] | None = None,
                       canonicalize: bool = True, regions: bool = False) -> IRModule:
    """Partition ``mod`` for the accelerator with the registered pattern tables
    ``tables``, applied in order. With ``tables=None`` (the default) they are
    picked from the graph as ``vexatvm partition`` picks them: "vexa" for a
    quantized graph (one with QNN operators), else "vexa_blocks" then
    "vexa_fp32".

    ``params`` are bound as constants first. ``arch`` is a built-in
    architecture name, an inline description mapping, or None for the current
    ``BuildConfig``; an unknown name raises ValueError. With ``canonicalize`` (the default), forms real exports
    take are first rewritten into the forms the tables capture (equivalent up
    to float rounding); ``canonicalize=False`` gives exactly the plain
    preparation: InferType, ConvertLayout, FoldConstant (float tables only),
    InferType. Returns the module with the composites merged in; the caller's
    module is left unchanged. With ``regions``, the composites then go on into
    accelerator regions (see form_regions).
    """
    partitioned = partition(mod, params, tables, arch, canonicalize=canonicalize)
    return form_regions(partitioned) if regions else partitioned
