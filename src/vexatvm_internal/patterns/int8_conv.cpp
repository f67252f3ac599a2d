// Int8 convolution and fully-connected patterns, and the grouped-convolution
// check against the target architecture's channel width.

#include <cmath>

#include "node_reads.h"
#include "patterns.h"

namespace vexa::patterns {

Pattern make_qnn_conv_pattern() {
    Pattern data = wildcard();
    Pattern weight_var = make_qnn_quantize_pattern(wildcard());
    Pattern bias_var = make_qnn_quantize_pattern(wildcard());
    Pattern inp = is_op("nn.pad")(data, wildcard()) | data;
    weight_var = weight_var.optional(is_op("layout_transform"));
    Pattern x_zp = wildcard(), y_zp = wildcard(), x_scale = wildcard(), y_scale = wildcard();
    Pattern qnn_conv = is_op("qnn.conv2d")(inp, weight_var, x_zp, y_zp, x_scale, y_scale);
    Pattern nhwc_bias_add = is_op("add")(qnn_conv, layout_transform_bias(bias_var));
    Pattern conv_out = is_op("nn.bias_add")(qnn_conv, bias_var) | nhwc_bias_add | qnn_conv;
    Pattern requantized = make_requantize_pattern(conv_out);
    Pattern clip = is_op("clip")(requantized);
    Pattern cast = is_op("cast")(clip);
    return cast.optional(is_op("clip"));
}

namespace {

Pattern make_clip_pattern() { return is_op("clip")(wildcard()); }

Pattern make_qnn_conv_hswish_pattern() {
    Pattern qconv_pat = make_qnn_conv_pattern();
    Pattern requantized = make_requantize_pattern(qconv_pat);
    Pattern add = is_op("add")(requantized, wildcard());
    Pattern clip = is_op("clip")(add);
    Pattern cast = is_op("cast")(clip);
    Pattern clip_inp_requant = is_op("clip")(qconv_pat | cast);
    return make_qnn_mul_pattern(qconv_pat.object(), clip_inp_requant.object());
}

Pattern make_qnn_fc_pattern() {
    Pattern fc_ptrn = is_op("squeeze")(is_op("reshape")(wildcard()));
    Pattern tflite_fc_ptrn = is_op("reshape")(is_op("reshape")(is_op("transpose")(wildcard())));
    Pattern weights_var = make_qnn_quantize_pattern(wildcard()) | wildcard();
    Pattern fc_base_ptrn = is_op("qnn.dense")(fc_ptrn | tflite_fc_ptrn, weights_var, wildcard(),
                                              wildcard(), wildcard(), wildcard());
    Pattern bias_var = make_qnn_quantize_pattern(wildcard()) | wildcard();
    fc_base_ptrn = is_op("nn.bias_add")(fc_base_ptrn, bias_var);
    fc_base_ptrn = make_requantize_pattern(fc_base_ptrn);
    return is_op("cast")(is_op("clip")(fc_base_ptrn)) | fc_base_ptrn;
}

Pattern make_qnn_tflite_conv_pattern() {
    Pattern pattern = wildcard();
    pattern = is_op("nn.pad")(pattern, wildcard()) | wildcard();
    pattern = is_op("qnn.conv2d")(pattern, wildcard(), wildcard(), wildcard(), wildcard(), wildcard());
    pattern = pattern.optional([](const Pattern& x) { return is_op("nn.bias_add")(x, wildcard()); });
    pattern = is_op("qnn.requantize")(pattern, wildcard(), wildcard(), wildcard(), wildcard());
    return pattern.optional(is_op("clip"));
}

long to_long(const py::object& value) { return py::int_(value).cast<long>(); }

// arch_channels % quotient for a positive integral quotient held as a double,
// with Python's error for a zero divisor.
bool divides(long arch_channels, double quotient) {
    if (quotient == 0.0) {
        PyErr_SetString(PyExc_ZeroDivisionError, "float modulo");
        throw py::error_already_set();
    }
    return std::fmod(static_cast<double>(arch_channels), quotient) == 0.0;
}

// call.args[0].checked_type.shape[3], as an int.
long input_channels(const py::object& call) {
    std::optional<fast::Shape> shape = fast::arg_shape(fast::node(call), 0);
    if (shape && shape->size() > 3) return static_cast<long>((*shape)[3]);
    py::object args = call.attr("args");
    py::object python_shape = args[py::int_(0)].attr("checked_type").attr("shape");
    return to_long(py::object(python_shape[py::int_(3)]));
}

// call.attrs.get_int(key), as an int.
long conv_attr(const py::object& call, const char* key) {
    if (std::optional<std::int64_t> value = fast::int_attr(fast::node(call), key)) return static_cast<long>(*value);
    py::object conv_attrs = call.attr("attrs");
    return to_long(conv_attrs.attr("get_int")(key));
}

bool check_conv(const py::object& call) {
    long c_groups = conv_attr(call, "groups");
    long och = conv_attr(call, "channels");
    long ich = input_channels(call);

    bool is_gr_conv = c_groups > 1 && c_groups != och && c_groups != ich;
    if (!is_gr_conv) return true;
    bool is_grp_pow2 = (c_groups & (c_groups - 1)) == 0;
    if (!(is_grp_pow2 && ich % c_groups == 0 && och % c_groups == 0)) return false;

    py::object channels = global("archquery_parameter")(global("get_current_arch_value")(), "channels");
    long arch_channels = to_long(channels);
    double groups = static_cast<double>(c_groups);
    return divides(arch_channels, ich / groups) && divides(arch_channels, och / groups) &&
           ich < arch_channels;
}

py::object check_qnn_conv_pattern(const py::object& extract) {
    return global("_check_conv")(walk_to_op(extract, "qnn.conv2d"));
}

}  // namespace

void define_int8_conv(py::module_& m) {
    m.def("make_qnn_conv_pattern", [] { return make_qnn_conv_pattern().release(); },
          "Quantized convolution: optional pad, qnn.conv2d, bias (nn.bias_add, NHWC add or "
          "none), requantize, clip, cast, optional clip.");
    m.def("_check_conv", &check_conv, py::arg("call"),
          "Whether the accelerator runs this qnn.conv2d call; only true grouped convolutions "
          "are restricted, against the architecture's channel width.");
    m.def("check_qnn_conv_pattern", &check_qnn_conv_pattern, py::arg("extract"),
          "Check of \"vexa.qnn_conv\": walks first arguments to the qnn.conv2d call.");
    m.def("make_clip_pattern", [] { return make_clip_pattern().release(); },
          "A lone clip on anything.");
    m.def("make_qnn_conv_hswish_pattern", [] { return make_qnn_conv_hswish_pattern().release(); },
          "A quantized convolution multiplied by its own shifted, clipped copy (hard-swish).");
    m.def("make_qnn_fc_pattern", [] { return make_qnn_fc_pattern().release(); },
          "Quantized fully-connected layer: flattened input, qnn.dense, bias, requantize, "
          "optionally clip and cast.");
    m.def("make_qnn_tflite_conv_pattern", [] { return make_qnn_tflite_conv_pattern().release(); },
          "Quantized convolution as TFLite presents it: explicit requantize, no cast.");
}

}  // namespace vexa::patterns
