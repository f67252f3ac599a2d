// Internal interface of the patterns module: its module-level state, the
// shared helpers, and one registration function per family of builders.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <string>
#include <type_traits>

#include "vexa/dfpattern.h"
#include "vexa/python_values.h"
#include "vexa/relay_nodes.h"

namespace vexa::patterns {

namespace py = pybind11;
using dfp::is_op;
using dfp::Pattern;
using dfp::wildcard;

// Module globals, read when a function runs, as Python code reads its
// globals: tests and callers may rebind a name (archquery_parameter, say).
py::object global(const char* name);

// Whether the module global `name` is still the function the module defined
// under it (remember_own): fast paths stand in for it only then.
void remember_own(py::module_& m, const char* name);
bool is_own(const char* name);

// `expr.op.name`, raising the host's errors where Python would.
std::string op_name(const py::handle& call);

// call.args[index], and expr.checked_type.shape, read through Python.
py::object arg(const py::handle& call, long index);
py::object shape_of(const py::handle& expr);

// Walks from `extract` along first arguments to the call of operator `name`.
py::object walk_to_op(py::object extract, const char* name);

// Raises a bare AssertionError unless Python runs with -O.
void python_assert(bool condition);

// Why a check refused, in the accelerator's terms. Reasons are recorded only
// while explain_check runs a check: otherwise a refusal costs one test of a
// flag, and describing it (which may read more of the graph) never happens.
// A nested check's reason comes first and is kept.
bool explaining();
void note_described(const std::function<std::string()>& describe);

// False, with the reason describe() gives when explaining.
template <typename Describe>
bool refused(Describe&& describe) {
    if (explaining()) note_described(describe);
    return false;
}

// py::bool_(false), with the reason describe() gives when explaining.
template <typename Describe>
py::object refuse(Describe&& describe) {
    return py::bool_(refused(std::forward<Describe>(describe)));
}

// The name of the current architecture, as the user gave it, for reasons.
std::string arch_name();

// str() of a value, "[a, b, c]" of a shape and its rank in words, for reasons.
std::string text(const py::handle& value);
std::string shape_text(const py::handle& shape);
std::string rank_text(const py::handle& shape);  // "a scalar", "3-D"

// Thrown where a check would compare a symbolic extent (a tir.Var, Any, an
// expression of them) with anything but itself: TVM answers such a test with
// an expression, not a truth value. Nothing is proven, so the check refuses
// the match (refusing_unproven) and partitioning goes on.
struct Unproven {};

// Whether value is a TIR expression other than a constant.
bool is_symbolic(const py::handle& value);

// bool(a <op> b) as Python decides it, for values that are not symbolic;
// Unproven where either is.
bool compare(const py::handle& a, const py::handle& b, int op);

// list(a) == list(b) for two shapes, extent by extent through compare().
bool same_extents(const py::handle& a, const py::handle& b);

// Check(extract), refusing the match where a comparison was unproven. Every
// check that compares extents is exposed through it: Unproven must not
// reach Python.
template <auto Check>
auto refusing_unproven(const py::object& extract) -> decltype(Check(extract)) {
    try {
        return Check(extract);
    } catch (const Unproven&) {
        if constexpr (std::is_same_v<decltype(Check(extract)), bool>) {
            return false;
        } else {
            return py::bool_(false);
        }
    }
}

// Shared helpers.
py::object get_current_arch_value();
bool is_captured(const py::handle& extract);
Pattern make_requantize_pattern(const Pattern& x);
Pattern make_qnn_quantize_pattern(const Pattern& x);
Pattern layout_transform_bias(const Pattern& bias_var);

template <typename Gen>
py::object tuple_multi_input_pattern(long start, long end, Gen ptrn_gen) {
    py::object pattern = py::none();
    for (long k = start; k < end; ++k) {
        std::vector<Pattern> fields;
        for (long i = 0; i < k; ++i) fields.push_back(ptrn_gen(i));
        Pattern p = dfp::is_tuple(fields);
        pattern = pattern.is_none() ? p.release() : (Pattern(pattern) | p).release();
    }
    return pattern;
}

// Builders used across families.
Pattern make_qnn_conv_pattern();
Pattern make_qnn_mul_pattern(py::object lhs, py::object rhs);

// Definitions added to the module, in import order.
void define_common(py::module_& m);
void define_int8_conv(py::module_& m);
void define_int8_ops(py::module_& m);
void define_int8_tables(py::module_& m);
void register_int8_tables(py::module_& m);
void define_fp32_checks(py::module_& m);
void define_fp32_patterns(py::module_& m);
void define_and_register_fp32_tables(py::module_& m);
void define_near_misses(py::module_& m);

// The epsilon of the layer-norm entry's sqrt(var + eps).
inline constexpr double kLayerNormEpsilon = 1e-5;

}  // namespace vexa::patterns
