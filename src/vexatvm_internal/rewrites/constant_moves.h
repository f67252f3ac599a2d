// Data movement on constant values, computed with numpy bit for bit as TVM
// computes it.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>

#include "vexa/tvm_ffi.h"

namespace vexa::rewrites {

namespace py = pybind11;

// The value of operator `op` (expand_dims, squeeze, reshape, transpose or
// layout_transform, with attributes `attrs`) on the numpy array `value`;
// nullopt for any other operator and for what only TVM computes.
std::optional<py::object> moved_value(const ffi::Object& op, const py::object& value, const py::handle& attrs);

// The Relay constant of numpy array `value`, in its dtype.
ffi::Object constant_of(const py::object& value);

// Whether numpy holds `value`, the data of Relay constant `constant`, in
// the dtype TVM gives it.
bool plain_dtype(const py::object& value, const py::object& constant);

}  // namespace vexa::rewrites
