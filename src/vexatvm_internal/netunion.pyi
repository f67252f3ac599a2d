"""Fusion of several Relay networks into one module."""

from collections.abc import Sequence

from tvm.ir import IRModule
from tvm.runtime import NDArray

def fuse_netunion(
    mod_list: Sequence[IRModule], params_list: Sequence[dict[str, NDArray]], share_input: bool = False
) -> tuple[IRModule, dict[str, NDArray]]:
    """Fuse networks and their params into one module and one dict; network k's names get the suffix "_k"."""
