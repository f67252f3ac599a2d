"""The accelerator's TVM extensions appear where upstream TVM lacks them, and never replace real ones."""

import subprocess
import sys
import textwrap

import pytest
import tvm
from tvm import relay

import vexatvm_internal  # installs the stand-ins
import vexatvm_standins


def test_standins_are_importable_under_the_accelerator_names():
    from tvm.relay.vexa import build_module, relay_traversal
    from tvm.relay.vexa.build_module import BuildConfig
    from tvm.relay.vexa.relay_traversal import find_call_of_type, get_consumers_mc  # noqa: F401

    assert build_module is vexatvm_standins.build_module
    assert relay_traversal is vexatvm_standins.relay_traversal
    assert tvm.relay.vexa.build_module.BuildConfig is BuildConfig
    tup = relay.Tuple([relay.var("a"), relay.var("b")])
    assert tvm.relay.annotation.tuple_netunion(tup).same_as(tup)
    vexatvm_standins.install()  # idempotent
    assert tvm.relay.vexa.build_module is build_module
    # The partition flow's former home still gives the flow itself.
    from vexatvm_standins import driver as former

    assert former is vexatvm_internal.flow.driver and former.partition_for_vexa is vexatvm_internal.partition_for_vexa


def test_real_extensions_are_never_replaced():
    script = textwrap.dedent(
        """
        import sys, types
        import tvm.relay
        real = types.ModuleType("tvm.relay.vexa.build_module")
        real.BuildConfig = "real"
        sys.modules["tvm.relay.vexa.build_module"] = real
        marker = lambda tup: "real"
        tvm.relay.annotation.tuple_netunion = marker
        import vexatvm_internal
        from tvm.relay.vexa.build_module import BuildConfig
        from tvm.relay.vexa.relay_traversal import get_consumers_mc
        assert BuildConfig == "real", BuildConfig
        assert tvm.relay.annotation.tuple_netunion is marker
        import vexatvm_standins
        assert vexatvm_standins.installed == ["tvm.relay.vexa", "tvm.relay.vexa.relay_traversal"], vexatvm_standins.installed
        print("ok")
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_the_flow_runs_on_the_platforms_own_extensions_without_the_standins():
    script = "import sys, types\nimport tvm.relay\n"
    script += "sys.modules['vexatvm_standins'] = None  # the folder such a deployment leaves out\n" + PLATFORM
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert (result.returncode, result.stdout.strip()) == (0, "ok"), result.stderr


# Minimal extensions of the accelerator's TVM, where the stand-ins are absent.
PLATFORM = """
class BuildConfig:
    current = None
    def __init__(self, arch_config):
        self.arch_config = arch_config
    def __enter__(self):
        self.outer, BuildConfig.current = BuildConfig.current, self
        return self
    def __exit__(self, *exc):
        BuildConfig.current = self.outer
BuildConfig.current = BuildConfig({"arch": "vexa-pro"})
vexa = types.ModuleType("tvm.relay.vexa")
build_module = types.ModuleType("tvm.relay.vexa.build_module")
build_module.BuildConfig = BuildConfig
relay_traversal = types.ModuleType("tvm.relay.vexa.relay_traversal")
relay_traversal.get_consumers_mc = lambda *args: []
relay_traversal.find_call_of_type = lambda *args: None
vexa.build_module, vexa.relay_traversal, tvm.relay.vexa = build_module, relay_traversal, vexa
sys.modules.update({m.__name__: m for m in (vexa, build_module, relay_traversal)})
tvm.relay.annotation.tuple_netunion = lambda tup: tup
from vexatvm_internal import partition_for_vexa
from vexatvm_internal.examples import load_example
from vexatvm_internal.report.summary import summarize
mod, params, tables = load_example("int8-cnn")
assert summarize(partition_for_vexa(mod, params, tables=tables, arch="vexa-nano"))["composites"]
import vexatvm_internal.flow.driver, vexatvm_internal.netunion
print("ok")
"""


@pytest.mark.parametrize("statement", [
    "import vexatvm_internal.patterns",
    "from vexatvm_internal import netunion",
    "from vexatvm_internal import partition_for_vexa",
    "import tvm.relay",
    "from tvm.relay.annotation import tuple_netunion",
    "import tvm.relay.vexa.relay_traversal",
])
def test_standins_in_place_when_the_package_is_imported_before_tvm(statement):
    script = f"""
import sys, vexatvm_internal
assert "tvm" not in sys.modules
{statement}
import tvm
from tvm.relay.vexa.build_module import BuildConfig
assert tvm.relay.annotation.tuple_netunion
print("ok")
"""
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert (result.returncode, result.stdout.strip()) == (0, "ok"), result.stderr


@pytest.mark.parametrize("change, found", [
    ("tvm.__version__ = '0.20.0'", "found TVM 0.20.0 on its ctypes FFI"),
    ("tvm.runtime.Object = type('Object', (), {})", "found TVM 0.19.0 on its Cython FFI"),
])
def test_a_tvm_of_another_kind_is_refused_at_import(change, found):
    script = f"""
import tvm, tvm.relay
{change}
try:
    import vexatvm_internal.patterns
except ImportError as err:
    print(err)
"""
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert result.stdout.strip().startswith("vexatvm_internal needs upstream TVM 0.19 on its ctypes FFI; " + found), \
        result.stdout + result.stderr


def test_build_config_scopes_nest_and_restore():
    from tvm.relay.vexa.build_module import BuildConfig

    default = BuildConfig.current
    assert default.arch_config == {"arch": "vexa-pro"}
    inline = {"base": "vexa-nano", "channels": 48}
    with BuildConfig(arch_config={"arch": "vexa-nano"}) as outer:
        assert BuildConfig.current is outer
        try:
            with BuildConfig(arch_config={"arch": inline}):
                assert BuildConfig.current.arch_config["arch"] is inline
                raise KeyError("leaves the scope")
        except KeyError:
            pass
        assert BuildConfig.current is outer
        with outer:  # re-entering the same configuration
            assert BuildConfig.current is outer
        assert BuildConfig.current is outer
    assert BuildConfig.current is default
