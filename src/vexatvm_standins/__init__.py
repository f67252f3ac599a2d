"""Stand-ins for the accelerator's extensions of TVM.

The accelerator's own build of TVM adds a build configuration
(``tvm.relay.vexa.build_module``), graph queries over the graph being
partitioned (``tvm.relay.vexa.relay_traversal``) and an annotation for fused
networks (``tvm.relay.annotation.tuple_netunion``). Upstream TVM has none of
them. :func:`install` makes these stand-ins visible under those names, each
one only where the real one is absent; a real module is never replaced.
"""

import importlib
import importlib.util
import sys
import types

__all__ = ["install", "installed"]

_SUBMODULES = {
    "build_module": "vexatvm_standins.build_module",
    "relay_traversal": "vexatvm_standins.relay_traversal",
}

# Names under which a stand-in was put in place by install().
installed: list[str] = []


def _find_spec(name):
    try:
        return importlib.util.find_spec(name)
    except ModuleNotFoundError:
        return None


def install():
    """Put every missing accelerator extension of TVM in place. Idempotent."""
    import tvm.relay  # pylint: disable=import-outside-toplevel

    package_name = "tvm.relay.vexa"
    package = sys.modules.get(package_name)
    if package is None:
        if _find_spec(package_name) is not None:
            package = importlib.import_module(package_name)
        else:
            package = types.ModuleType(package_name, "Stand-in for the accelerator's TVM extensions.")
            package.__path__ = []
            sys.modules[package_name] = package
            tvm.relay.vexa = package
            installed.append(package_name)

    for short, standin in _SUBMODULES.items():
        full = f"{package_name}.{short}"
        if full in sys.modules or hasattr(package, short):
            continue
        if package_name not in installed and _find_spec(full) is not None:
            continue
        module = importlib.import_module(standin)
        sys.modules[full] = module
        setattr(package, short, module)
        installed.append(full)

    annotation = tvm.relay.annotation
    if not hasattr(annotation, "tuple_netunion"):
        from .annotation import tuple_netunion  # pylint: disable=import-outside-toplevel

        annotation.tuple_netunion = tuple_netunion
        installed.append("tvm.relay.annotation.tuple_netunion")
