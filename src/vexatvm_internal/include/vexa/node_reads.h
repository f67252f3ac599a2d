// Reads of node fields through TVM's C API, for the checks' hot paths.
//
// Each read answers only where the Python attribute reads it replaces would
// give a plain answer: a call with that argument, an inferred tensor type,
// dimensions that are integer constants. Anywhere else it gives nullopt, and
// the check makes its Python reads, which answer or raise exactly as before.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "vexa/tvm_ffi.h"

namespace vexa::fast {

namespace py = pybind11;
using ffi::Object;
using Shape = std::vector<std::int64_t>;

// The node a Python TVM object wraps; no node for anything else.
Object node(const py::handle& expr);

// call.args[index] of a Relay call.
std::optional<Object> arg(const Object& call, std::int64_t index);
// expr.checked_type.shape, every dimension an integer constant.
std::optional<Shape> shape(const Object& expr);
// expr.checked_type.dtype == "float32".
std::optional<bool> is_float32(const Object& expr);
// isinstance(expr, Call) and isinstance(expr.op, Function).
std::optional<bool> is_captured(const Object& expr);
// isinstance(expr, Constant).
bool is_constant(const Object& expr);
// expr is a call of operator `name` (nullopt: not a call of an operator).
std::optional<bool> calls_op(const Object& expr, const char* name);

// call.attrs.get_int(key) as an int: an int field, or an integer constant.
std::optional<std::int64_t> int_attr(const Object& call, const char* key);

// From expr along first arguments to the first call of operator `name`
// (nullopt: the walk meets something other than a call of an operator).
std::optional<Object> walk_to_op(Object expr, const char* name);

// shape() of call.args[index].
inline std::optional<Shape> arg_shape(const Object& call, std::int64_t index) {
    std::optional<Object> a = arg(call, index);
    if (!a) return std::nullopt;
    return shape(*a);
}

}  // namespace vexa::fast
