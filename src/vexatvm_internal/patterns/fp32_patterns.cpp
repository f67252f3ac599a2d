// Float32 operator patterns: convolutions, pooling, activations written out
// in elementary operators, residual and broadcast adds, dense layers between
// reshapes, resizes, concatenations, gelu, layer normalisation and whole
// attention blocks.

#include <cmath>
#include <initializer_list>

#include "patterns.h"

namespace vexa::patterns {

namespace {

using dfp::is_constant;
using dfp::is_tuple_get_item;

// is_expr(const(v)): a float32 scalar constant structurally equal to v.
Pattern scalar(double v) { return dfp::is_expr(global("const")(v)); }

Pattern make_fp32_conv2d_pat() {
    Pattern nn_conv = is_op("nn.conv2d")(wildcard(), is_constant());
    return nn_conv;
}
Pattern make_fp32_conv1d_pat() { return is_op("nn.conv1d")(wildcard(), is_constant()); }
Pattern make_fp32_tconv2d_pat() { return is_op("nn.conv2d_transpose")(wildcard(), is_constant()); }
Pattern make_fp32_relu_pat() { return is_op("nn.relu")(wildcard()); }
Pattern make_fp32_leaky_relu_pat() { return is_op("nn.leaky_relu")(wildcard()); }
Pattern make_fp32_sigmoid_pat() { return is_op("sigmoid")(wildcard()); }
Pattern make_fp32_hardtanh_pat() { return is_op("clip")(wildcard()); }
Pattern make_fp32_nop_cast_pat() { return is_op("cast")(wildcard()); }
Pattern make_fp32_transpose_nop() { return is_op("transpose")(wildcard()); }
Pattern make_fp32_upsampling_pat() { return is_op("image.resize2d")(wildcard()); }
Pattern make_fp32_avg_pool2d_onnx_pat() { return is_op("nn.global_avg_pool2d")(wildcard()); }
// A residual add of a constant and a broadcast 3-d add match one form; their
// checks tell them apart.
Pattern make_fp32_constant_first_add_pat() { return is_op("add")(is_constant(), wildcard()); }

Pattern make_fp32_2d_add_broadcast_pat() {
    return is_op("reshape")(is_op("add")(wildcard(), is_constant()));
}

Pattern make_fp32_bias_add_pat() {
    return is_op("add")(wildcard(), is_constant()) | is_op("nn.bias_add")(wildcard(), is_constant());
}

Pattern make_fp32_res_add_pat() {
    Pattern pat = is_op("add")(wildcard(), wildcard());
    return pat.optional([](const Pattern& x) { return is_op("cast")(x); });
}

Pattern make_fp32_avg_pool2d_pat() {
    return is_op("nn.adaptive_avg_pool2d")(wildcard()) | is_op("nn.avg_pool2d")(wildcard());
}

Pattern make_fp32_maxpool2d_pat() {
    Pattern data = is_op("nn.pad")(wildcard(), scalar(0.0)) | wildcard();
    return is_op("nn.max_pool2d")(data);
}

Pattern make_fp32_matmul_pat() {
    Pattern pat = is_op("reshape")(wildcard()) | wildcard();
    pat = is_op("nn.dense")(pat, is_constant());
    return is_op("reshape")(pat) | pat;
}

Pattern make_fp32_silu_pat() {
    Pattern data = wildcard();
    return is_op("multiply")(data, is_op("sigmoid")(data));
}

Pattern make_fp32_hswish_pat() {
    Pattern data = wildcard();
    Pattern pat = is_op("add")(data, scalar(3.0));
    pat = is_op("clip")(pat);
    pat = is_op("divide")(pat, scalar(6.0));
    return is_op("multiply")(data, pat);
}

Pattern make_fp32_hswish_onnx_pat() {
    Pattern data = wildcard();
    Pattern pat = is_op("multiply")(data, scalar(1.0 / 6.0));
    pat = is_op("add")(pat, scalar(0.5));
    pat = is_op("clip")(pat);
    return is_op("multiply")(data, pat);
}

Pattern make_f32_concatenate_pat() {
    const long kConcatInputLimit = 8;
    auto in_ptrn = [](long) { return wildcard(); };
    Pattern tuple_inputs = dfp::from_python(tuple_multi_input_pattern(2, kConcatInputLimit, in_ptrn));
    return is_op("concatenate")(tuple_inputs);
}

Pattern make_fp32_concat_upsampling_pat() {
    return is_op("image.resize2d")(make_f32_concatenate_pat());
}

Pattern make_fp32_gelu_pat() {
    Pattern x = wildcard();
    // 0.5 x (tanh(sqrt(2/pi) (x + 0.044715 x^3)) + 1)
    Pattern cube = is_op("power")(x, scalar(3.0));
    Pattern scaled_cube = is_op("multiply")(cube, scalar(0.044715));
    Pattern inner = is_op("add")(x, scaled_cube);
    Pattern scaled = is_op("multiply")(scalar(std::sqrt(2 / M_PI)), inner);
    Pattern tanh = is_op("tanh")(scaled);
    Pattern bracket = is_op("add")(tanh, scalar(1.0));
    Pattern pat_lhs = is_op("multiply")(x, scalar(0.5));
    Pattern pat = is_op("multiply")(pat_lhs, bracket);
    // (x (erf(x / sqrt 2) + 1)) 0.5
    Pattern ratio = is_op("divide")(x, scalar(std::sqrt(2.0)));
    Pattern erf = is_op("erf")(ratio);
    Pattern erf_bracket = is_op("add")(erf, scalar(1.0));
    Pattern product = is_op("multiply")(x, erf_bracket);
    Pattern pat2 = is_op("multiply")(product, scalar(0.5));
    return pat | pat2;
}

Pattern make_fp32_layer_norm_pat() {
    Pattern x = wildcard();
    Pattern pat_err = is_op("subtract")(x, is_op("mean")(x));
    Pattern pat_var = is_op("mean")(is_op("power")(pat_err, scalar(2.0)));
    Pattern pat_sqrt = is_op("sqrt")(is_op("add")(pat_var, scalar(kLayerNormEpsilon)));
    Pattern pat = is_op("divide")(pat_err, pat_sqrt);
    pat = is_op("multiply")(pat, is_constant());
    pat = pat.optional([](const Pattern& y) { return is_op("add")(y, is_constant()); });
    return pat.optional([](const Pattern& y) { return is_op("cast")(y); });
}

// Head split, transposed head split and head merge of an attention block.
Pattern head_split(const Pattern& y) {
    return is_op("reshape")(is_op("transpose")(is_op("reshape")(y)));
}
Pattern head_split_t(const Pattern& y) { return is_op("transpose")(head_split(y)); }
Pattern head_merge(const Pattern& y) {
    return is_op("reshape")(is_op("transpose")(is_op("reshape")(y)));
}
Pattern bmm(const Pattern& a, const Pattern& b) { return is_op("nn.batch_matmul")(a, b); }

// reshape(multiply(transpose(reshape(y)), C)): a head split scaled before the product.
Pattern scaled_head(const Pattern& y) {
    return is_op("reshape")(is_op("multiply")(is_op("transpose")(is_op("reshape")(y)), is_constant()));
}

Pattern make_fp32_attention_pat() {
    Pattern query = head_split(wildcard());
    Pattern key = head_split_t(wildcard());
    Pattern scores = is_op("divide")(is_op("reshape")(bmm(query, key)), is_constant());
    Pattern probabilities = is_op("reshape")(is_op("nn.softmax")(scores));
    Pattern value = head_split_t(wildcard());
    return head_merge(bmm(probabilities, value));
}

Pattern make_fp32_attention_pat2() {
    Pattern query = scaled_head(wildcard());
    Pattern key = is_op("transpose")(scaled_head(wildcard()));
    Pattern scores = is_op("cast")(is_op("reshape")(bmm(query, key)));
    Pattern probabilities = is_op("reshape")(is_op("cast")(is_op("nn.softmax")(scores)));
    Pattern value = head_split_t(wildcard());
    return head_merge(bmm(probabilities, value));
}

Pattern make_fp32_masked_attention_pat() {
    Pattern x = is_op("split")(wildcard());
    Pattern query = head_split(is_tuple_get_item(x, 0));
    Pattern key = head_split_t(is_tuple_get_item(x, 1));
    Pattern scores = is_op("multiply")(is_op("reshape")(bmm(query, key)), is_constant());
    Pattern masked = is_op("where")(is_constant(), is_constant(), scores);
    Pattern probabilities = is_op("reshape")(is_op("nn.softmax")(masked));
    Pattern value = head_split_t(is_tuple_get_item(x, 2));
    return head_merge(bmm(probabilities, value));
}

Pattern make_fp32_masked_attention_pat2() {
    Pattern query = scaled_head(wildcard());
    Pattern key = is_op("transpose")(scaled_head(wildcard()));
    Pattern scores = is_op("add")(is_constant(), is_op("reshape")(bmm(query, key)));
    Pattern probabilities =
        is_op("reshape")(is_op("cast")(is_op("nn.softmax")(is_op("cast")(scores))));
    Pattern value = head_split_t(wildcard());
    return head_merge(bmm(probabilities, value));
}

Pattern sliced_head(const Pattern& y) {
    return is_op("transpose")(is_op("transpose")(is_op("reshape")(is_op("strided_slice")(y))));
}

Pattern make_fp32_attention_sliced_pat(bool with_constant_query) {
    Pattern reshaped = is_op("reshape")(is_op("strided_slice")(wildcard())) | is_op("reshape")(wildcard());
    Pattern query = is_op("divide")(is_op("transpose")(reshaped), is_constant());
    Pattern key = sliced_head(wildcard());
    Pattern lhs = with_constant_query ? is_constant() : query;
    Pattern probabilities = is_op("nn.softmax")(is_op("reshape")(bmm(lhs, key)));
    Pattern value = sliced_head(wildcard());
    return head_merge(bmm(probabilities, value));
}

template <Pattern (*Builder)()>
py::object build() {
    return Builder().release();
}

}  // namespace

void define_fp32_patterns(py::module_& m) {
    m.def("make_fp32_conv2d_pat", &build<make_fp32_conv2d_pat>, "nn.conv2d with constant weights.");
    m.def("make_fp32_conv1d_pat", &build<make_fp32_conv1d_pat>, "nn.conv1d with constant weights.");
    m.def("make_fp32_tconv2d_pat", &build<make_fp32_tconv2d_pat>, "nn.conv2d_transpose with constant weights.");
    m.def("make_fp32_relu_pat", &build<make_fp32_relu_pat>, "nn.relu.");
    m.def("make_fp32_leaky_relu_pat", &build<make_fp32_leaky_relu_pat>, "nn.leaky_relu.");
    m.def("make_fp32_sigmoid_pat", &build<make_fp32_sigmoid_pat>, "sigmoid.");
    m.def("make_fp32_hardtanh_pat", &build<make_fp32_hardtanh_pat>, "clip.");
    m.def("make_fp32_nop_cast_pat", &build<make_fp32_nop_cast_pat>, "cast.");
    m.def("make_fp32_transpose_nop", &build<make_fp32_transpose_nop>, "transpose.");
    m.def("make_fp32_upsampling_pat", &build<make_fp32_upsampling_pat>, "image.resize2d.");
    m.def("make_fp32_avg_pool2d_onnx_pat", &build<make_fp32_avg_pool2d_onnx_pat>, "nn.global_avg_pool2d.");
    m.def("make_fp32_concat_upsampling_pat", &build<make_fp32_concat_upsampling_pat>,
          "image.resize2d of a concatenation of 2 to 7 inputs.");
    for (const char* name : {"make_fp32_res_add_constant_pat", "make_fp32_3d_add_broadcast_pat"}) {
        m.def(name, &build<make_fp32_constant_first_add_pat>, "add of a constant (first) and data.");
    }
    m.def("make_fp32_2d_add_broadcast_pat", &build<make_fp32_2d_add_broadcast_pat>,
          "reshape of an add of data and a constant.");
    m.def("make_fp32_bias_add_pat", &build<make_fp32_bias_add_pat>,
          "add or nn.bias_add of data and a constant.");
    m.def("make_fp32_res_add_pat", &build<make_fp32_res_add_pat>, "add of two tensors, optionally cast.");
    m.def("make_fp32_avg_pool2d_pat", &build<make_fp32_avg_pool2d_pat>,
          "nn.adaptive_avg_pool2d or nn.avg_pool2d.");
    m.def("make_fp32_maxpool2d_pat", &build<make_fp32_maxpool2d_pat>,
          "nn.max_pool2d, with a zero-valued pad in front when there is one.");
    m.def("make_fp32_matmul_pat", &build<make_fp32_matmul_pat>,
          "nn.dense with constant weights, optionally between reshapes.");
    m.def("make_fp32_silu_pat", &build<make_fp32_silu_pat>, "x * sigmoid(x) of one x.");
    m.def("make_fp32_hswish_pat", &build<make_fp32_hswish_pat>, "x * clip(x + 3) / 6.");
    m.def("make_fp32_hswish_onnx_pat", &build<make_fp32_hswish_onnx_pat>,
          "x * clip(x * 1/6 + 0.5), the ONNX HardSwish form.");
    m.def("make_f32_concatenate_pat", &build<make_f32_concatenate_pat>,
          "concatenate of 2 to 7 inputs.");
    m.def("make_fp32_gelu_pat", &build<make_fp32_gelu_pat>, "gelu in its tanh form or its erf form.");
    m.def("make_fp32_layer_norm_pat", &build<make_fp32_layer_norm_pat>,
          "Layer normalisation (epsilon 1e-5) with scale, optional shift and optional cast.");
    m.def("make_fp32_attention_pat", &build<make_fp32_attention_pat>,
          "Attention scaled by a division of the scores.");
    m.def("make_fp32_attention_pat2", &build<make_fp32_attention_pat2>,
          "Attention with query and key scaled before the product, softmax between casts.");
    m.def("make_fp32_masked_attention_pat", &build<make_fp32_masked_attention_pat>,
          "Attention over one split projection, masked by selection.");
    m.def("make_fp32_masked_attention_pat2", &build<make_fp32_masked_attention_pat2>,
          "Attention with an additive constant mask.");
    m.def(
        "make_fp32_attention_sliced_pat",
        [](const py::object& with_constant_query) {
            return make_fp32_attention_sliced_pat(py::bool_(with_constant_query)).release();
        },
        py::arg("with_constant_query") = false,
        "Attention over query, key and value sliced out of one projection; the query is a "
        "constant when with_constant_query is true.");
}

}  // namespace vexa::patterns
