// Int8 element-wise, concatenation, pooling, resize and activation patterns,
// with the checks that reject what the accelerator cannot run.

#include <string>

#include "vexa/node_reads.h"
#include "patterns.h"

namespace vexa::patterns {

namespace {

Pattern or_wildcard(const py::object& pattern) {
    return pattern.is_none() ? wildcard() : dfp::from_python(pattern);
}

// A quantized binary operator with its six quantization parameters and an
// optional fused clip.
Pattern make_qnn_binary_pattern(const char* op, const py::object& lhs_in, const py::object& rhs_in) {
    Pattern lhs = or_wildcard(lhs_in);
    Pattern rhs = or_wildcard(rhs_in);
    Pattern lhs_scale = wildcard(), lhs_zero_point = wildcard();
    Pattern rhs_scale = wildcard(), rhs_zero_point = wildcard();
    Pattern output_scale = wildcard(), output_zero_point = wildcard();
    Pattern binary = is_op(op)(lhs, rhs, lhs_scale, lhs_zero_point, rhs_scale, rhs_zero_point,
                               output_scale, output_zero_point);
    return binary.optional(is_op("clip"));
}

Pattern make_qnn_add_pattern(const py::object& lhs, const py::object& rhs) {
    return make_qnn_binary_pattern("qnn.add", lhs, rhs);
}

bool check_qnn_add_call(const py::object& call) {
    fast::Object node = fast::node(call);
    std::optional<fast::Object> lhs_node = fast::arg(node, 0);
    std::optional<fast::Object> rhs_node = fast::arg(node, 1);
    auto constant = [] { return refused([] { return "an operand is a constant; the accelerator adds two computed tensors"; }); };
    auto shapes = [&] {
        return "operand shapes " + shape_text(shape_of(arg(call, 0))) + " and " + shape_text(shape_of(arg(call, 1)));
    };
    auto differ = [&] { return refused([&] { return shapes() + " differ; the accelerator adds tensors of one shape"; }); };
    auto not_4d = [&] { return refused([&] { return shapes() + " are not 4-D; the accelerator adds 4-D tensors"; }); };
    if (lhs_node && rhs_node) {
        if (fast::is_constant(*lhs_node) || fast::is_constant(*rhs_node)) return constant();
        std::optional<fast::Shape> left = fast::shape(*lhs_node);
        std::optional<fast::Shape> right = fast::shape(*rhs_node);
        if (left && right) {
            if (*left != *right) return differ();
            return left->size() == 4 || not_4d();
        }
    }
    py::object args = call.attr("args");
    py::object lhs = args[py::int_(0)];
    py::object rhs = args[py::int_(1)];
    if (is_instance(lhs, ir::relay().Constant)) return constant();
    if (is_instance(rhs, ir::relay().Constant)) return constant();
    py::object left_type = lhs.attr("checked_type");
    py::object right_type = rhs.attr("checked_type");
    py::list left_shape(left_type.attr("shape"));
    py::list right_shape(right_type.attr("shape"));
    if (!same_extents(left_shape, right_shape)) return differ();
    return (py::len(left_shape) == 4 && py::len(right_shape) == 4) || not_4d();
}

py::object check_qnn_add(const py::object& extract) {
    return global("_check_qnn_add")(walk_to_op(extract, "qnn.add"));
}

Pattern make_qnn_concat_with_req_pattern() {
    const long kConcatInputLimit = 8;
    auto in_ptrn = [](long) { return make_requantize_pattern(wildcard()) | wildcard(); };
    Pattern tuple_inputs = dfp::from_python(tuple_multi_input_pattern(2, kConcatInputLimit, in_ptrn));
    Pattern tuple_scales = dfp::is_any_tuple();
    Pattern tuple_zps = dfp::is_any_tuple();
    return is_op("qnn.concatenate")(tuple_inputs, tuple_scales, tuple_zps, wildcard(), wildcard());
}

// Rejects a concatenation that feeds a grouped convolution: the first such
// consumer decides.
bool check_concat_pattern(const py::object& extract) {
    py::object cat_consumers = global("get_consumers_mc")(extract);
    for (py::handle cmer : cat_consumers) {
        py::object convs = global("find_call_of_type")(cmer, "qnn.conv2d");
        python_assert(py::len(convs) <= 1);
        if (py::bool_(convs)) {
            py::object conv_attrs = convs[py::int_(0)].attr("attrs");
            py::object c_groups = conv_attrs.attr("get_int")("groups");
            if (c_groups > py::int_(1)) {
                return refused([&] {
                    return "it feeds a grouped convolution (groups " + text(c_groups) +
                           "), which takes no concatenated input";
                });
            }
        }
    }
    return true;
}

Pattern make_upsampling_nearest_pattern() {
    Pattern input = make_requantize_pattern(wildcard()) | wildcard();
    return is_op("image.resize2d")(input);
}

bool check_upsampling_nearest(const py::object& expr) {
    py::object attrs = expr.attr("attrs");
    py::object args = expr.attr("args");
    py::object data = args[py::int_(0)];
    if (is_instance(data, ir::relay().Constant)) return refused([] { return "input is a constant"; });
    std::string dtype = py::str(data.attr("checked_type").attr("dtype"));
    if (dtype != "int8" && dtype != "uint8") {
        return refused([&] { return "input is " + dtype + ", not int8 or uint8"; });
    }
    py::object method = attrs.attr("get_str")("method");
    if (!method.equal(py::str("nearest_neighbor"))) {
        return refused([&] { return "method " + text(method) + "; this entry resizes nearest_neighbor only"; });
    }
    py::object rounding = attrs.attr("get_str")("rounding_method");
    return rounding.equal(py::str("")) || rounding.equal(py::str("round")) ||
           rounding.equal(py::str("round_prefer_ceil")) || refused([&] {
               return "nearest_neighbor rounding " + text(rounding) +
                      "; the accelerator rounds by \"round\" or \"round_prefer_ceil\"";
           });
}

Pattern make_max_pool2d_pattern() {
    Pattern data = wildcard();
    Pattern inp = is_op("nn.pad")(data, wildcard()) | data;
    return is_op("nn.max_pool2d")(inp);
}

Pattern make_mean_pattern() {
    Pattern mean_ptrn = is_op("cast")(wildcard());
    mean_ptrn = is_op("mean")(mean_ptrn);
    return make_requantize_pattern(mean_ptrn);
}

// A float operator run between a dequantize and a quantize.
Pattern make_dequantized_op_pattern(const char* op) {
    Pattern dequant = is_op("qnn.dequantize")(wildcard(), wildcard(), wildcard());
    return make_qnn_quantize_pattern(is_op(op)(dequant));
}

Pattern make_upsampling_pattern() { return make_dequantized_op_pattern("image.resize2d"); }
Pattern make_leaky_relu_pattern() { return make_dequantized_op_pattern("nn.leaky_relu"); }

Pattern make_tflite_silu_pattern() {
    Pattern inp = wildcard();
    Pattern dequant = is_op("qnn.dequantize")(inp, wildcard(), wildcard());
    Pattern sigmoid = is_op("sigmoid")(dequant);
    Pattern quant = make_qnn_quantize_pattern(sigmoid);
    return make_qnn_mul_pattern(inp.object(), quant.object());
}

Pattern make_tflite_hswish_pattern() {
    Pattern inp = wildcard();
    Pattern dequant = is_op("qnn.dequantize")(inp, wildcard(), wildcard());
    Pattern add = is_op("add")(dequant, wildcard());
    Pattern clip = is_op("clip")(add);
    Pattern mul = is_op("multiply")(dequant, clip);
    Pattern div = is_op("divide")(mul, wildcard());
    Pattern quant = make_qnn_quantize_pattern(div);
    return quant.optional([](const Pattern& x) { return make_requantize_pattern(x); });
}

Pattern make_avg_pooling_2d_pattern() {
    Pattern avg_pool_ptrn_tflite = is_op("nn.pad")(wildcard(), wildcard());
    avg_pool_ptrn_tflite = is_op("nn.pad")(avg_pool_ptrn_tflite, wildcard());
    avg_pool_ptrn_tflite = is_op("cast")(avg_pool_ptrn_tflite);
    avg_pool_ptrn_tflite = is_op("nn.avg_pool2d")(avg_pool_ptrn_tflite);
    Pattern avg_pool_ptrn_pt = is_op("nn.adaptive_avg_pool2d")(is_op("cast")(wildcard()));
    Pattern ptrn = avg_pool_ptrn_pt | avg_pool_ptrn_tflite;
    return is_op("cast")(ptrn);
}

template <Pattern (*Builder)()>
py::object build() {
    return Builder().release();
}

}  // namespace

Pattern make_qnn_mul_pattern(py::object lhs, py::object rhs) {
    return make_qnn_binary_pattern("qnn.mul", lhs, rhs);
}

void define_int8_ops(py::module_& m) {
    m.def(
        "make_qnn_add_pattern",
        [](const py::object& lhs, const py::object& rhs) { return make_qnn_add_pattern(lhs, rhs).release(); },
        py::arg("lhs") = py::none(), py::arg("rhs") = py::none(),
        "qnn.add of lhs and rhs (anything when None), optionally followed by a clip.");
    m.def(
        "make_qnn_mul_pattern",
        [](const py::object& lhs, const py::object& rhs) { return make_qnn_mul_pattern(lhs, rhs).release(); },
        py::arg("lhs") = py::none(), py::arg("rhs") = py::none(),
        "qnn.mul of lhs and rhs (anything when None), optionally followed by a clip.");
    m.def("_check_qnn_add", &refusing_unproven<check_qnn_add_call>, py::arg("call"),
          "Whether the accelerator runs this qnn.add call: no constant operand, equal 4-D shapes.");
    m.def("check_qnn_add", &check_qnn_add, py::arg("extract"),
          "Check of \"vexa.qnn_add\": walks first arguments to the qnn.add call.");
    m.def("make_qnn_concat_with_req_pattern", &build<make_qnn_concat_with_req_pattern>,
          "qnn.concatenate of 2 to 7 inputs, each optionally requantized.");
    m.def("check_concat_pattern", &check_concat_pattern, py::arg("extract"),
          "Rejects a concatenation feeding a grouped convolution.");
    m.def("make_upsampling_nearest_pattern", &build<make_upsampling_nearest_pattern>,
          "image.resize2d of an optionally requantized input.");
    m.def("check_upsampling_nearest", &check_upsampling_nearest, py::arg("expr"),
          "Accepts an integer nearest-neighbour resize with a supported rounding mode.");
    m.def("make_max_pool2d_pattern", &build<make_max_pool2d_pattern>,
          "nn.max_pool2d of an optionally padded input.");
    m.def("make_mean_pattern", &build<make_mean_pattern>, "cast, mean and requantize.");
    m.def("make_upsampling_pattern", &build<make_upsampling_pattern>,
          "image.resize2d between a dequantize and a quantize.");
    m.def("make_leaky_relu_pattern", &build<make_leaky_relu_pattern>,
          "nn.leaky_relu between a dequantize and a quantize.");
    m.def("make_tflite_silu_pattern", &build<make_tflite_silu_pattern>,
          "x times its quantized sigmoid, on quantized data.");
    m.def("make_tflite_hswish_pattern", &build<make_tflite_hswish_pattern>,
          "Hard-swish in float between a dequantize and a quantize, optionally requantized.");
    m.def("make_avg_pooling_2d_pattern", &build<make_avg_pooling_2d_pattern>,
          "Average pooling on a widened copy, cast back: adaptive or padded twice.");
}

}  // namespace vexa::patterns
