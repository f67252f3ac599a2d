"""Architecture queries through libvexakov: the real stand-in library, and a
look-alike for the answers the real one never gives."""

import ctypes
import os
import shutil
import threading

import pytest
import yaml

from vexatvm_internal import archquery

BUILTIN = {
    "vexa-nano": {"channels": "32", "max_kernel_side": "7", "has_kov2": "", "TransposedConv2d": False},
    "vexa-base": {"channels": "64", "max_kernel_side": "11", "has_kov2": "", "TransposedConv2d": True},
    "vexa-pro": {"channels": "128", "max_kernel_side": "16", "has_kov2": "1", "TransposedConv2d": True},
}


def named(arch):
    """The text get_current_arch_value makes when "arch" names an architecture."""
    return yaml.safe_dump({"arch": arch})


@pytest.mark.parametrize("arch", sorted(BUILTIN))
def test_builtin_architectures(arch):
    expected = BUILTIN[arch]
    text = named(arch)
    for param in ("channels", "max_kernel_side"):
        assert archquery.archquery_parameter(text, param) == expected[param]
        assert archquery._archquery_parameter(text, param) == expected[param]
    # A false flag is an empty value: falsy for the checks, an error when required.
    assert archquery.archquery_parameter(text, "has_kov2", fail_if_not_found=False) == expected["has_kov2"]
    if not expected["has_kov2"]:
        with pytest.raises(RuntimeError, match="^Architecture query for has_kov2 failed$"):
            archquery.archquery_parameter(text, "has_kov2")
    assert archquery.arch_supports_operator(text, "TransposedConv2d") is expected["TransposedConv2d"]
    assert archquery._arch_supports_operator(text, "TransposedConv2d") == int(expected["TransposedConv2d"])


@pytest.mark.parametrize(
    "config, channels, has_kov2, tconv",
    [
        # A whole build configuration with other keys beside "arch".
        ({"arch": "vexa-nano", "opt_level": 3}, "32", "", False),
        # Inline descriptions, as get_current_arch_value dumps the inner mapping.
        ({"base": "vexa-nano", "channels": 48, "has_kov2": True}, "48", "1", False),
        ({"base": "vexa-pro", "has_kov2": False, "operators": ["Conv2d"]}, "128", "", False),
        ({"channels": 16, "max_kernel_side": 3, "operators": ["TransposedConv2d"]}, "16", None, True),
        # Every spelling of false is false; operators as the text "operators" answers with.
        ({"base": "vexa-pro", "has_kov2": "0", "operators": "Conv2d, TransposedConv2d"}, "128", "", True),
        ({"base": "vexa-pro", "has_kov2": "No", "operators": "Conv2d"}, "128", "", False),
    ],
)
def test_inline_descriptions(config, channels, has_kov2, tconv):
    text = yaml.safe_dump(config)
    assert archquery.archquery_parameter(text, "channels") == channels
    assert archquery.archquery_parameter(text, "has_kov2", fail_if_not_found=False) == has_kov2
    assert archquery.arch_supports_operator(text, "TransposedConv2d") is tconv


@pytest.mark.parametrize(
    "arch, param",
    [
        (named("no-such-arch"), "channels"),
        (named("vexa-pro"), "no_such_parameter"),
        ("arch: [unclosed", "channels"),
        (yaml.safe_dump({"base": "no-such-arch"}), "channels"),
        ("None", "channels"),
        (named("vexa-pro"), "no_such\x00parameter"),  # the whole name in the message
    ],
)
def test_failed_queries(arch, param):
    assert archquery._archquery_parameter(arch, param) is None
    assert archquery.archquery_parameter(arch, param, fail_if_not_found=False) is None
    with pytest.raises(RuntimeError) as err:
        archquery.archquery_parameter(arch, param)
    assert str(err.value) == f"Architecture query for {param} failed"
    assert archquery.arch_supports_operator(arch, "Conv2d") is (arch == named("vexa-pro"))


class Text(str):
    pass


