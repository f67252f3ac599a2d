# torch must be loaded before TVM in one process, and this folder's modules
# import TVM at collection.
try:
    import torch  # noqa: F401
except Exception:  # pragma: no cover - the network tests skip themselves
    pass
