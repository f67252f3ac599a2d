"""Queries about a target accelerator architecture, answered by libvexakov."""

import ctypes
from typing import Literal, overload

# libvexakov, as _libbind loaded it.
_cpp_lib: ctypes.CDLL

@overload
def archquery_parameter(arch_val: str, param_name: str, fail_if_not_found: Literal[True] = True) -> str:
    """Parameter param_name of architecture text arch_val; RuntimeError when it is empty or missing."""
@overload
def archquery_parameter(arch_val: str, param_name: str, fail_if_not_found: bool) -> str | None:
    """Parameter param_name of architecture text arch_val; with fail_if_not_found false, None when missing."""
def arch_supports_operator(arch_val: str, operator_id: str) -> bool:
    """True when architecture arch_val supports operator_id."""
def _archquery_parameter(arch: str, param_name: str) -> str | None:
    """Parameter param_name of architecture text arch, or None when the native query fails."""
def _arch_supports_operator(arch_val: str, operator_id: str) -> int:
    """The native answer (non-zero meaning supported) for operator_id on arch_val."""
