"""Regions: a partitioned module's composites gathered into accelerator
regions, one global function per region, as upstream BYOC flows do."""

import tvm
from tvm import relay

__all__ = ["form_regions", "QUANTIZED_TARGET", "FLOAT_TARGET"]

# The accelerator's code generators: int8 regions go to "vexa_qtz", the name
# the fusion module carries over; float regions, of the float and the block
# tables alike, to "vexa_fp32", the prefix of the float composites' own names,
# so that an upstream-style AnnotateTarget(["vexa_fp32"]) names them the same.
QUANTIZED_TARGET = "vexa_qtz"
FLOAT_TARGET = "vexa_fp32"
# Composite name prefix (the target AnnotateTarget reads off a composite) -> code generator.
_REGION_TARGETS = {"vexa": QUANTIZED_TARGET, "vexa_fp32": FLOAT_TARGET, "vexa_blocks": FLOAT_TARGET}


def form_regions(mod):
    """A partitioned module's composites gathered into accelerator regions, as
    upstream BYOC flows do: AnnotateTarget, MergeCompilerRegions, then
    PartitionGraph. Each region becomes a global function whose "Compiler"
    is QUANTIZED_TARGET (composites of the int8 tables) or FLOAT_TARGET (the
    float and block tables; neighbours of both join one region), called from
    main; the composites keep their names and bodies inside it."""
    from vexatvm_internal.rewrites import _retarget_regions  # pylint: disable=import-outside-toplevel

    annotated = relay.transform.AnnotateTarget(list(_REGION_TARGETS))(mod)
    renamed = {prefix: target for prefix, target in _REGION_TARGETS.items() if prefix != target}
    annotated["main"] = _retarget_regions(annotated["main"], renamed)
    passes = [relay.transform.InferType(), relay.transform.MergeCompilerRegions(),
              relay.transform.PartitionGraph(), relay.transform.InferType()]
    return tvm.transform.Sequential(passes)(annotated)
