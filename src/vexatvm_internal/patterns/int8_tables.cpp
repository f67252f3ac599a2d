// The int8 pattern tables. Tables call the builders by their module-level
// names when they run and hold the module's own check functions, so each call
// returns a new list of new patterns.

#include "patterns.h"

namespace vexa::patterns {

namespace {

py::tuple entry(const char* name, const char* builder) {
    return py::make_tuple(name, global(builder)());
}

py::tuple checked_entry(const char* name, const char* builder, const char* check) {
    return py::make_tuple(name, global(builder)(), global(check));
}

py::list pattern_table() {
    py::list table;
    table.append(entry("vexa.qnn_conv_hswish_requant", "make_qnn_conv_hswish_pattern"));
    table.append(checked_entry("vexa.qnn_conv", "make_qnn_conv_pattern", "check_qnn_conv_pattern"));
    table.append(entry("vexa.qnn_tflite_qconv", "make_qnn_tflite_conv_pattern"));
    table.append(checked_entry("vexa.qnn_add", "make_qnn_add_pattern", "check_qnn_add"));
    table.append(checked_entry("vexa.concat", "make_qnn_concat_with_req_pattern", "check_concat_pattern"));
    table.append(entry("vexa.upsampling", "make_upsampling_pattern"));
    table.append(checked_entry("vexa.upsampling_nearest", "make_upsampling_nearest_pattern",
                               "check_upsampling_nearest"));
    table.append(entry("vexa.maxpool2d", "make_max_pool2d_pattern"));
    table.append(entry("vexa.leaky_relu", "make_leaky_relu_pattern"));
    table.append(entry("vexa.tflite_silu", "make_tflite_silu_pattern"));
    table.append(entry("vexa.tflite_hswish", "make_tflite_hswish_pattern"));
    table.append(entry("vexa.avg_pooling2d", "make_avg_pooling_2d_pattern"));
    table.append(entry("vexa.mean", "make_mean_pattern"));
    return table;
}

// The base table from the module-level pattern_table, with one entry appended.
py::object extended_table(const char* name, const char* builder) {
    py::object table = global("pattern_table")();
    table.attr("append")(entry(name, builder));
    return table;
}

}  // namespace

void define_int8_tables(py::module_& m) {
    m.def("pattern_table", &pattern_table, "The int8 table \"vexa\": 13 entries, in matching order.");
    m.def(
        "pattern_table_with_clip", [] { return extended_table("vexa.clip", "make_clip_pattern"); },
        "\"vexa\" with a lone clip appended: table \"vexa_with_clip\".");
    m.def(
        "pattern_table_with_fc", [] { return extended_table("vexa.qnn_fc", "make_qnn_fc_pattern"); },
        "\"vexa\" with the quantized fully-connected layer appended: table \"vexa_with_fc\".");
}

void register_int8_tables(py::module_& m) {
    py::object register_pattern_table = m.attr("register_pattern_table");
    register_pattern_table("vexa")(m.attr("pattern_table"));
    register_pattern_table("vexa_with_clip")(m.attr("pattern_table_with_clip"));
    register_pattern_table("vexa_with_fc")(m.attr("pattern_table_with_fc"));
}

}  // namespace vexa::patterns
