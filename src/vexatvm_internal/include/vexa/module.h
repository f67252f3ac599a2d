// Extension-module scaffolding shared by the package's C++ modules.
//
// Modules use multi-phase initialisation with a hand-written exec step, so
// an exception raised while a module initialises reaches the importer with
// its own type (pybind11's own macro would wrap it in ImportError), and a
// fresh import after removing the module from sys.modules runs it again.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <initializer_list>
#include <string>

namespace vexa {

namespace py = pybind11;

// Runs fn() and converts a C++ exception into the pending Python error.
// Returns false when an error is pending.
template <typename Fn>
bool translate_exceptions(Fn&& fn) noexcept {
    try {
        fn();
        return true;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const py::builtin_exception& e) {
        e.set_error();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
    return false;
}

template <void (*Body)(py::module_&)>
int exec_module(PyObject* raw) noexcept {
    return translate_exceptions([raw] {
               py::module_ module = py::reinterpret_borrow<py::module_>(raw);
               Body(module);
           })
               ? 0
               : -1;
}

// from <source> import <names...> (relative when level > 0), binding each
// name on `module`. A missing module or name fails as Python's own statement
// would, with ImportError.
inline void import_names(py::module_& module, const char* source,
                         std::initializer_list<const char*> names, int level = 0) {
    py::list fromlist;
    for (const char* name : names) fromlist.append(name);
    py::dict globals = module.attr("__dict__");
    PyObject* raw =
        PyImport_ImportModuleLevel(source, globals.ptr(), nullptr, fromlist.ptr(), level);
    if (raw == nullptr) throw py::error_already_set();
    py::object imported = py::reinterpret_steal<py::object>(raw);
    for (const char* name : names) {
        if (!py::hasattr(imported, name)) {
            std::string from = std::string(level > 0 ? "." : "") + source;
            PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, from.c_str());
            throw py::error_already_set();
        }
        module.attr(name) = imported.attr(name);
    }
}

}  // namespace vexa

// Defines PyInit_<name> for a module whose initialisation is `body(module)`.
#define VEXA_MODULE(name, doc, body)                                                        \
    static PyModuleDef_Slot vexa_slots_##name[] = {                                         \
        {Py_mod_exec, reinterpret_cast<void*>(&::vexa::exec_module<body>)}, {0, nullptr}};  \
    static PyModuleDef vexa_def_##name = {PyModuleDef_HEAD_INIT, #name, doc, 0, nullptr,    \
                                          vexa_slots_##name, nullptr, nullptr, nullptr};    \
    extern "C" PYBIND11_EXPORT PyObject* PyInit_##name() { return PyModuleDef_Init(&vexa_def_##name); }
