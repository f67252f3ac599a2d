"""The partition flow lived here; it is ``vexatvm_internal.flow.driver`` now. This
name stays the same module object for callers that import it from here."""

import sys

from vexatvm_internal.flow import driver as _driver

sys.modules[__name__] = _driver
