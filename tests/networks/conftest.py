# torch has to be loaded before tvm in one process; import it first when present.
try:
    import torch  # noqa: F401
except ImportError:  # pragma: no cover - the networks extra is not installed
    pass
