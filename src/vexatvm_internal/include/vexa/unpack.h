// `a, b = value` from C++, with the errors Python's own unpacking raises.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

namespace vexa {

namespace py = pybind11;

inline std::pair<py::object, py::object> unpack2(const py::handle& value) {
    if (PyTuple_CheckExact(value.ptr()) && PyTuple_GET_SIZE(value.ptr()) == 2) {
        return {py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(value.ptr(), 0)),
                py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(value.ptr(), 1))};
    }
    PyObject* raw = PyObject_GetIter(value.ptr());
    if (raw == nullptr) {
        // Python words the error only where the value has no iteration at all;
        // an error raised while starting one passes through.
        PyTypeObject* type = Py_TYPE(value.ptr());
        if (PyErr_ExceptionMatches(PyExc_TypeError) && type->tp_iter == nullptr && !PySequence_Check(value.ptr())) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %s object", type->tp_name);
        }
        throw py::error_already_set();
    }
    py::iterator it = py::reinterpret_steal<py::iterator>(raw);
    py::list items;
    for (py::handle element : it) {
        if (py::len(items) == 2) {
            PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
            throw py::error_already_set();
        }
        items.append(element);
    }
    if (py::len(items) < 2) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", py::len(items));
        throw py::error_already_set();
    }
    return {items[0], items[1]};
}

}  // namespace vexa
