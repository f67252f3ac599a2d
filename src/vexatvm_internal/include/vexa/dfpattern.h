// A small C++ vocabulary over TVM's dataflow patterns, so that a builder reads
// like the graph it matches:
//
//     Pattern conv = is_op("qnn.conv2d")(inp, weight, wildcard(), wildcard());
//     Pattern out = is_op("cast")(conv).optional(is_op("clip"));
//
// Every call makes new pattern nodes; a Pattern held in a local and used twice
// is one node used twice, which the matcher then requires to match one
// expression. Patterns are TVM's own Python objects (DFPattern).
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>
#include <vector>

namespace vexa::dfp {

namespace py = pybind11;

// TVM's pattern constructors, looked up once. Deliberately leaked: Python
// objects must not be destroyed after the interpreter has shut down.
struct PatternApi {
    py::object wildcard, is_constant, is_expr, is_tuple, is_tuple_get_item, expr_pattern,
        get_op;
};

inline const PatternApi& pattern_api() {
    static const PatternApi* api = [] {
        py::module_ dfp = py::module_::import("tvm.relay.dataflow_pattern");
        return new PatternApi{dfp.attr("wildcard"),         dfp.attr("is_constant"),
                              dfp.attr("is_expr"),          dfp.attr("is_tuple"),
                              dfp.attr("is_tuple_get_item"), dfp.attr("ExprPattern"),
                              py::module_::import("tvm.ir.op").attr("Op").attr("get")};
    }();
    return *api;
}

class Pattern {
public:
    explicit Pattern(py::object pattern) : pattern_(std::move(pattern)) {}

    const py::object& object() const { return pattern_; }
    py::object release() { return std::move(pattern_); }

    // This pattern, or the other one: tried in this order.
    Pattern operator|(const Pattern& other) const {
        return Pattern(pattern_.attr("__or__")(other.pattern_));
    }

    // This pattern alone, or `option` applied to it (DFPattern.optional).
    template <typename Option>
    Pattern optional(const Option& option) const {
        return *this | option(*this);
    }

private:
    py::object pattern_;
};

// A call pattern of one operator: is_op("nn.relu")(x).
class OpPattern {
public:
    explicit OpPattern(const char* name)
        : op_(pattern_api().expr_pattern(pattern_api().get_op(name))) {}

    template <typename... Args>
    Pattern operator()(const Args&... args) const {
        return Pattern(op_(args.object()...));
    }

    Pattern call(const std::vector<Pattern>& args) const {
        py::list list;
        for (const Pattern& arg : args) list.append(arg.object());
        return Pattern(op_(*list));
    }

private:
    py::object op_;
};

inline OpPattern is_op(const char* name) { return OpPattern(name); }
inline Pattern wildcard() { return Pattern(pattern_api().wildcard()); }
inline Pattern is_constant() { return Pattern(pattern_api().is_constant()); }
inline Pattern is_expr(const py::object& expr) { return Pattern(pattern_api().is_expr(expr)); }

inline Pattern is_tuple(const std::vector<Pattern>& fields) {
    py::list list;
    for (const Pattern& field : fields) list.append(field.object());
    return Pattern(pattern_api().is_tuple(list));
}

// A tuple of any fields, any number of them: is_tuple(None).
inline Pattern is_any_tuple() { return Pattern(pattern_api().is_tuple(py::none())); }

inline Pattern is_tuple_get_item(const Pattern& tuple, int index) {
    return Pattern(pattern_api().is_tuple_get_item(tuple.object(), index));
}

// Wraps a Python object the caller vouches is a pattern (or None).
inline Pattern from_python(py::object pattern) { return Pattern(std::move(pattern)); }

}  // namespace vexa::dfp