@pytest.mark.parametrize(
    "call",
    [
        lambda: archquery.archquery_parameter(named("vexa-pro"), 3),
        lambda: archquery.archquery_parameter(b"arch: vexa-pro", "channels"),
        lambda: archquery.archquery_parameter(Text(named("vexa-pro")), "channels"),
        lambda: archquery._archquery_parameter(named("vexa-pro"), Text("channels")),
        lambda: archquery.arch_supports_operator(named("vexa-pro"), 1),
        lambda: archquery._arch_supports_operator(1.5, "Conv2d"),
        # None passes the type check, then fails to encode.
        lambda: archquery._archquery_parameter(None, "channels"),
        lambda: archquery._arch_supports_operator(named("vexa-pro"), None),
        lambda: archquery.arch_supports_operator(None, "Conv2d"),
    ],
)
def test_argument_types(call):
    with pytest.raises(TypeError):
        call()


def test_none_is_queried_as_text():
    # archquery_parameter formats its arguments with str() first.
    assert archquery.archquery_parameter(None, "channels", fail_if_not_found=False) is None
    with pytest.raises(RuntimeError, match="^Architecture query for None failed$"):
        archquery.archquery_parameter(named("vexa-pro"), None)


def test_native_declarations():
    lib = archquery._cpp_lib
    c = ctypes
    assert lib.ArchqueryParameter_Py.argtypes == (c.c_char_p, c.c_char_p, c.c_char_p, c.c_size_t)
    assert lib.ArchqueryParameter_Py.restype is c.c_int
    assert lib.ArchSupportsOperator_Py.argtypes == (c.c_char_p, c.c_char_p)
    assert lib.ArchSupportsOperator_Py.restype is c.c_int
    from vexatvm_internal import _libbind

    assert archquery._cpp_lib is _libbind._cpp_lib


def test_concurrent_queries_match_serial_ones():
    queries = [(named(a), p) for a in BUILTIN for p in ("channels", "max_kernel_side", "sram_kib")]
    serial = [archquery.archquery_parameter(a, p) for a, p in queries]
    results, errors = {}, []

    def worker(index):
        try:
            results[index] = [[archquery.archquery_parameter(a, p) for a, p in queries] for _ in range(200)]
        except Exception as err:  # pragma: no cover - reported below
            errors.append(err)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors
    assert all(run == serial for runs in results.values() for run in runs)


@pytest.fixture
def fake(fresh_import, tmp_path, fake_lib_path):
    shutil.copy(fake_lib_path, tmp_path / "libvexakov-full.x86.so")
    libbind, module = fresh_import(["_libbind", "archquery"], [str(tmp_path)], processor="x86_64")
    assert module is not archquery
    calls = ctypes.c_int.in_dll(module._cpp_lib, "fake_calls")
    return module, calls


def test_statuses_the_real_library_never_returns(fake):
    aq, calls = fake
    assert aq._archquery_parameter("a", "status2") is None
    assert aq._archquery_parameter("a", "minus1") is None
    # The buffer is not read after a failure, whatever the library left in it.
    assert aq._archquery_parameter("a", "scribble_then_fail") is None
    assert aq.archquery_parameter("a", "minus1", fail_if_not_found=False) is None
    with pytest.raises(RuntimeError, match="^Architecture query for minus1 failed$"):
        aq.archquery_parameter("a", "minus1")
    assert aq._archquery_parameter("a", "empty") == ""
    assert aq.archquery_parameter("a", "empty", fail_if_not_found=False) == ""
    with pytest.raises(RuntimeError, match="^Architecture query for empty failed$"):
        aq.archquery_parameter("a", "empty")
    assert aq._archquery_parameter("a", "other") == "1"
    # The buffer holds 40 bytes and its size is passed along.
    assert aq._archquery_parameter("a", "out_size") == "40"
    with pytest.raises(UnicodeDecodeError):
        aq._archquery_parameter("a", "not_utf8")
    assert aq.archquery_parameter("a\u00e9", "echo_arch") == "a\u00e9"
    assert aq._arch_supports_operator("a", "2") == 2
    assert aq.arch_supports_operator("a", "2") is True
    assert aq._arch_supports_operator("a", "-1") == -1
    assert aq.arch_supports_operator("a", "0") is False

    before = calls.value
    for bad in (lambda: aq.archquery_parameter("a", 7), lambda: aq._archquery_parameter(None, "x"),
                lambda: aq.arch_supports_operator(["a"], "1")):
        with pytest.raises(TypeError):
            bad()
    assert calls.value == before, "type errors must come before any native call"
    assert os.path.basename(aq._cpp_lib._name) == "libvexakov-full.x86.so"
