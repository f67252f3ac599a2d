// The float32 pattern tables: "vexa_fp32", the full table with the
// transformer operators, and "vexa_fp32_quantizer", its convolution-network
// subset. Both are registered from functions named pattern_table_vexa_f32;
// the module attribute ends up bound to the second.

#include <string>

#include "patterns.h"

namespace vexa::patterns {

namespace {

// One table row: composite name, how its pattern is built, check name. A
// builder is a module-level builder name; "a | b" joins two builders' patterns
// (left first); "name(with_constant_query=True)" passes that keyword.
struct Row {
    const char* composite;
    const char* builder;
    const char* check;
};

constexpr Row kVexaFp32[] = {
    {"vexa_fp32.conv2d", "make_fp32_conv2d_pat", "check_fp32"},
    {"vexa_fp32.tconv2d", "make_fp32_tconv2d_pat", "check_fp32_tconv2d"},
    {"vexa_fp32.bias_add", "make_fp32_bias_add_pat", "check_fp32_bias_add"},
    {"vexa_fp32.maxpool2d", "make_fp32_maxpool2d_pat", "check_fp32"},
    {"vexa_fp32.leaky_relu", "make_fp32_leaky_relu_pat", "check_fp32"},
    {"vexa_fp32.silu", "make_fp32_silu_pat", "check_fp32_silu"},
    {"vexa_fp32.hswish", "make_fp32_hswish_pat", "check_fp32"},
    {"vexa_fp32.hswish_onnx", "make_fp32_hswish_onnx_pat", "check_fp32"},
    {"vexa_fp32.gelu", "make_fp32_gelu_pat", "check_fp32_gelu"},
    {"vexa_fp32.layer_norm", "make_fp32_layer_norm_pat", "check_fp32_layer_norm"},
    {"vexa_fp32.attention_sliced", "make_fp32_attention_sliced_pat", "check_fp32_attention"},
    {"vexa_fp32.attention", "make_fp32_attention_pat | make_fp32_attention_pat2", "check_fp32_attention"},
    {"vexa_fp32.masked_attention", "make_fp32_masked_attention_pat | make_fp32_masked_attention_pat2",
     "check_fp32_masked_attention"},
    {"vexa_fp32.attention_const_query", "make_fp32_attention_sliced_pat(with_constant_query=True)",
     "check_fp32_attention"},
    {"vexa_fp32.matmul", "make_fp32_matmul_pat", "check_fp32_matmul"},
    {"vexa_fp32.3d_add_broadcast", "make_fp32_3d_add_broadcast_pat", "check_fp32_3d_add_broadcast"},
    {"vexa_fp32.2d_add_broadcast", "make_fp32_2d_add_broadcast_pat", "check_fp32_transformer"},
    {"vexa_fp32.res_add", "make_fp32_res_add_pat", "check_fp32_res_add"},
    {"vexa_fp32.res_add_constant", "make_fp32_res_add_constant_pat", "check_fp32_res_add_constant"},
    {"vexa_fp32.relu", "make_fp32_relu_pat", "check_fp32_relu"},
    {"vexa_fp32.avg_pool2d", "make_fp32_avg_pool2d_pat", "check_avg_pool2d"},
    {"vexa_fp32.avg_pool2d_onnx", "make_fp32_avg_pool2d_onnx_pat", "check_avg_pool2d"},
    {"vexa_fp32.upsampling_concat", "make_fp32_concat_upsampling_pat", "check_fp32"},
    {"vexa_fp32.upsampling", "make_fp32_upsampling_pat", "check_fp32_upsampling"},
    {"vexa_fp32.hardtanh", "make_fp32_hardtanh_pat", "check_fp32_hardtanh"},
    {"vexa_fp32.sigmoid", "make_fp32_sigmoid_pat", "check_fp32_transformer"},
    {"vexa_fp32.transpose_nop", "make_fp32_transpose_nop", "check_fp32_transpose_nop"},
    {"vexa_fp32.cast_nop", "make_fp32_nop_cast_pat", "check_fp32_nop_cast"},
    {"vexa_fp32.concatenate", "make_f32_concatenate_pat", "check_fp32_concatenate"},
};

// The convolution-network subset, by composite name, in its own order.
constexpr const char* kVexaFp32Quantizer[] = {
    "vexa_fp32.conv2d",          "vexa_fp32.tconv2d",      "vexa_fp32.bias_add",
    "vexa_fp32.maxpool2d",       "vexa_fp32.leaky_relu",   "vexa_fp32.silu",
    "vexa_fp32.hswish",          "vexa_fp32.hswish_onnx",  "vexa_fp32.res_add",
    "vexa_fp32.relu",            "vexa_fp32.avg_pool2d",   "vexa_fp32.avg_pool2d_onnx",
    "vexa_fp32.upsampling_concat", "vexa_fp32.upsampling", "vexa_fp32.hardtanh",
    "vexa_fp32.concatenate",
};

py::object build(const std::string& builder) {
    const std::string keyword = "(with_constant_query=True)";
    size_t bar = builder.find(" | ");
    if (bar != std::string::npos) {
        py::object lhs = build(builder.substr(0, bar));
        py::object rhs = build(builder.substr(bar + 3));
        return lhs.attr("__or__")(rhs);
    }
    if (builder.size() > keyword.size() &&
        builder.compare(builder.size() - keyword.size(), keyword.size(), keyword) == 0) {
        std::string name = builder.substr(0, builder.size() - keyword.size());
        return global(name.c_str())(py::arg("with_constant_query") = true);
    }
    return global(builder.c_str())();
}

py::tuple entry(const Row& row) {
    py::object pattern = build(row.builder);
    return py::make_tuple(row.composite, pattern, global(row.check));
}

py::list pattern_table_vexa_fp32() {
    py::list table;
    for (const Row& row : kVexaFp32) table.append(entry(row));
    return table;
}

py::list pattern_table_vexa_fp32_quantizer() {
    py::list table;
    for (const char* composite : kVexaFp32Quantizer) {
        for (const Row& row : kVexaFp32) {
            if (std::string(row.composite) == composite) table.append(entry(row));
        }
    }
    return table;
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
