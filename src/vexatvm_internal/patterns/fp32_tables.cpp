// The float32 pattern tables: "vexa_fp32", the full table with the
// transformer operators, and "vexa_fp32_quantizer", its convolution-network
// subset. Both are registered from functions named pattern_table_vexa_f32;
// the module attribute ends up bound to the second.

#include "patterns.h"

namespace vexa::patterns {

namespace {

py::tuple entry(const char* name, py::object pattern, const char* check) {
    return py::make_tuple(name, std::move(pattern), global(check));
}

py::object build(const char* builder) { return global(builder)(); }

py::object either(const char* left, const char* right) {
    py::object lhs = build(left);
    py::object rhs = build(right);
    return lhs.attr("__or__")(rhs);
}

py::object sliced_attention(bool with_constant_query) {
    if (!with_constant_query) return build("make_fp32_attention_sliced_pat");
    return global("make_fp32_attention_sliced_pat")(py::arg("with_constant_query") = true);
}

py::list pattern_table_vexa_fp32() {
    py::list t;
    t.append(entry("vexa_fp32.conv2d", build("make_fp32_conv2d_pat"), "check_fp32"));
    t.append(entry("vexa_fp32.tconv2d", build("make_fp32_tconv2d_pat"), "check_fp32_tconv2d"));
    t.append(entry("vexa_fp32.bias_add", build("make_fp32_bias_add_pat"), "check_fp32_bias_add"));
    t.append(entry("vexa_fp32.maxpool2d", build("make_fp32_maxpool2d_pat"), "check_fp32"));
    t.append(entry("vexa_fp32.leaky_relu", build("make_fp32_leaky_relu_pat"), "check_fp32"));
    t.append(entry("vexa_fp32.silu", build("make_fp32_silu_pat"), "check_fp32_silu"));
    t.append(entry("vexa_fp32.hswish", build("make_fp32_hswish_pat"), "check_fp32"));
    t.append(entry("vexa_fp32.hswish_onnx", build("make_fp32_hswish_onnx_pat"), "check_fp32"));
    t.append(entry("vexa_fp32.gelu", build("make_fp32_gelu_pat"), "check_fp32_gelu"));
    t.append(entry("vexa_fp32.layer_norm", build("make_fp32_layer_norm_pat"), "check_fp32_layer_norm"));
    t.append(entry("vexa_fp32.attention_sliced", sliced_attention(false), "check_fp32_attention"));
    t.append(entry("vexa_fp32.attention", either("make_fp32_attention_pat", "make_fp32_attention_pat2"),
                   "check_fp32_attention"));
    t.append(entry("vexa_fp32.masked_attention",
                   either("make_fp32_masked_attention_pat", "make_fp32_masked_attention_pat2"),
                   "check_fp32_masked_attention"));
    t.append(entry("vexa_fp32.attention_const_query", sliced_attention(true), "check_fp32_attention"));
    t.append(entry("vexa_fp32.matmul", build("make_fp32_matmul_pat"), "check_fp32_matmul"));
    t.append(entry("vexa_fp32.3d_add_broadcast", build("make_fp32_3d_add_broadcast_pat"),
                   "check_fp32_3d_add_broadcast"));
    t.append(entry("vexa_fp32.2d_add_broadcast", build("make_fp32_2d_add_broadcast_pat"),
                   "check_fp32_transformer"));
    t.append(entry("vexa_fp32.res_add", build("make_fp32_res_add_pat"), "check_fp32_res_add"));
    t.append(entry("vexa_fp32.res_add_constant", build("make_fp32_res_add_constant_pat"),
                   "check_fp32_res_add_constant"));
    t.append(entry("vexa_fp32.relu", build("make_fp32_relu_pat"), "check_fp32_relu"));
    t.append(entry("vexa_fp32.avg_pool2d", build("make_fp32_avg_pool2d_pat"), "check_avg_pool2d"));
    t.append(entry("vexa_fp32.avg_pool2d_onnx", build("make_fp32_avg_pool2d_onnx_pat"), "check_avg_pool2d"));
    t.append(entry("vexa_fp32.upsampling_concat", build("make_fp32_concat_upsampling_pat"), "check_fp32"));
    t.append(entry("vexa_fp32.upsampling", build("make_fp32_upsampling_pat"), "check_fp32_upsampling"));
    t.append(entry("vexa_fp32.hardtanh", build("make_fp32_hardtanh_pat"), "check_fp32_hardtanh"));
    t.append(entry("vexa_fp32.sigmoid", build("make_fp32_sigmoid_pat"), "check_fp32_transformer"));
    t.append(entry("vexa_fp32.transpose_nop", build("make_fp32_transpose_nop"), "check_fp32_transpose_nop"));
    t.append(entry("vexa_fp32.cast_nop", build("make_fp32_nop_cast_pat"), "check_fp32_nop_cast"));
    t.append(entry("vexa_fp32.concatenate", build("make_f32_concatenate_pat"), "check_fp32_concatenate"));
    return t;
}

py::list pattern_table_vexa_fp32_quantizer() {
    py::list t;
    t.append(entry("vexa_fp32.conv2d", build("make_fp32_conv2d_pat"), "check_fp32"));
    t.append(entry("vexa_fp32.tconv2d", build("make_fp32_tconv2d_pat"), "check_fp32_tconv2d"));
    t.append(entry("vexa_fp32.bias_add", build("make_fp32_bias_add_pat"), "check_fp32_bias_add"));
    t.append(entry("vexa_fp32.maxpool2d", build("make_fp32_maxpool2d_pat"), "check_fp32"));
    t.append(entry("vexa_fp32.leaky_relu", build("make_fp32_leaky_relu_pat"), "check_fp32"));
    t.append(entry("vexa_fp32.silu", build("make_fp32_silu_pat"), "check_fp32_silu"));
    t.append(entry("vexa_fp32.hswish", build("make_fp32_hswish_pat"), "check_fp32"));
    t.append(entry("vexa_fp32.hswish_onnx", build("make_fp32_hswish_onnx_pat"), "check_fp32"));
    t.append(entry("vexa_fp32.res_add", build("make_fp32_res_add_pat"), "check_fp32_res_add"));
    t.append(entry("vexa_fp32.relu", build("make_fp32_relu_pat"), "check_fp32_relu"));
    t.append(entry("vexa_fp32.avg_pool2d", build("make_fp32_avg_pool2d_pat"), "check_avg_pool2d"));
    t.append(entry("vexa_fp32.avg_pool2d_onnx", build("make_fp32_avg_pool2d_onnx_pat"), "check_avg_pool2d"));
    t.append(entry("vexa_fp32.upsampling_concat", build("make_fp32_concat_upsampling_pat"), "check_fp32"));
    t.append(entry("vexa_fp32.upsampling", build("make_fp32_upsampling_pat"), "check_fp32_upsampling"));
    t.append(entry("vexa_fp32.hardtanh", build("make_fp32_hardtanh_pat"), "check_fp32_hardtanh"));
    t.append(entry("vexa_fp32.concatenate", build("make_f32_concatenate_pat"), "check_fp32_concatenate"));
    return t;
}

}  // namespace

// Defines pattern_table_vexa_f32 twice, registering each definition as it is
// made, as two decorated definitions of one name would.
void define_and_register_fp32_tables(py::module_& m) {
    py::object register_pattern_table = m.attr("register_pattern_table");
    m.def("pattern_table_vexa_f32", &pattern_table_vexa_fp32,
          "The float32 table \"vexa_fp32\": 29 entries, transformer operators included.");
    m.attr("pattern_table_vexa_f32") =
        register_pattern_table("vexa_fp32")(m.attr("pattern_table_vexa_f32"));
    m.attr("pattern_table_vexa_f32") = py::cpp_function(
        &pattern_table_vexa_fp32_quantizer, py::name("pattern_table_vexa_f32"), py::scope(m),
        "The float32 table \"vexa_fp32_quantizer\": 16 convolution-network entries.");
    m.attr("pattern_table_vexa_f32") =
        register_pattern_table("vexa_fp32_quantizer")(m.attr("pattern_table_vexa_f32"));
}

}  // namespace vexa::patterns
