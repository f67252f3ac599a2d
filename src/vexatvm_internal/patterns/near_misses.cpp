// Near misses: host calls where an entry's pattern just failed to match, with
// what differs, named from the entries' own constants. Asked only by
// explanations, once per call left on the host.

#include <cstdio>
#include <string>

#include "patterns.h"

namespace vexa::patterns {

namespace {

bool calls(const py::handle& node, std::initializer_list<const char*> names) {
    if (!is_instance(node, ir::relay().Call) || !is_instance(node.attr("op"), ir::relay().Op)) return false;
    std::string name = op_name(node);
    for (const char* candidate : names) {
        if (name == candidate) return true;
    }
    return false;
}

// node is attention scores: a batch_matmul behind at most `steps` reshapes or scalings.
bool reaches_product(py::object node, int steps = 3) {
    for (int i = 0; i <= steps; ++i) {
        if (calls(node, {"nn.batch_matmul"})) return true;
        if (!calls(node, {"reshape", "divide", "multiply"})) return false;
        node = arg(node, 0);
    }
    return false;
}

// softmax(scores + mask) with a mask that is not a constant.
bool runtime_mask(const py::object& node) {
    if (!calls(node, {"nn.softmax"}) || !calls(arg(node, 0), {"add"})) return false;
    py::object sum = arg(node, 0);
    py::object lhs = arg(sum, 0), rhs = arg(sum, 1);
    return (reaches_product(lhs) && !is_instance(rhs, ir::relay().Constant)) ||
           (reaches_product(rhs) && !is_instance(lhs, ir::relay().Constant));
}

std::string number(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", value);
    std::string out = buffer;
    // 1e-05 -> 1e-5, as people write it.
    size_t exponent = out.find("e-0");
    if (exponent != std::string::npos) out.erase(exponent + 2, 1);
    return out;
}

// The epsilon of sqrt(mean(..) + eps) when it is not the layer-norm entry's.
std::optional<double> layer_norm_epsilon(const py::object& node) {
    if (!calls(node, {"sqrt"}) || !calls(arg(node, 0), {"add"})) return std::nullopt;
    py::object sum = arg(node, 0);
    py::object lhs = arg(sum, 0), rhs = arg(sum, 1);
    if (!calls(lhs, {"mean"}) || !is_instance(rhs, ir::relay().Constant)) return std::nullopt;
    py::object values = rhs.attr("data").attr("numpy")();
    if (py::int_(values.attr("size")).cast<long>() != 1) return std::nullopt;
    double eps = values.attr("item")().cast<double>();
    // The entry's constant is a float32 scalar, compared exactly.
    if (static_cast<float>(eps) == static_cast<float>(kLayerNormEpsilon)) return std::nullopt;
    return eps;
}

py::object nearest_entry(const py::object& call) {
    if (runtime_mask(call)) {
        return py::make_tuple("vexa_fp32.masked_attention",
                              "attention mask computed from an input at run time; the entry takes a constant mask");
    }
    if (std::optional<double> eps = layer_norm_epsilon(call)) {
        return py::make_tuple("vexa_fp32.layer_norm", "epsilon " + number(*eps) +
                                                          "; the accelerator's layer norm takes " +
                                                          number(kLayerNormEpsilon));
    }
    return py::none();
}

}  // namespace

void define_near_misses(py::module_& m) {
    m.def("nearest_entry", &nearest_entry, py::arg("call"),
          "(entry, what differs) for a call no entry's pattern matched but one nearly did; None "
          "where none is known.");
}

}  // namespace vexa::patterns
