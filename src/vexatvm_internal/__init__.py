"""Graph-partitioning front end of the Vexa accelerator compiler for TVM Relay.

Extension modules: ``patterns`` and ``blockpatterns`` (pattern tables,
registered with TVM on import), ``rewrites`` (the partition flow's graph
rewrites), ``netunion`` (fusion of several networks), ``archquery`` and
``_libbind`` (the accelerator's native library ``libvexakov``). The partition
flow is in ``flow``, what it shows its user in ``report``, the command in
``cli``.

Importing the package does not import TVM, so that the ``vexatvm`` command
starts quickly where it needs none. The accelerator's TVM extensions are put in
place where the installed TVM lacks them (see ``vexatvm_standins``, which a
deployment on the accelerator's own extensions leaves out): at once when TVM's
Relay is already imported, otherwise just before a module that binds them
(``patterns``, ``blockpatterns``, ``netunion``, ``flow.tables``,
``flow.driver``) is imported.
"""

import sys
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from types import ModuleType
    from typing import Any

    # What __getattr__ gives, for type checkers; at run time imported on first use only.
    from .flow.driver import partition_for_vexa
    from .flow.reader import load_model

_standins: "ModuleType | None"
try:
    import vexatvm_standins as _standins
except ImportError:  # deployed on the accelerator's own TVM extensions
    _standins = None

__version__ = "0.1.0"
__all__ = ["partition_for_vexa", "load_model"]

# Modules that bind tvm.relay.vexa.* or tvm.relay.annotation.tuple_netunion when imported.
_BIND_EXTENSIONS = frozenset(f"{__name__}.{name}" for name in ("patterns", "blockpatterns", "netunion", "flow.tables",
                                                               "flow.driver"))


def _install_standins():
    if _standins is not None:
        _standins.install()


_PLATFORM_PACKAGE = "tvm.relay.vexa"
# Where the platform's TVM has the annotation module, it is importable by
# this name; upstream's tvm.relay.annotation is an attribute of tvm.relay only.
_ANNOTATION_MODULE = "tvm.relay.annotation"


class _Installed:
    """Loader of a module install() has put in sys.modules already."""

    @staticmethod
    def create_module(spec):
        return sys.modules[spec.name]

    @staticmethod
    def exec_module(module):  # pylint: disable=unused-argument
        return None

    @staticmethod
    def load_module(fullname):  # the legacy protocol, for completeness
        return sys.modules[fullname]


class _Alias:
    """Loader that gives a module already imported under another name."""

    def __init__(self, module):
        self.module = module

    def create_module(self, spec):  # pylint: disable=unused-argument
        return self.module

    @staticmethod
    def exec_module(module):  # pylint: disable=unused-argument
        return None

    def load_module(self, fullname):
        sys.modules[fullname] = self.module
        return self.module


class _ExtensionsBeforeBinding:
    """Import hook that puts the stand-ins in place just before a module in
    _BIND_EXTENSIONS, or the platform's own package, is imported. It finds
    only what install() put in place."""

    installing = False

    @classmethod
    def find_spec(cls, fullname, path=None, target=None):  # pylint: disable=unused-argument
        if fullname in _BIND_EXTENSIONS:
            _install_standins()
        elif fullname == _ANNOTATION_MODULE and not cls.installing:
            import importlib.machinery  # pylint: disable=import-outside-toplevel

            if importlib.machinery.PathFinder.find_spec(fullname, path) is not None:
                return None  # the platform's own module
            cls.installing = True
            try:
                _install_standins()
            finally:
                cls.installing = False
            relay = sys.modules.get("tvm.relay")
            annotation = getattr(relay, "annotation", None)
            if annotation is not None and hasattr(annotation, "tuple_netunion"):
                import importlib.util  # pylint: disable=import-outside-toplevel

                return importlib.util.spec_from_loader(fullname, _Alias(annotation))
        elif fullname == _PLATFORM_PACKAGE and not cls.installing:
            # TVM's Relay came after this package: the user reaches for the
            # platform's names directly (tvm.relay.vexa.build_module, say).
            cls.installing = True
            try:
                _install_standins()
            finally:
                cls.installing = False
            if fullname in sys.modules:
                import importlib.util  # pylint: disable=import-outside-toplevel

                return importlib.util.spec_from_loader(fullname, _Installed(), is_package=True)
        return None


sys.meta_path.insert(0, _ExtensionsBeforeBinding())

if "tvm.relay" in sys.modules:
    _install_standins()


def __getattr__(name: str) -> "Any":
    value: object
    if name == "partition_for_vexa":
        from .flow.driver import partition_for_vexa as value  # pylint: disable=import-outside-toplevel
    elif name == "load_model":
        from .flow.reader import load_model as value  # pylint: disable=import-outside-toplevel
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(__all__))
