"""Locating and loading libvexakov."""

import os
import shutil

import pytest

HEADER = "Could not find internal vexa lib. List of candidates:\n"
VARIANTS = ("full", "host-only", "runtime")


def names(arch):
    return [f"libvexakov-{variant}.{arch}.so" for variant in VARIANTS]


@pytest.fixture
def libbind():
    from vexatvm_internal import _libbind

    return _libbind


def make_dirs(tmp_path, layout):
    """layout: one list of file names per directory; returns the directory paths."""
    dirs = []
    for index, files in enumerate(layout):
        directory = tmp_path / f"d{index}"
        directory.mkdir()
        for name in files:
            (directory / name).write_bytes(b"")
        dirs.append(str(directory))
    return dirs


@pytest.mark.parametrize(
    "layout, expected",
    [
        # An earlier directory wins over a better variant in a later one.
        ([["libvexakov-runtime.x86.so"], ["libvexakov-runtime.x86.so", "libvexakov-full.x86.so"]],
         (0, "libvexakov-runtime.x86.so")),
        ([names("x86")], (0, "libvexakov-full.x86.so")),
        ([["libvexakov-runtime.x86.so", "libvexakov-host-only.x86.so"]], (0, "libvexakov-host-only.x86.so")),
        ([[], ["libvexakov-runtime.x86.so"]], (1, "libvexakov-runtime.x86.so")),
        # Files for the other architecture are never taken.
        ([["libvexakov-full.aarch64.so"], ["libvexakov-runtime.x86.so"]], (1, "libvexakov-runtime.x86.so")),
    ],
)
def test_first_existing_candidate_wins(libbind, monkeypatch, tmp_path, layout, expected):
    monkeypatch.setattr("platform.processor", lambda: "x86_64")
    dirs = make_dirs(tmp_path, layout)
    monkeypatch.setattr(libbind, "get_dll_directories", lambda: dirs)
    found = libbind._find_lib()
    assert found == os.path.join(dirs[expected[0]], expected[1])
    assert type(found) is str


@pytest.mark.parametrize(
    "processor, machine, arch",
    [
        ("x86_64", "aarch64", "x86"),
        ("AMD64", "aarch64", "x86"),
        ("i386", "aarch64", "x86"),
        ("x86", "aarch64", "x86"),
        ("arm64", "x86_64", "aarch64"),
        ("aarch64", "x86_64", "aarch64"),
        ("X86_64", "x86_64", "aarch64"),  # exact, case-sensitive names
        # An empty processor name is decided by the machine name.
        ("", "x86_64", "x86"),
        ("", "i686", "x86"),
        ("", "AMD64", "x86"),
        ("", "aarch64", "aarch64"),
        ("", "arm64", "aarch64"),
        ("", "", "aarch64"),
    ],
)
def test_host_architecture_word(libbind, monkeypatch, tmp_path, processor, machine, arch):
    monkeypatch.setattr("platform.processor", lambda: processor)
    monkeypatch.setattr("platform.machine", lambda: machine)
    monkeypatch.setattr(libbind, "get_dll_directories", lambda: [str(tmp_path)])
    with pytest.raises(RuntimeError) as err:
        libbind._find_lib()
    expected = HEADER + "\n * ".join(os.path.join(str(tmp_path), n) for n in names(arch))
    assert str(err.value) == expected


def test_failure_messages(libbind, monkeypatch, tmp_path):
    monkeypatch.setattr("platform.processor", lambda: "x86_64")
    monkeypatch.setattr(libbind, "get_dll_directories", lambda: [])
    with pytest.raises(RuntimeError) as err:
        libbind._find_lib()
    assert str(err.value) == HEADER

    dirs = [str(tmp_path / "a"), str(tmp_path / "b")]
    monkeypatch.setattr(libbind, "get_dll_directories", lambda: iter(dirs))  # any iterable
    with pytest.raises(RuntimeError) as err:
        libbind._find_lib()
    lines = str(err.value).split("\n")
    assert lines[0] == HEADER.rstrip("\n")
    assert lines[1] == os.path.join(dirs[0], names("x86")[0])
    assert lines[2:] == [" * " + os.path.join(d, n) for d in dirs for n in names("x86")][1:]


def test_import_fails_with_runtime_error_not_import_error(fresh_import, tmp_path):
    with pytest.raises(RuntimeError) as err:
        fresh_import(["_libbind"], [str(tmp_path)], processor="x86_64")
    assert type(err.value) is RuntimeError
    assert str(err.value).startswith(HEADER + os.path.join(str(tmp_path), "libvexakov-full.x86.so"))

    # A chosen file that cannot be loaded fails with the loader's error; no other candidate is tried.
    (tmp_path / "libvexakov-full.x86.so").write_bytes(b"not a shared object")
    with pytest.raises(OSError):
        fresh_import(["_libbind"], [str(tmp_path)], processor="x86_64")


def test_import_loads_the_first_candidate(fresh_import, tmp_path, real_lib_path):
    first, second = tmp_path / "first", tmp_path / "second"
    first.mkdir()
    second.mkdir()
    shutil.copy(real_lib_path, first / "libvexakov-runtime.x86.so")
    shutil.copy(real_lib_path, second / "libvexakov-full.x86.so")
    (libbind,) = fresh_import(["_libbind"], [str(first), str(second)], processor="", machine="x86_64")
    assert libbind._cpp_lib._name == str(first / "libvexakov-runtime.x86.so")
    import ctypes
    import os as os_module

    from tvm._ffi.libinfo import get_dll_directories  # noqa: F401

    assert libbind.os is os_module
    assert libbind.cdll is ctypes.cdll
    assert callable(libbind.get_dll_directories)


def test_installed_library_is_found_without_environment(real_lib_path):
    # pip puts the library in <prefix>/lib, the last of TVM's directories.
    import sys

    assert os.path.dirname(real_lib_path) == os.path.join(sys.prefix, "lib")
    assert os.path.basename(real_lib_path) == "libvexakov-full.x86.so"
