"""Stand-in for ``tvm.relay.vexa.build_module``: the current build configuration.

``BuildConfig.current`` is the configuration in force. Its ``arch_config``
mapping holds "arch": a built-in architecture name, or an inline description
mapping (optionally with a "base" architecture and overridden parameters)::

    with BuildConfig(arch_config={"arch": "vexa-nano"}):
        ...

Scopes nest; leaving one restores the configuration that was current before.
"""

from typing import ClassVar

__all__ = ["BuildConfig", "DEFAULT_ARCH"]

DEFAULT_ARCH = "vexa-pro"


class BuildConfig:
    """A build configuration; a context manager that makes itself current."""

    current: ClassVar["BuildConfig | None"] = None

    def __init__(self, arch_config=None):
        self.arch_config = {"arch": DEFAULT_ARCH} if arch_config is None else arch_config
        self._outer = []

    def __enter__(self):
        self._outer.append(BuildConfig.current)
        BuildConfig.current = self
        return self

    def __exit__(self, *exc_info):
        BuildConfig.current = self._outer.pop()
        return False

    def __repr__(self):
        return f"BuildConfig(arch_config={self.arch_config!r})"


BuildConfig.current = BuildConfig()
