import importlib
import os
import platform
import shutil
import subprocess
import sys
import sysconfig
import types

import pytest

# torchvision 0.28 (installed without its CUDA dependencies, for the CPU
# torch) cannot load its C++ operators, and its import dies registering them;
# the models need none. transformers imports torchvision where it is there.
sys.modules.setdefault("torchvision._meta_registrations", types.ModuleType("torchvision._meta_registrations"))

# relay.build would otherwise try to download AutoTVM's tuning logs (no network here).
os.environ.setdefault("TOPHUB_LOCATION", "NONE")

HERE = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture(scope="session")
def real_lib_path():
    """Path of the installed stand-in libvexakov."""
    from vexatvm_internal import _libbind

    return _libbind._cpp_lib._name


@pytest.fixture(scope="session")
def fake_lib_path(tmp_path_factory):
    """A tiny libvexakov look-alike, compiled for this session."""
    out = tmp_path_factory.mktemp("fakelib") / "libfake_vexakov.so"
    cc = sysconfig.get_config_var("CC").split()[0] if sysconfig.get_config_var("CC") else "cc"
    cc = shutil.which(cc) or shutil.which("cc") or "gcc"
    subprocess.run([cc, "-shared", "-fPIC", "-O1", "-o", str(out),
                    os.path.join(HERE, "fixtures", "fake_vexakov.c")], check=True)
    return str(out)


@pytest.fixture
def fresh_import(monkeypatch):
    """Import vexatvm_internal modules afresh with TVM's library directories and
    the host's processor/machine names replaced. Restores the originals after."""
    import tvm._ffi.libinfo
    import vexatvm_internal

    def load(names, dirs, processor=None, machine=None):
        monkeypatch.setattr(tvm._ffi.libinfo, "get_dll_directories", lambda: list(dirs))
        if processor is not None:
            monkeypatch.setattr(platform, "processor", lambda: processor)
        if machine is not None:
            monkeypatch.setattr(platform, "machine", lambda: machine)
        modules = []
        for name in names:
            full = f"vexatvm_internal.{name}"
            monkeypatch.delitem(sys.modules, full, raising=False)
            if hasattr(vexatvm_internal, name):
                monkeypatch.setattr(vexatvm_internal, name, getattr(vexatvm_internal, name))
            modules.append(importlib.import_module(full))
        return modules

    return load
