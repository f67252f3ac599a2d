import pytest

# torch must be loaded before TVM in one process; this folder's modules import
# TVM at collection, so load it here first when it is there at all.
try:
    import torch  # noqa: F401
except Exception:  # pragma: no cover - the network tests skip themselves
    pass


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "networks: small PyTorch-quantized networks imported into Relay and partitioned"
    )


@pytest.fixture
def arch_queries(monkeypatch):
    """Records every architecture query the checks make, answering as before."""
    from vexatvm_internal import patterns

    calls = []
    real = patterns.archquery_parameter

    def counting(arch, name, *args, **kwargs):
        calls.append((arch, name))
        return real(arch, name, *args, **kwargs)

    monkeypatch.setattr(patterns, "archquery_parameter", counting)
    return calls
