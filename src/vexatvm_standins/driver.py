"""The partition flow lived here; it is ``vexatvm_internal.driver`` now. This
name stays the same module object for callers that import it from here."""

import sys

from vexatvm_internal import driver as _driver

sys.modules[__name__] = _driver
