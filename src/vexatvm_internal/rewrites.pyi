"""Graph rewrites of the Vexa partition flow."""

from collections.abc import Sequence
from types import SimpleNamespace

from tvm.ir import IRModule, Type
from tvm.relay import Expr, Function

class _FrontendFolder:
    """fold_constant for TVM's frontends: FoldConstantExpr's result, computed incrementally and, where exact, with numpy."""

    def __init__(self) -> None: ...
    def __call__(self, node: Expr, mod: IRModule | None = None) -> Expr: ...
    @property
    def exact(self) -> int:
        """Calls numpy evaluated."""
    @property
    def delegated(self) -> int:
        """Calls FoldConstantExpr folded one by one."""
    @property
    def whole(self) -> int:
        """Expressions FoldConstantExpr folded whole."""

class _FrontendTypes:
    """The checked types TVM's frontends ask for, each inferred once per import."""

    def __init__(self) -> None: ...
    def type_of(self, expr: Expr, /) -> Type | None:
        """The type InferType gives expr, or None where TVM must answer."""

def _fold_constant_moves(expr: Expr, reuse: bool = False) -> Expr:
    """expr with data movement of constants (expand_dims, squeeze, reshape, ...) folded as FoldConstant does."""

def _canonicalize(mod: IRModule, tables: Sequence[str] | None = None) -> IRModule:
    """main's real-export forms rewritten into the forms the tables capture; a new, type-checked module.
    With tables, a rewrite for one table's entry runs only where that table is among them."""

def _canonical_rewrites(mod: IRModule, tables: Sequence[str] | None = None) -> list[SimpleNamespace]:
    """The rewrites _canonicalize runs on mod, as callbacks (pattern, callback, ...) TVM's rewrite takes."""

def _inline_accelerator_calls(expr: Expr, regions: dict[str, Function]) -> Expr:
    """expr with calls of composites, and of the global functions named in regions, replaced by their bodies."""

def _retarget_regions(expr: Expr, targets: dict[str, str]) -> Expr:
    """expr with compiler_begin/compiler_end annotations for a key of targets annotated for its value."""

def _number_calls(expr: Expr, source: str = "vexatvm") -> Expr:
    """expr with every call given a span of its own (lines 1, 2, ... in visiting order)."""
