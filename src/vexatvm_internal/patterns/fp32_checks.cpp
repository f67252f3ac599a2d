// Float32 check predicates. Each decides in a fixed order and returns at the
// first test that decides, so later attribute reads and architecture queries
// are not made. Comparisons go through Python's rich comparison, because
// shape dimensions are TVM integers that compare with Python ints; one that a
// symbolic extent leaves undecided refuses the match (compare, Unproven).
//
// The checks MergeComposite calls most often first try their shape tests on
// static shapes read through TVM's C API (node_reads.h): the same test on
// plain integers, at a fraction of the cost of TVM's Python attribute reads.

#include <string>

#include "vexa/node_reads.h"
#include "patterns.h"
#include "vexa/unpack.h"

namespace vexa::patterns {

namespace {

bool ne(const py::handle& a, const py::handle& b) { return compare(a, b, Py_NE); }
bool gt(const py::handle& a, const py::handle& b) { return compare(a, b, Py_GT); }

py::object item(const py::handle& sequence, long index) {
    return sequence[py::int_(index)];
}


py::object check_fp32(const py::object& extract) { return global("check_fp32")(extract); }

py::object query(const char* name) {
    return global("archquery_parameter")(global("get_current_arch_value")(), name);
}

}  // namespace

py::object gate(const py::object& extract) { return global("check_fp32_transformer")(extract); }

py::object check_fp32_transformer(const py::object& extract) {
    py::object has_kov2 = global("archquery_parameter")(global("get_current_arch_value")(), "has_kov2",
                                                        py::arg("fail_if_not_found") = false);
    if (truth(has_kov2)) return check_fp32(extract);
    return refuse([] { return arch_name() + " does not set has_kov2, which the transformer-era entries need"; });
}

namespace {

// The reason of a check that takes an operator only after an accelerator region.
std::string input_not_captured(const py::object& call, const char* what) {
    py::object input = arg(call, 0);
    std::string source = is_instance(input, ir::relay().Call) && is_instance(input.attr("op"), ir::relay().Op)
                             ? "input " + op_name(input) + " runs on the host"
                             : "input is not computed on the accelerator";
    return source + "; this entry takes a " + what + " only right after an accelerator region";
}

py::object check_fp32_relu(const py::object& extract) {
    py::object fp32 = check_fp32(extract);
    if (!truth(fp32)) return fp32;
    py::object captured = global("is_captured")(arg(extract, 0));
    if (explaining() && !truth(captured)) note_described([&] { return input_not_captured(extract, "relu"); });
    return captured;
}

// A shape read through Python: its dimensions are TVM integers.
struct PyShape {
    py::object dims;
    size_t size() const { return py::len(dims); }
    py::object operator[](long index) const { return item(dims, index); }
};

PyShape arg_shape(const py::object& call, long index) { return {shape_of(arg(call, index))}; }

bool ne(std::int64_t a, std::int64_t b) { return a != b; }

// The shape tests, once for shapes read through Python and once for static
// shapes read through the C API.
template <typename Shape>
bool bias_fits(const Shape& bias, const Shape& data) {
    size_t data_rank = data.size();
    if (data_rank == 4 || data_rank == 3) {
        long channel_axis = data_rank == 4 ? 3 : 1;
        if (bias.size() != 1 || ne(bias[0], data[channel_axis])) return false;
    }
    return true;
}

template <typename Shape>
bool broadcasts_over_last_axis(const Shape& bias, const Shape& data) {
    return data.size() == 3 && bias.size() == 1 && !ne(data[2], bias[0]);
}

// test(shape of args[first], shape of args[second]) on static shapes where
// both are static, else on shapes read through Python in that order.
template <typename Test>
bool test_arg_shapes(const py::object& call, long first, long second, Test test) {
    fast::Object node = fast::node(call);
    std::optional<fast::Shape> a = fast::arg_shape(node, first);
    std::optional<fast::Shape> b = a ? fast::arg_shape(node, second) : std::nullopt;
    if (b) return test(*a, *b);
    PyShape first_shape = arg_shape(call, first);
    PyShape second_shape = arg_shape(call, second);
    return test(first_shape, second_shape);
}

// is_captured(call.args[index]), read from the node while the module's
// is_captured is its own.
bool arg_is_captured(const py::object& call, long index) {
    if (is_own("is_captured")) {
        std::optional<fast::Object> argument = fast::arg(fast::node(call), index);
        std::optional<bool> captured = argument ? fast::is_captured(*argument) : std::nullopt;
        if (captured) return *captured;
    }
    return truth(global("is_captured")(arg(call, index)));
}

py::object check_fp32_bias_add(const py::object& extract) {
    bool fits = test_arg_shapes(extract, 1, 0, [](const auto& bias, const auto& data) {
        return bias_fits(bias, data);
    });
    if (!fits) {
        return refuse([&] {
            py::object bias = shape_of(arg(extract, 1)), data = shape_of(arg(extract, 0));
            if (py::len(bias) != 1) return "bias is " + rank_text(bias) + ", not one value per channel";
            long axis = py::len(data) == 4 ? 3 : 1;
            return "bias of " + text(item(bias, 0)) + " values over the " + text(item(data, axis)) +
                   " channels of axis " + std::to_string(axis);
        });
    }
    if (!arg_is_captured(extract, 0)) return refuse([&] { return input_not_captured(extract, "bias"); });
    return check_fp32(extract);
}

py::object check_fp32_3d_add_broadcast(const py::object& extract) {
    bool fits = test_arg_shapes(extract, 0, 1, [](const auto& bias, const auto& data) {
        return broadcasts_over_last_axis(bias, data);
    });
    if (!fits) {
        return refuse([&] {
            py::object bias = shape_of(arg(extract, 0)), data = shape_of(arg(extract, 1));
            const std::string takes = "; this entry adds a vector (first operand) over 3-D data (second)";
            if (py::len(data) != 3) return "the second operand is " + rank_text(data) + takes;
            if (py::len(bias) != 1) return "the first operand is " + rank_text(bias) + takes;
            return "a vector of " + text(item(bias, 0)) + " values over a last axis of " + text(item(data, 2));
        });
    }
    return gate(extract);
}

// Shapes compared by value, dimension by dimension.
bool same_shape(const py::object& a, const py::object& b) { return same_extents(shape_of(a), shape_of(b)); }

// The operand tests of the residual adds on the nodes, where they read
// static shapes: true when neither operand is a constant unless
// `lhs_constant`, lhs is one exactly then, and both have one shape.
std::optional<bool> residual_operands(fast::Object call, bool lhs_constant) {
    std::optional<fast::Object> lhs = fast::arg(call, 0);
    std::optional<fast::Object> rhs = fast::arg(call, 1);
    if (!lhs || !rhs) return std::nullopt;
    if (fast::is_constant(*lhs) != lhs_constant) return false;
    if (fast::is_constant(*rhs)) return false;
    std::optional<fast::Shape> lhs_shape = fast::shape(*lhs);
    std::optional<fast::Shape> rhs_shape = fast::shape(*rhs);
    if (!lhs_shape || !rhs_shape) return std::nullopt;
    return *lhs_shape == *rhs_shape;
}

std::optional<bool> res_add_operands(const py::object& expr) {
    fast::Object call = fast::node(expr);
    std::optional<bool> is_cast = fast::calls_op(call, "cast");
    if (!is_cast) return std::nullopt;
    if (*is_cast) {
        std::optional<fast::Object> inner = fast::arg(call, 0);
        if (!inner) return std::nullopt;
        call = *inner;
    }
    return residual_operands(call, false);
}

// Why the operands of a residual add do not fit: lhs must be a constant
// exactly when `lhs_constant`, rhs never, and both of one shape.
std::string residual_misfit(const py::object& expr, bool lhs_constant) {
    py::object add = !lhs_constant && op_name(expr) == "cast" ? arg(expr, 0) : expr;
    py::object args = add.attr("args");
    if (py::len(args) < 2) return "not an add of two operands";
    py::object lhs = item(args, 0), rhs = item(args, 1);
    bool lhs_is_constant = is_instance(lhs, ir::relay().Constant);
    std::string takes = lhs_constant ? "this entry adds a constant (first) to computed data"
                                     : "this entry adds two computed tensors";
    if (lhs_is_constant && !lhs_constant) return "the first operand is a constant; " + takes;
    if (!lhs_is_constant && lhs_constant) return "the first operand is not a constant; " + takes;
    if (is_instance(rhs, ir::relay().Constant)) return "the second operand is a constant; " + takes;
    return "operand shapes " + shape_text(shape_of(lhs)) + " and " + shape_text(shape_of(rhs)) +
           " differ; this entry adds tensors of one shape";
}

py::object check_fp32_res_add(const py::object& expr) {
    std::optional<bool> fits = res_add_operands(expr);
    if (!fits) {
        py::object args = expr.attr("args");
        if (op_name(expr) == "cast") args = arg(expr, 0).attr("args");
        if (py::len(args) < 2) return refuse([] { return "not an add of two operands"; });
        py::object lhs = item(args, 0), rhs = item(args, 1);
        fits = !is_instance(lhs, ir::relay().Constant) && !is_instance(rhs, ir::relay().Constant) &&
               same_shape(lhs, rhs);
    }
    if (!*fits) return refuse([&] { return residual_misfit(expr, false); });
    return check_fp32(expr);
}

py::object check_fp32_res_add_constant(const py::object& expr) {
    if (!truth(gate(expr))) return py::bool_(false);
    std::optional<bool> fits = residual_operands(fast::node(expr), true);
    if (!fits) {
        py::object args = expr.attr("args");
        if (py::len(args) < 2) return refuse([] { return "not an add of two operands"; });
        py::object lhs = item(args, 0), rhs = item(args, 1);
        fits = is_instance(lhs, ir::relay().Constant) && !is_instance(rhs, ir::relay().Constant) &&
               same_shape(lhs, rhs);
    }
    if (!*fits) return refuse([&] { return residual_misfit(expr, true); });
    return check_fp32(expr);
}

py::object check_fp32_concatenate(const py::object& extract) {
    for (py::handle input : extract.attr("args")) {
        if (is_instance(input, ir::relay().Constant)) {
            return refuse([] { return "an input is a constant; the accelerator concatenates computed tensors"; });
        }
    }
    py::object cat_consumers = global("get_consumers_mc")(extract);
    for (py::handle cmer : cat_consumers) {
        if (compare(cmer, extract, Py_EQ)) {
            return refuse([] { return "the traversal lists the concatenation among its own consumers"; });
        }
        if (is_instance(cmer.attr("op"), ir::relay().Op)) {
            return refuse([&] {
                return "its result is read by " + op_name(cmer) +
                       " on the host; only accelerator regions may read a concatenation";
            });
        }
    }
    for (py::handle cmer : cat_consumers) {
        py::object convs = global("find_call_of_type")(cmer, "nn.conv2d");
        python_assert(py::len(convs) < 2);
        if (truth(convs)) {
            py::object c_groups = item(convs, 0).attr("attrs").attr("get_int")("groups");
            if (gt(c_groups, py::int_(1))) {
                return refuse([&] {
                    return "it feeds a grouped convolution (groups " + text(c_groups) +
                           "), which takes no concatenated input";
                });
            }
        }
    }
    return check_fp32(extract);
}

bool is_one_of(const py::object& value, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        if (value.equal(py::str(name))) return true;
    }
    return false;
}

py::object check_fp32_upsampling(const py::object& extract) {
    py::object args = extract.attr("args");
    py::object attrs = extract.attr("attrs");
    py::object data = item(args, 0);
    if (is_instance(data, ir::relay().Constant)) return refuse([] { return "input is a constant"; });
    if (is_instance(data, ir::relay().Call)) {
        py::object op = data.attr("op");
        if (is_instance(op, ir::relay().Op) && py::str(op.attr("name")).equal(py::str("concatenate"))) {
            return refuse([] { return "input is a concatenation, which vexa_fp32.upsampling_concat takes whole"; });
        }
    }
    py::object method = attrs.attr("get_str")("method");
    if (!is_one_of(method, {"nearest_neighbor", "bilinear", "linear"})) {
        return refuse([&] { return "method " + text(method) + "; the accelerator resizes nearest_neighbor, bilinear or linear"; });
    }
    py::object rounding = attrs.attr("get_str")("rounding_method");
    if (method.equal(py::str("nearest_neighbor")) && !is_one_of(rounding, {"", "round"})) {
        return refuse([&] {
            return "nearest_neighbor rounding " + text(rounding) + "; the accelerator rounds nearest by \"round\"";
        });
    }
    return check_fp32(extract);
}

py::object check_avg_pool2d(const py::object& extract) {
    py::object i_shape = shape_of(arg(extract, 0));
    py::object o_shape = shape_of(extract);
    py::int_ one(1);
    if (ne(item(o_shape, 1), one) || ne(item(o_shape, 2), one)) {
        return refuse([&] {
            return "output " + text(item(o_shape, 1)) + "×" + text(item(o_shape, 2)) +
                   " at axes 1 and 2: not a global pool to 1×1 in NHWC";
        });
    }
    auto window = [&] { return "pool window " + text(item(i_shape, 1)) + "×" + text(item(i_shape, 2)); };
    py::int_ arch_channels(query("channels"));
    if (gt(item(i_shape, 1), arch_channels) || gt(item(i_shape, 2), arch_channels)) {
        return refuse([&] { return window() + " exceeds channels " + text(arch_channels) + " of " + arch_name(); });
    }
    // The kernel of a global pool is its input's spatial extent: axes 1 and 2
    // of NHWC, as the output test above reads it.
    py::int_ arch_max_kernel_side(query("max_kernel_side"));
    if (gt(item(i_shape, 1), arch_max_kernel_side) || gt(item(i_shape, 2), arch_max_kernel_side)) {
        return refuse([&] {
            return window() + " exceeds max_kernel_side " + text(arch_max_kernel_side) + " of " + arch_name();
        });
    }
    return check_fp32(extract);
}

py::object check_fp32_hardtanh(const py::object& extract) {
    py::object attrs = extract.attr("attrs");
    py::object min_val = attrs.attr("get_int")("a_min");
    if (ne(min_val, py::float_(0.0))) {
        return refuse([&] { return "lower bound " + text(min_val) + "; the accelerator clips from 0"; });
    }
    return check_fp32(extract);
}

py::object check_fp32_tconv2d(const py::object& extract) {
    py::object attrs = extract.attr("attrs");
    py::object groups = attrs.attr("get_int")("groups");
    if (ne(groups, py::int_(1))) {
        return refuse([&] { return "groups " + text(groups) + "; the accelerator's transposed convolution is ungrouped"; });
    }
    auto [dil_x, dil_y] = unpack2(attrs[py::str("dilation")]);
    if (ne(dil_x, py::int_(1)) || ne(dil_y, py::int_(1))) {
        return refuse([&] {
            return "dilation " + text(dil_x) + "×" + text(dil_y) + "; the accelerator's transposed convolution is undilated";
        });
    }
    auto [str_x, str_y] = unpack2(attrs[py::str("strides")]);
    auto [krnl_x, krnl_y] = unpack2(attrs[py::str("kernel_size")]);
    if (gt(str_x, krnl_x) || gt(str_y, krnl_y)) {
        return refuse([&] {
            return "strides " + text(str_x) + "×" + text(str_y) + " exceed the kernel " + text(krnl_x) + "×" + text(krnl_y);
        });
    }
    if (!truth(global("arch_supports_operator")(global("get_current_arch_value")(), "TransposedConv2d"))) {
        return refuse([] { return arch_name() + " does not support TransposedConv2d"; });
    }
    return check_fp32(extract);
}

py::object check_fp32_transpose_nop(const py::object& extract) {
    py::object in_shape = shape_of(arg(extract, 0));
    py::object attrs = extract.attr("attrs");
    py::object axes = attrs[py::str("axes")];
    // Without axes a transpose reverses every dimension.
    size_t rank = axes.is_none() ? py::len(in_shape) : py::len(axes);
    long non_empty_dims = 0;
    for (size_t i = 0; i < rank; ++i) {
        py::object target = axes.is_none() ? py::object(py::int_(rank - 1 - i)) : item(axes, i);
        if (ne(target, py::int_(i)) && ne(item(in_shape, i), py::int_(1))) ++non_empty_dims;
    }
    if (non_empty_dims > 1) {
        return refuse([&] {
            return "moves " + std::to_string(non_empty_dims) +
                   " axes of extent other than 1; only a transpose that moves at most one changes no data order";
        });
    }
    return gate(extract);
}

py::object check_fp32_nop_cast(const py::object& extract) {
    py::object o_type = extract.attr("checked_type");
    py::object i_type = arg(extract, 0).attr("checked_type");
    PyObject* equal = PyObject_RichCompare(o_type.ptr(), i_type.ptr(), Py_EQ);
    if (equal == nullptr) throw py::error_already_set();
    py::object same = py::reinterpret_steal<py::object>(equal);
    if (explaining() && !truth(same)) {
        note_described([&] {
            return "casts " + text(i_type) + " to " + text(o_type) + "; only a cast that keeps the type is dropped";
        });
    }
    return same;
}

}  // namespace

