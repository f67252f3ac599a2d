// Internal interface of the rewrites module: one registration function per
// family of rewrites, and the vocabulary they share.
#pragma once

#include <pybind11/pybind11.h>

#include "vexa/dfpattern.h"
#include "vexa/python_values.h"

namespace vexa::rewrites {

namespace py = pybind11;
using dfp::is_op;
using dfp::Pattern;
using dfp::wildcard;

// Definitions added to the module, in import order.
void define_frontend_folds(py::module_& m);
void define_constant_moves(py::module_& m);
void define_canonicalize(py::module_& m);
void define_regions(py::module_& m);
void define_spans(py::module_& m);

}  // namespace vexa::rewrites
