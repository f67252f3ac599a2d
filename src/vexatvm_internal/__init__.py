"""Graph-partitioning front end of the Vexa accelerator compiler for TVM Relay.

Modules: ``patterns`` and ``blockpatterns`` (pattern tables, registered with
TVM on import), ``netunion`` (fusion of several networks), ``archquery`` and
``_libbind`` (the accelerator's native library ``libvexakov``).

Importing the package puts the accelerator's TVM extensions in place where the
installed TVM lacks them (see ``vexatvm_standins``).
"""

import vexatvm_standins as _standins

_standins.install()

from vexatvm_standins.driver import partition_for_vexa  # noqa: E402

from .loading import load_model  # noqa: E402

__version__ = "0.1.0"
__all__ = ["partition_for_vexa", "load_model"]
