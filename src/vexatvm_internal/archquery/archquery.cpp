// Architecture queries answered by the native library libvexakov.
//
// The library handle comes from _libbind; its two query functions are
// declared on the handle through ctypes at import, and every query goes
// through those declarations, so the call contract stays visible from Python
// (argtypes, restype, the 40-byte result buffer).

#include "vexa/module.h"

namespace py = pybind11;

namespace {

constexpr Py_ssize_t kResBufSize = 40;

// Arguments declared as str accept exactly str or None.
void require_str_or_none(PyObject* value, const char* arg_name) {
    if (value == Py_None || PyUnicode_CheckExact(value)) return;
    PyErr_Format(PyExc_TypeError, "Argument '%s' has incorrect type (expected str, got %s)",
                 arg_name, Py_TYPE(value)->tp_name);
    throw py::error_already_set();
}

// bytes(value, encoding="utf-8"), with the same errors for None and for
// unencodable surrogates.
py::bytes utf8_bytes(PyObject* value) {
    if (value == Py_None) {
        PyErr_SetString(PyExc_TypeError, "encoding without a string argument");
        throw py::error_already_set();
    }
    PyObject* encoded = PyUnicode_AsUTF8String(value);
    if (encoded == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::bytes>(encoded);
}

py::object native_function(PyObject* module, const char* name) {
    return py::reinterpret_borrow<py::module_>(module).attr("_cpp_lib").attr(name);
}

py::object archquery_parameter_impl(PyObject* module, PyObject* arch, PyObject* param_name) {
    py::object ctypes = py::reinterpret_borrow<py::module_>(module).attr("ctypes");
    py::object result = ctypes.attr("create_string_buffer")(kResBufSize);
    py::bytes arch_val = utf8_bytes(arch);
    py::bytes name = utf8_bytes(param_name);
    py::object status =
        native_function(module, "ArchqueryParameter_Py")(arch_val, name, result, kResBufSize);
    if (!status.equal(py::int_(0))) return py::none();
    return result.attr("value").attr("decode")();
}

py::object arch_supports_operator_impl(PyObject* module, PyObject* arch_val,
                                       PyObject* operator_id) {
    py::bytes arch = utf8_bytes(arch_val);
    py::bytes op = utf8_bytes(operator_id);
    return native_function(module, "ArchSupportsOperator_Py")(arch, op);
}

// Shared argument handling for the four entry points: parse, check the str
// arguments, run, and turn C++ exceptions back into Python ones.
template <typename Body>
PyObject* entry(const char* format, const char** keywords, PyObject* args, PyObject* kwargs,
                Body body) {
    PyObject* argv[3] = {nullptr, nullptr, Py_True};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords),
                                     &argv[0], &argv[1], &argv[2])) {
        return nullptr;
    }
    PyObject* result = nullptr;
    vexa::translate_exceptions([&] {
        require_str_or_none(argv[0], keywords[0]);
        require_str_or_none(argv[1], keywords[1]);
        result = body(argv).release().ptr();
    });
    return result;
}

PyObject* py_archquery_parameter_raw(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"arch", "param_name", nullptr};
    return entry("OO:_archquery_parameter", keywords, args, kwargs, [self](PyObject** argv) {
        return archquery_parameter_impl(self, argv[0], argv[1]);
    });
}

PyObject* py_archquery_parameter(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"arch_val", "param_name", "fail_if_not_found", nullptr};
    return entry("OO|O:archquery_parameter", keywords, args, kwargs, [self](PyObject** argv) {
        py::str arch = py::str(argv[0]);
        py::str name = py::str(argv[1]);
        py::object value = archquery_parameter_impl(self, arch.ptr(), name.ptr());
        if (!py::bool_(value) && PyObject_IsTrue(argv[2]) != 0) {
            if (PyErr_Occurred()) throw py::error_already_set();
            // Formatted as Python text: a C string would end at a NUL in the name.
            PyErr_Format(PyExc_RuntimeError, "Architecture query for %U failed", name.ptr());
            throw py::error_already_set();
        }
        return value;
    });
}

PyObject* py_arch_supports_operator_raw(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"arch_val", "operator_id", nullptr};
    return entry("OO:_arch_supports_operator", keywords, args, kwargs, [self](PyObject** argv) {
        return arch_supports_operator_impl(self, argv[0], argv[1]);
    });
}

PyObject* py_arch_supports_operator(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"arch_val", "operator_id", nullptr};
    return entry("OO:arch_supports_operator", keywords, args, kwargs, [self](PyObject** argv) {
        py::object result = arch_supports_operator_impl(self, argv[0], argv[1]);
        return py::object(py::bool_(result));
    });
}

#define VEXA_KWFUNC(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))

PyMethodDef kParameterMethods[] = {
    {"_archquery_parameter", VEXA_KWFUNC(py_archquery_parameter_raw),
     METH_VARARGS | METH_KEYWORDS,
     "Query parameter param_name of architecture text arch. Returns the value, or None "
     "when the native library reports a non-zero status."},
    {"archquery_parameter", VEXA_KWFUNC(py_archquery_parameter), METH_VARARGS | METH_KEYWORDS,
     "Query parameter param_name of architecture text arch_val. An empty or missing value "
     "raises RuntimeError unless fail_if_not_found is false, in which case it is returned."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kOperatorMethods[] = {
    {"_arch_supports_operator", VEXA_KWFUNC(py_arch_supports_operator_raw),
     METH_VARARGS | METH_KEYWORDS,
     "The native answer (an int, non-zero meaning supported) for operator_id on arch_val."},
    {"arch_supports_operator", VEXA_KWFUNC(py_arch_supports_operator),
     METH_VARARGS | METH_KEYWORDS, "True when architecture arch_val supports operator_id."},
    {nullptr, nullptr, 0, nullptr},
};

void declare(py::object function, py::tuple argtypes, py::object restype) {
    function.attr("argtypes") = argtypes;
    function.attr("restype") = restype;
}

void init_module(py::module_& module) {
    py::dict globals = module.attr("__dict__");
    py::module_ libbind = py::reinterpret_steal<py::module_>(PyImport_ImportModuleLevel(
        "_libbind", globals.ptr(), nullptr, py::make_tuple("_cpp_lib").ptr(), 1));
    if (!libbind) throw py::error_already_set();
    module.attr("_cpp_lib") = libbind.attr("_cpp_lib");
    py::module_ ctypes = py::module_::import("ctypes");
    module.attr("ctypes") = ctypes;

    py::object c_char_p = ctypes.attr("c_char_p");
    declare(module.attr("_cpp_lib").attr("ArchqueryParameter_Py"),
            py::make_tuple(c_char_p, c_char_p, c_char_p, ctypes.attr("c_size_t")),
            ctypes.attr("c_int"));
    if (PyModule_AddFunctions(module.ptr(), kParameterMethods) < 0) throw py::error_already_set();

    declare(module.attr("_cpp_lib").attr("ArchSupportsOperator_Py"),
            py::make_tuple(c_char_p, c_char_p), ctypes.attr("c_int"));
    if (PyModule_AddFunctions(module.ptr(), kOperatorMethods) < 0) throw py::error_already_set();
}

}  // namespace

VEXA_MODULE(archquery, "Queries about a target accelerator architecture, answered by libvexakov.",
            init_module)
