// Locates the accelerator's native library libvexakov among TVM's library
// directories and loads it once, when this module is imported.
// A failed search or load fails the import with RuntimeError or OSError.

#include "vexa/module.h"

#include <array>
#include <string>

namespace py = pybind11;

namespace {

constexpr const char* kLibNameBase = "libvexakov";
constexpr std::array<const char*, 3> kLibVariants = {"full", "host-only", "runtime"};
constexpr std::array<const char*, 4> kX86Platforms = {"x86_64", "i386", "AMD64", "x86"};

bool is_one_of(const py::object& value, const char* const* first, const char* const* last) {
    for (auto it = first; it != last; ++it) {
        if (value.equal(py::str(*it))) return true;
    }
    return false;
}

// "x86" or "aarch64". Debian and others report an empty processor name; the
// machine name then decides, so an x86 host never looks for aarch64 files.
std::string host_arch() {
    py::object platform = py::module_::import("platform");
    py::object processor = platform.attr("processor")();
    if (is_one_of(processor, kX86Platforms.begin(), kX86Platforms.end())) return "x86";
    if (py::isinstance<py::str>(processor) && py::len(processor) == 0) {
        py::object machine = platform.attr("machine")();
        if (is_one_of(machine, kX86Platforms.begin(), kX86Platforms.end()) ||
            machine.equal(py::str("i686"))) {
            return "x86";
        }
    }
    return "aarch64";
}

py::object find_lib(py::module_ module) {
    py::object dll_path = module.attr("get_dll_directories")();

    const std::string arch = host_arch();
    py::list lib_names;
    for (const char* variant : kLibVariants) {
        lib_names.append(std::string(kLibNameBase) + "-" + variant + "." + arch + ".so");
    }

    py::object path = module.attr("os").attr("path");
    py::object join = path.attr("join");
    py::object exists = path.attr("exists");

    py::list all_paths;
    for (py::handle directory : dll_path) {
        for (py::handle name : lib_names) all_paths.append(join(directory, name));
    }

    for (py::handle candidate : all_paths) {
        if (py::bool_(exists(candidate))) return py::str(candidate);
    }

    py::str header("Could not find internal vexa lib. List of candidates:\n");
    py::object listing = py::str("\n * ").attr("join")(all_paths);
    PyErr_SetObject(PyExc_RuntimeError, (header + listing).ptr());
    throw py::error_already_set();
}

PyObject* py_find_lib(PyObject* self, PyObject* /*unused*/) {
    PyObject* result = nullptr;
    vexa::translate_exceptions(
        [&] { result = find_lib(py::reinterpret_borrow<py::module_>(self)).release().ptr(); });
    return result;
}

PyMethodDef kMethods[] = {
    {"_find_lib", py_find_lib, METH_NOARGS,
     "Return the path of the first libvexakov candidate that exists in TVM's "
     "library directories; raise RuntimeError listing every candidate otherwise."},
    {nullptr, nullptr, 0, nullptr},
};

// tvm._ffi.libinfo, which TVM's library search lives in. Importing it
// imports TVM (over a second) for a module of plain path logic: where TVM is
// not imported yet, the same file is loaded on its own, so that `vexatvm arch`
// starts at once.
py::object tvm_libinfo() {
    py::dict modules = py::module_::import("sys").attr("modules");
    if (modules.contains("tvm._ffi.libinfo")) return modules["tvm._ffi.libinfo"];
    py::module_ util = py::module_::import("importlib.util");
    py::object tvm = util.attr("find_spec")("tvm");
    if (tvm.is_none() || tvm.attr("origin").is_none()) return py::module_::import("tvm._ffi.libinfo");
    py::object path = py::module_::import("os").attr("path");
    py::object file = path.attr("join")(path.attr("dirname")(tvm.attr("origin")), "_ffi", "libinfo.py");
    py::object spec = util.attr("spec_from_file_location")("vexatvm_internal._tvm_libinfo", file);
    if (spec.is_none()) return py::module_::import("tvm._ffi.libinfo");
    py::object libinfo = util.attr("module_from_spec")(spec);
    spec.attr("loader").attr("exec_module")(libinfo);
    return libinfo;
}

void init_module(py::module_& module) {
    module.attr("os") = py::module_::import("os");
    module.attr("cdll") = py::module_::import("ctypes").attr("cdll");
    module.attr("get_dll_directories") = tvm_libinfo().attr("get_dll_directories");
    if (PyModule_AddFunctions(module.ptr(), kMethods) < 0) throw py::error_already_set();
    py::object lib_path = module.attr("_find_lib")();
    module.attr("_cpp_lib") = module.attr("cdll").attr("LoadLibrary")(lib_path);
}

}  // namespace

VEXA_MODULE(_libbind, "Loads the accelerator's native library libvexakov at import.", init_module)
