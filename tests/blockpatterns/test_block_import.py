"""Importing blockpatterns: it registers the table and loads none of its
sibling modules, an import or registration failure reaches the importer
unchanged, and the table function works from its own module."""

import subprocess
import sys
import textwrap
import types

import pytest

from vexatvm_internal import blockpatterns

MODULE = "vexatvm_internal.blockpatterns"


def run(body):
    """Runs body in a fresh interpreter (it alters TVM's modules) and returns
    its printed lines."""
    script = "import sys\nimport vexatvm_internal\n" + textwrap.dedent(body)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    return out.stdout.splitlines()


MISSING = [("tvm.relay.dataflow_pattern", name)
           for name in ("wildcard", "is_op", "is_tuple", "is_constant", "is_expr", "is_tuple_get_item")]
MISSING += [("tvm.relay.op.contrib.register", "register_pattern_table")]


def test_a_failed_import_or_registration_reaches_the_importer():
    # one interpreter for all cases: a failed import leaves nothing in sys.modules
    lines = run(f"""
        import importlib
        from tvm.relay.op.contrib import register

        def attempt():
            try:
                importlib.import_module("vexatvm_internal.blockpatterns")
                print("imported")
            except BaseException as e:
                print(type(e).__name__, e, "vexatvm_internal.blockpatterns" in sys.modules)

        for source, name in {MISSING!r}:
            src = importlib.import_module(source)
            saved = getattr(src, name)
            delattr(src, name)
            attempt()
            setattr(src, name, saved)

        class Refused(Exception):
            pass

        def refuse(name):
            raise Refused(name)

        register.register_pattern_table = refuse
        attempt()
    """)
    expected = [f"ImportError cannot import name '{name}' from '{source}' False" for source, name in MISSING]
    assert lines == expected + ["Refused vexa_blocks False"]


def test_import_registers_and_a_fresh_import_registers_anew():
    lines = run("""
        import importlib
        from tvm.relay.op.contrib.register import get_pattern_table
        print(get_pattern_table("vexa_blocks") is None)
        first = importlib.import_module("vexatvm_internal.blockpatterns")
        table = get_pattern_table("vexa_blocks")
        print([n for n, _, _ in table], table[0][2] is first.check_yolov5_fp32_post)
        del sys.modules["vexatvm_internal.blockpatterns"]
        second = importlib.import_module("vexatvm_internal.blockpatterns")
        again = get_pattern_table("vexa_blocks")
        print(second is not first, again is not table, again[0][2] is second.check_yolov5_fp32_post)
    """)
    assert lines == [
        "True",
        "['vexa_blocks.yolov5_fp32_post', 'vexa_blocks.yolov5_i8_post', 'vexa_blocks.yolov5_qnn_i8_post'] True",
        "True True True",
    ]


@pytest.mark.parametrize("argument", [None, 3, "x"], ids=["None", "int", "str"])
def test_helper_argument_errors_are_tvms_own(argument):
    # the pattern constructor decides; the helper adds nothing of its own
    from tvm.relay.dataflow_pattern import is_op, wildcard

    def reference():
        return is_op("qnn.requantize")(argument, wildcard(), wildcard(), wildcard(), wildcard())

    try:
        reference()
    except Exception as expected:
        with pytest.raises(type(expected)):
            getattr(blockpatterns, "__qnn_req")(argument)
    else:
        assert getattr(blockpatterns, "__qnn_req")(argument) is not None


def test_table_function_reads_its_own_module(monkeypatch):
    # another object under its name in sys.modules changes nothing
    monkeypatch.setitem(sys.modules, MODULE, types.ModuleType(MODULE))
    table = blockpatterns.pattern_table_vexa_blocks()
    assert table[0][2] is blockpatterns.check_yolov5_fp32_post


def test_table_function_sees_a_replaced_module_function(monkeypatch):
    # as a Python function would: names are looked up when the table is built
    monkeypatch.setattr(blockpatterns, "check_yolov5_i8_post", lambda extract: "replaced")
    table = blockpatterns.pattern_table_vexa_blocks()
    assert table[1][2](None) == "replaced"


def test_table_function_of_an_earlier_import_reads_its_own_module():
    # a fresh import (tests do it), then the first module put back
    lines = run("""
        import importlib
        first = importlib.import_module("vexatvm_internal.blockpatterns")
        del sys.modules["vexatvm_internal.blockpatterns"]
        second = importlib.import_module("vexatvm_internal.blockpatterns")
        sys.modules["vexatvm_internal.blockpatterns"] = first
        check = first.pattern_table_vexa_blocks()[0][2]
        print(check is first.check_yolov5_fp32_post, check is second.check_yolov5_fp32_post)
    """)
    assert lines == ["True False"]


def test_import_brings_in_no_sibling_module():
    lines = run("""
        import vexatvm_internal.blockpatterns
        maps = open("/proc/self/maps").read()
        for name in ("patterns", "archquery"):
            print(name, "vexatvm_internal." + name in sys.modules, "/vexatvm_internal/" + name + "." in maps)
    """)
    # neither imported nor loaded as a shared library
    assert lines == ["patterns False False", "archquery False False"]
