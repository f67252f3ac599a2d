"""Queries of the accelerator's native library, libvexakov, through ctypes."""

import ctypes

from .common import CliError

# Native status codes of ArchqueryParameter_Py, as libvexakov's header names them.
_NATIVE_STATUS = {
    1: "a required pointer was NULL",
    2: "the architecture text is too large",
    3: "the architecture text is not a valid description",
    4: "unknown architecture",
    5: "unknown parameter",
    6: "the value does not fit the result buffer",
    7: "internal error in libvexakov",
}


def _native():
    # archquery declares argtypes/restype on the shared handle when imported.
    from vexatvm_internal import _libbind, archquery  # noqa: F401  pylint: disable=import-outside-toplevel

    return _libbind._cpp_lib  # pylint: disable=protected-access


def native_parameter(arch_text, name):
    """Query one parameter with a buffer as large as the answer needs.
    Returns (status, value text or None)."""
    lib = _native()
    size = 256
    while True:
        buf = ctypes.create_string_buffer(size)
        status = lib.ArchqueryParameter_Py(arch_text.encode(), name.encode(), buf, size)
        if status == 6 and size < 1 << 20:
            size *= 16
            continue
        return status, (buf.value.decode() if status == 0 else None)


def require_parameter(arch_text, name, what):
    status, value = native_parameter(arch_text, name)
    if status != 0:
        reason = _NATIVE_STATUS.get(status, f"status {status}")
        raise CliError(f"{what}: {reason}")
    return value
