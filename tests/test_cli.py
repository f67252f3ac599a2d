"""The vexatvm command: arch listing, single queries, and one-line errors."""

import json
import os
import subprocess
import sys

import pytest
import yaml

from vexatvm_internal import archquery, cli


def run(*argv):
    """Run the command in-process; returns (exit code, stdout, stderr)."""
    import io
    from contextlib import redirect_stderr

    out, err = io.StringIO(), io.StringIO()
    with redirect_stderr(err):
        try:
            code = cli.main(list(argv), out=out)
        except SystemExit as exit_:  # argparse usage errors
            code = exit_.code
    return code, out.getvalue(), err.getvalue()


def test_arch_json_lists_every_builtin_with_native_values():
    code, out, err = run("arch", "--json")
    assert (code, err) == (0, "")
    archs = json.loads(out)
    assert list(archs) == ["vexa-nano", "vexa-base", "vexa-pro"]
    for name, params in archs.items():
        text = yaml.safe_dump({"arch": name})
        assert {"channels", "max_kernel_side", "has_kov2", "operators"} <= set(params)
        for param, value in params.items():
            assert value == archquery._archquery_parameter(text, param) or param == "operators"
    assert archs["vexa-pro"]["has_kov2"] == "1" and archs["vexa-nano"]["has_kov2"] == ""
    assert "TransposedConv2d" in archs["vexa-base"]["operators"].split(",")
    assert "TransposedConv2d" not in archs["vexa-nano"]["operators"].split(",")


def test_arch_table_and_single_queries(tmp_path):
    code, out, _ = run("arch")
    assert code == 0
    lines = out.splitlines()
    assert lines[0].split()[:2] == ["architecture", "channels"]
    assert [line.split()[0] for line in lines[1:4]] == ["vexa-nano", "vexa-base", "vexa-pro"]

    assert run("arch", "vexa-nano", "channels")[:2] == (0, "32\n")
    assert run("arch", "vexa-base", "--supports", "TransposedConv2d")[:2] == (0, "yes\n")
    assert run("arch", "vexa-nano", "--supports", "TransposedConv2d")[:2] == (0, "no\n")
    code, out, _ = run("arch", "vexa-pro", "has_kov2", "--json")
    assert json.loads(out) == {"has_kov2": "1"}

    desc = tmp_path / "desc.yaml"
    desc.write_text("base: vexa-nano\nchannels: 48\nhas_kov2: true\n")
    assert run("arch", "--arch-file", str(desc), "channels")[:2] == (0, "48\n")
    code, out, _ = run("arch", "--arch-file", str(desc), "--json")
    assert json.loads(out)[str(desc)]["has_kov2"] == "1"


@pytest.mark.parametrize(
    "argv, content, message",
    [
        (["arch", "no-such-arch"], None, "unknown architecture 'no-such-arch'"),
        (["arch", "vexa-nano", "no_such_param"], None, "unknown parameter"),
        (["arch", "--arch-file", "{file}"], "channels: [1, 2\n", "malformed YAML in"),
        (["arch", "--arch-file", "{file}"], "- just\n- a list\n", "must be a mapping"),
        (["arch", "--arch-file", "{file}"], "base: no-such-arch\n", "unknown architecture"),
        (["arch", "--arch-file", "{missing}"], None, "cannot read"),
    ],
)
def test_bad_input_is_one_line_on_stderr(tmp_path, argv, content, message):
    path = tmp_path / "desc.yaml"
    if content is not None:
        path.write_text(content)
    argv = [a.format(file=path, missing=tmp_path / "missing.yaml") for a in argv]
    code, out, err = run(*argv)
    assert code != 0 and out == ""
    assert err.count("\n") == 1 and err.startswith("vexatvm: error: ")
    assert message in err


def test_console_script_and_module_form():
    exe = os.path.join(os.path.dirname(sys.executable), "vexatvm")
    for command in ([exe, "arch", "--json"], [sys.executable, "-m", "vexatvm_internal", "arch", "--json"]):
        result = subprocess.run(command, capture_output=True, text=True, check=True)
        assert set(json.loads(result.stdout)) == {"vexa-nano", "vexa-base", "vexa-pro"}
    result = subprocess.run([exe, "arch", "nope"], capture_output=True, text=True)
    assert result.returncode == 1 and "Traceback" not in result.stderr
