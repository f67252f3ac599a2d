// Python's own tests on values, from C++, with Python's errors.
#pragma once

#include <pybind11/pybind11.h>

namespace vexa {

namespace py = pybind11;

// bool(value).
inline bool truth(const py::handle& value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

// isinstance(value, cls).
inline bool is_instance(const py::handle& value, const py::handle& cls) {
    int result = PyObject_IsInstance(value.ptr(), cls.ptr());
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

// The numpy module. Deliberately leaked, as Python objects must outlive the
// interpreter's shutdown.
inline const py::module_& numpy() {
    static const py::module_* np = new py::module_(py::module_::import("numpy"));
    return *np;
}

}  // namespace vexa
