"""Running Relay modules on the CPU, for tests that compare a partitioned
module's outputs with the original's: the command's own --verify helpers."""

from vexatvm_internal.flow.check import inline_accelerator as inline_composites  # noqa: F401
from vexatvm_internal.flow.check import run_on_cpu as run  # noqa: F401
