// Whole-block patterns: the post-processing of a YOLOv5 detection head, all
// three output scales at once, as one composite, in float32 (two head
// styles), int8 (sigmoid between dequantize and quantize) and fully quantized
// form. Registered with TVM on import as "vexa_blocks".
//
// Self-contained: nothing of the sibling modules is imported or linked.

#include "vexa/dfpattern.h"
#include "vexa/module.h"

namespace vexa::blockpatterns {

namespace {

namespace py = pybind11;
using dfp::is_constant;
using dfp::is_op;
using dfp::is_tuple;
using dfp::is_tuple_get_item;
using dfp::Pattern;
using dfp::wildcard;

// Quantized operators with every quantization parameter a constant.
Pattern qnn_mul(const Pattern& x, const Pattern& rhs) {
    return is_op("qnn.mul")(x, rhs, is_constant(), is_constant(), is_constant(), is_constant(),
                            is_constant(), is_constant());
}
Pattern qnn_sub(const Pattern& x) {
    return is_op("qnn.subtract")(x, is_constant(), is_constant(), is_constant(), is_constant(),
                                 is_constant(), is_constant(), is_constant());
}
Pattern qnn_add(const Pattern& x) {
    return is_op("qnn.add")(x, is_constant(), is_constant(), is_constant(), is_constant(),
                            is_constant(), is_constant(), is_constant());
}
Pattern qnn_cat(const Pattern& x) {
    return is_op("qnn.concatenate")(x, dfp::is_any_tuple(), dfp::is_any_tuple(), is_constant(),
                                    is_constant());
}
Pattern qnn_req(const Pattern& x) {
    return is_op("qnn.requantize")(x, is_constant(), is_constant(), is_constant(), is_constant());
}

// One output scale, older head: three slices of one sigmoid, centre (x*2 - 0.5 + grid) * stride.
Pattern yolov5_fp32_post_branch() {
    Pattern pat_lg = is_op("layout_transform")(wildcard()) | wildcard();
    Pattern pat = is_op("sigmoid")(is_op("transpose")(is_op("reshape")(pat_lg)));
    Pattern pat_b0 = is_op("strided_slice")(pat);
    pat_b0 = is_op("multiply")(pat_b0, is_constant());
    pat_b0 = is_op("subtract")(pat_b0, is_constant());
    pat_b0 = is_op("add")(pat_b0, is_constant());
    pat_b0 = is_op("multiply")(pat_b0, is_constant());
    Pattern pat_b1 = is_op("strided_slice")(pat);
    pat_b1 = is_op("multiply")(pat_b1, is_constant());
    pat_b1 = is_op("power")(pat_b1, is_constant());
    pat_b1 = is_op("multiply")(pat_b1, is_constant());
    Pattern pat_b2 = is_op("strided_slice")(pat);
    Pattern cat = is_op("concatenate")(is_tuple({pat_b0, pat_b1, pat_b2}));
    return is_op("reshape")(cat);
}

// One output scale, newer head: one split, centre (x*2 + grid) * stride.
Pattern yolov5_fp32_post_branch_v2() {
    Pattern pat_lg = wildcard();
    pat_lg = is_op("layout_transform")(pat_lg) | pat_lg;
    Pattern pat = is_op("split")(is_op("sigmoid")(is_op("transpose")(is_op("reshape")(pat_lg))));
    Pattern pat_b0 = is_op("multiply")(is_tuple_get_item(pat, 0), is_constant());
    pat_b0 = is_op("add")(pat_b0, is_constant());
    pat_b0 = is_op("multiply")(pat_b0, is_constant());
    Pattern pat_b1 = is_op("multiply")(is_tuple_get_item(pat, 1), is_constant());
    pat_b1 = is_op("power")(pat_b1, is_constant());
    pat_b1 = is_op("multiply")(pat_b1, is_constant());
    Pattern cat = is_op("concatenate")(is_tuple({pat_b0, pat_b1, is_tuple_get_item(pat, 2)}));
    return is_op("reshape")(cat);
}

// One output scale, int8: the sigmoid runs between a dequantize and a
// quantize, the rest in float on a second dequantize.
Pattern yolov5_i8_post_branch() {
    Pattern pat = is_op("qnn.dequantize")(wildcard(), is_constant(), is_constant());
    pat = is_op("sigmoid")(pat);
    pat = is_op("qnn.quantize")(pat, is_constant(), is_constant());
    pat = is_op("qnn.dequantize")(pat, is_constant(), is_constant());

    Pattern b0 = is_op("reshape")(is_op("strided_slice")(is_op("reshape")(pat)));
    b0 = is_op("multiply")(b0, is_constant());
    b0 = is_op("add")(b0, is_constant());
    b0 = is_op("multiply")(b0, is_constant());
    b0 = is_op("multiply")(b0, is_constant());

    Pattern b1 = is_op("reshape")(is_op("strided_slice")(is_op("reshape")(pat)));
    b1 = is_op("multiply")(b1, b1);  // the square: one expression times itself
    b1 = is_op("multiply")(b1, is_constant());
    b1 = is_op("multiply")(b1, is_constant());

    Pattern b2 = is_op("reshape")(is_op("strided_slice")(is_op("reshape")(pat)));
    Pattern p = is_op("concatenate")(is_tuple({b0, b1, b2}));
    return is_op("reshape")(p);
}

// reshape-then-transpose of x, or x itself.
Pattern maybe_reshaped(const Pattern& x) {
    return is_op("transpose")(is_op("reshape")(x)) | x;
}

// One output scale, fully quantized after the sigmoid's quantize.
Pattern yolov5_qnn_i8_post_branch() {
    Pattern p = maybe_reshaped(wildcard());
    p = is_op("qnn.dequantize")(p, is_constant(), is_constant());
    p = is_op("sigmoid")(p);
    p = is_op("qnn.quantize")(p, is_constant(), is_constant());
    p = maybe_reshaped(p);

    Pattern b0 = is_op("reshape")(is_op("strided_slice")(p));
    b0 = qnn_mul(b0, is_constant());
    b0 = qnn_sub(b0);
    b0 = qnn_add(b0);
    b0 = qnn_mul(b0, is_constant());
    b0 = qnn_mul(b0, is_constant());
    b0 = qnn_req(b0) | b0;

    Pattern b1 = is_op("reshape")(is_op("strided_slice")(p));
    b1 = qnn_mul(b1, is_constant());
    b1 = qnn_mul(b1, b1);  // the square
    b1 = qnn_mul(b1, is_constant());
    b1 = qnn_mul(b1, is_constant());
    b1 = qnn_req(b1) | b1;

    Pattern b2 = qnn_req(is_op("reshape")(is_op("strided_slice")(p)));

    p = qnn_cat(is_tuple({b0, b1, b2}));
    p = is_op("reshape")(p) | p;
    return qnn_req(p) | p;
}

// Three independent scales joined by one concatenation.
template <Pattern (*Branch)()>
Pattern three_scales() {
    Pattern b0 = Branch();
    Pattern b1 = Branch();
    Pattern b2 = Branch();
    return is_op("concatenate")(is_tuple({b0, b1, b2}));
}

Pattern make_yolov5_qnn_i8_post() {
    Pattern b0 = yolov5_qnn_i8_post_branch();
    Pattern b1 = yolov5_qnn_i8_post_branch();
    Pattern b2 = yolov5_qnn_i8_post_branch();
    Pattern p = qnn_cat(is_tuple({b0, b1, b2}));
    return is_op("qnn.dequantize")(p, is_constant(), is_constant());
}

// Builders and checks are read from the module's globals when the table
// function runs; the function is bound to its own module (m_self), so a
// second import of the module does not redirect the first one's table.
py::object global(const py::dict& globals, const char* name) {
    PyObject* value = PyDict_GetItemString(globals.ptr(), name);
    if (value == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

py::list pattern_table_vexa_blocks(const py::dict& g) {
    py::object fp32 = global(g, "make_yolov5_fp32_post")();
    py::object fp32_v2 = global(g, "make_yolov5_fp32_post_v2")();
    py::list table;
    table.append(py::make_tuple("vexa_blocks.yolov5_fp32_post", fp32.attr("__or__")(fp32_v2),
                                global(g, "check_yolov5_fp32_post")));
    table.append(py::make_tuple("vexa_blocks.yolov5_i8_post", global(g, "make_yolov5_i8_post")(),
                                global(g, "check_yolov5_i8_post")));
    table.append(py::make_tuple("vexa_blocks.yolov5_qnn_i8_post",
                                global(g, "make_yolov5_qnn_i8_post")(), global(g, "check_yolov5_qnn_i8_post")));
    return table;
}

PyObject* py_pattern_table_vexa_blocks(PyObject* self, PyObject* /*unused*/) {
    PyObject* result = nullptr;
    translate_exceptions([&] {
        py::dict globals = py::reinterpret_borrow<py::module_>(self).attr("__dict__");
        result = pattern_table_vexa_blocks(globals).release().ptr();
    });
    return result;
}

PyMethodDef kTableMethods[] = {
    {"pattern_table_vexa_blocks", py_pattern_table_vexa_blocks, METH_NOARGS,
     "The block table \"vexa_blocks\": YOLOv5 post-processing in its three numeric forms."},
    {nullptr, nullptr, 0, nullptr},
};

template <Pattern (*Builder)()>
py::object build() {
    return Builder().release();
}

Pattern pattern_arg(const py::object& pattern) { return dfp::from_python(pattern); }

void init_module(py::module_& m) {
    import_names(m, "tvm.relay.dataflow_pattern",
                 {"wildcard", "is_op", "is_tuple", "is_constant", "is_expr", "is_tuple_get_item"});
    import_names(m, "tvm.relay.op.contrib.register", {"register_pattern_table"});

    // Every structural match is accepted.
    for (const char* name : {"check_yolov5_fp32_post", "check_yolov5_i8_post", "check_yolov5_qnn_i8_post"}) {
        m.def(name, [](const py::object& /*extract*/) { return true; }, py::arg("extract"),
              "Accepts every match.");
    }
    m.def("__yolov5_fp32_post_branch", &build<yolov5_fp32_post_branch>,
          "One scale, older head: three slices of one sigmoid.");
    m.def("__yolov5_fp32_post_branch_v2", &build<yolov5_fp32_post_branch_v2>,
          "One scale, newer head: one split of the sigmoid.");
    m.def("make_yolov5_fp32_post", &build<three_scales<yolov5_fp32_post_branch>>,
          "Three scales of the older float32 head, concatenated.");
    m.def("make_yolov5_fp32_post_v2", &build<three_scales<yolov5_fp32_post_branch_v2>>,
          "Three scales of the newer float32 head, concatenated.");
    m.def("__yolov5_i8_post_branch", &build<yolov5_i8_post_branch>,
          "One scale, int8: sigmoid between dequantize and quantize, the rest in float.");
    m.def("make_yolov5_i8_post", &build<three_scales<yolov5_i8_post_branch>>,
          "Three int8 scales, concatenated.");
    m.def(
        "__qnn_mul",
        [](const py::object& x, const py::object& rhs) { return qnn_mul(pattern_arg(x), pattern_arg(rhs)).release(); },
        py::arg("x"), py::arg("rhs"), "qnn.mul of x and rhs with constant quantization parameters.");
    m.def(
        "__qnn_sub", [](const py::object& x) { return qnn_sub(pattern_arg(x)).release(); }, py::arg("x"),
        "qnn.subtract of a constant from x, constant quantization parameters.");
    m.def(
        "__qnn_add", [](const py::object& x) { return qnn_add(pattern_arg(x)).release(); }, py::arg("x"),
        "qnn.add of a constant to x, constant quantization parameters.");
    m.def(
        "__qnn_cat", [](const py::object& x) { return qnn_cat(pattern_arg(x)).release(); }, py::arg("x"),
        "qnn.concatenate of x with any scales and zero points, constant output parameters.");
    m.def(
        "__qnn_req", [](const py::object& x) { return qnn_req(pattern_arg(x)).release(); }, py::arg("x"),
        "qnn.requantize of x with constant parameters.");
    m.def("__yolov5_qnn_i8_post_branch", &build<yolov5_qnn_i8_post_branch>,
          "One scale, fully quantized after the sigmoid.");
    m.def("make_yolov5_qnn_i8_post", &build<make_yolov5_qnn_i8_post>,
          "Three fully quantized scales, concatenated and dequantized.");
    if (PyModule_AddFunctions(m.ptr(), kTableMethods) < 0) throw py::error_already_set();

    m.attr("register_pattern_table")("vexa_blocks")(m.attr("pattern_table_vexa_blocks"));
}

}  // namespace
}  // namespace vexa::blockpatterns

VEXA_MODULE(blockpatterns, "YOLOv5 post-processing block patterns of the Vexa accelerator.",
            vexa::blockpatterns::init_module)