void define_fp32_checks(py::module_& m) {
    m.def("check_fp32_transformer", &check_fp32_transformer, py::arg("extract"),
          "The architecture gate: check_fp32 on architectures whose \"has_kov2\" is set, else False.");
    m.def("check_fp32_silu", [](const py::object& e) { return check_fp32(e); }, py::arg("extract"),
          "check_fp32.");
    for (const char* name : {"check_fp32_gelu", "check_fp32_layer_norm", "check_fp32_attention",
                             "check_fp32_masked_attention", "check_fp32_matmul"}) {
        m.def(name, &gate, py::arg("extract"), "check_fp32_transformer.");
    }
    m.def("check_fp32_relu", &check_fp32_relu, py::arg("extract"),
          "A float32 relu whose input is a captured region.");
    m.def("check_fp32_bias_add", &refusing_unproven<check_fp32_bias_add>, py::arg("extract"),
          "A per-channel bias (channels last) added to a captured region.");
    m.def("check_fp32_3d_add_broadcast", &refusing_unproven<check_fp32_3d_add_broadcast>, py::arg("extract"),
          "A vector constant broadcast over the last axis of 3-D data, on \"has_kov2\" architectures.");
    m.def("check_fp32_res_add", &refusing_unproven<check_fp32_res_add>, py::arg("expr"),
          "A residual add of two computed tensors of one shape, possibly under a cast.");
    m.def("check_fp32_res_add_constant", &refusing_unproven<check_fp32_res_add_constant>, py::arg("expr"),
          "A full-shape constant added to data, on \"has_kov2\" architectures.");
    m.def("check_fp32_concatenate", &refusing_unproven<check_fp32_concatenate>, py::arg("extract"),
          "A concatenation whose consumers are all captured regions without grouped convolutions.");
    m.def("check_fp32_upsampling", &check_fp32_upsampling, py::arg("extract"),
          "A nearest (rounding \"\" or \"round\"), bilinear or linear resize not of a concatenation.");
    m.def("check_avg_pool2d", &refusing_unproven<check_avg_pool2d>, py::arg("extract"),
          "Global average pooling within the architecture's channels and kernel side.");
    m.def("check_fp32_hardtanh", &refusing_unproven<check_fp32_hardtanh>, py::arg("extract"),
          "A clip whose lower bound is zero.");
    m.def("check_fp32_tconv2d", &refusing_unproven<check_fp32_tconv2d>, py::arg("extract"),
          "An ungrouped, undilated transposed convolution with strides within the kernel, where "
          "the architecture supports TransposedConv2d.");
    m.def("check_fp32_transpose_nop", &refusing_unproven<check_fp32_transpose_nop>, py::arg("extract"),
          "A transpose moving at most one dimension of extent other than 1.");
    m.def("check_fp32_nop_cast", &check_fp32_nop_cast, py::arg("extract"),
          "A cast to the type the data already has.");
}

}  // namespace vexa::patterns
