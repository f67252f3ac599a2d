"""Loads the accelerator's native library libvexakov at import."""

import ctypes

# The loaded libvexakov.
_cpp_lib: ctypes.CDLL
cdll: ctypes.LibraryLoader[ctypes.CDLL]

def get_dll_directories() -> list[str]:
    """TVM's library directories (tvm._ffi.libinfo.get_dll_directories)."""

def _find_lib() -> str:
    """The path of the first libvexakov candidate in TVM's library directories; RuntimeError if none."""
