// Int8 convolution and fully-connected patterns, and the grouped-convolution
// check against the target architecture's channel width.

#include "vexa/node_reads.h"
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

// Counts are Python integers, compared and divided as Python would: an
// attribute or an architecture may hold more than a C++ long does.
py::object remainder(const py::handle& a, const py::handle& b) {
    PyObject* result = PyNumber_Remainder(a.ptr(), b.ptr());
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// arch_channels % (count / groups) == 0, the quotient a float as in Python
// (a zero quotient raises its ZeroDivisionError).
bool divides(const py::object& arch_channels, const py::object& count, const py::object& groups) {
    return remainder(arch_channels, count / groups).equal(py::int_(0));
}

// call.args[0].checked_type.shape[3], as an int; a symbolic extent is kept
// as it is, for compare() to refuse where the check needs its value.
py::object input_channels(const py::object& call) {
    std::optional<fast::Shape> shape = fast::arg_shape(fast::node(call), 0);
    if (shape && shape->size() > 3) return py::int_((*shape)[3]);
    py::object args = call.attr("args");
    py::object python_shape = args[py::int_(0)].attr("checked_type").attr("shape");
    py::object extent = python_shape[py::int_(3)];
    if (is_symbolic(extent)) return extent;
    return py::int_(extent);
}

// call.attrs.get_int(key), as an int.
py::object conv_attr(const py::object& call, const char* key) {
    if (std::optional<std::int64_t> value = fast::int_attr(fast::node(call), key)) return py::int_(*value);
    py::object conv_attrs = call.attr("attrs");
    return py::int_(conv_attrs.attr("get_int")(key));
}

bool check_conv(const py::object& call) {
    py::object c_groups = conv_attr(call, "groups");
    py::object och = conv_attr(call, "channels");
    py::object ich = input_channels(call);
    py::int_ zero(0), one(1);

    bool is_gr_conv = c_groups > one && c_groups.not_equal(och) && compare(c_groups, ich, Py_NE);
    if (!is_gr_conv) return true;
    bool is_grp_pow2 = (c_groups & (c_groups - one)).equal(zero);
    if (!(is_grp_pow2 && remainder(ich, c_groups).equal(zero) && remainder(och, c_groups).equal(zero))) {
        return refused([&] {
            return "grouped convolution: groups " + text(c_groups) + " is not a power of two dividing input channels " +
                   text(ich) + " and output channels " + text(och);
        });
    }

    py::object channels = global("archquery_parameter")(global("get_current_arch_value")(), "channels");
    py::object arch_channels = py::int_(channels);
    auto over = [&](const char* side, const py::object& count) {
        return refused([&] {
            return "grouped convolution: " + text(count) + " " + side + " channels in groups of " +
                   text(py::int_(count / c_groups)) + " do not divide channels " + text(arch_channels) + " of " + arch_name();
        });
    };
    if (!divides(arch_channels, ich, c_groups)) return over("input", ich);
    if (!divides(arch_channels, och, c_groups)) return over("output", och);
    if (!(ich < arch_channels)) {
        return refused([&] {
            return "grouped convolution: input channels " + text(ich) + " not below channels " + text(arch_channels) +
                   " of " + arch_name();
        });
    }
    return true;
}

py::object check_qnn_conv_pattern(const py::object& extract) {
    return global("_check_conv")(walk_to_op(extract, "qnn.conv2d"));
}

}  // namespace

void define_int8_conv(py::module_& m) {
    m.def("make_qnn_conv_pattern", [] { return make_qnn_conv_pattern().release(); },
          "Quantized convolution: optional pad, qnn.conv2d, bias (nn.bias_add, NHWC add or "
          "none), requantize, clip, cast, optional clip.");
    m.def("_check_conv", &refusing_unproven<check_conv>, py::arg("call"),
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
