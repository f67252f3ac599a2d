// Module state and the helpers both halves of the pattern module share.

#include <optional>
#include <string>
#include <utility>

#include "vexa/node_reads.h"
#include "patterns.h"
#include "vexa/module.h"

namespace vexa::patterns {

namespace {

// The module's globals. Deliberately leaked: they hold Python objects. A
// fresh import rebinds them.
struct ModuleState {
    py::dict globals;
    py::dict own;  // name -> the function this module defined under it
};

ModuleState*& state() {
    static ModuleState* current = nullptr;
    return current;
}

// What explain_check collects while it runs a check.
struct Explanation {
    bool on = false;
    std::optional<std::string> reason;
};

Explanation& explanation() {
    static Explanation current;
    return current;
}

// Runs check(extract) with reasons recorded: (verdict, reason), the reason
// None where the check accepted or gave none. The verdict is the check's own.
py::tuple explain_check(const py::object& check, const py::object& extract) {
    Explanation saved = std::exchange(explanation(), Explanation{true, std::nullopt});
    py::object verdict;
    try {
        verdict = check(extract);
    } catch (...) {
        explanation() = std::move(saved);
        throw;
    }
    Explanation made = std::exchange(explanation(), std::move(saved));
    bool accepted = truth(verdict);
    py::object reason = accepted || !made.reason ? py::none() : py::object(py::str(*made.reason));
    return py::make_tuple(verdict, reason);
}

}  // namespace

bool explaining() { return explanation().on; }

void note_described(const std::function<std::string()>& describe) {
    if (explanation().reason) return;
    // Describing reads the graph again; a value it cannot read must not
    // change what the check decided.
    try {
        explanation().reason = describe();
    } catch (const py::error_already_set&) {
        explanation().reason = "refused (its reason could not be read)";
    }
}

std::string text(const py::handle& value) {
    // Deliberately leaked, as Python objects must outlive the interpreter's shutdown.
    static const auto* tir = new py::module_(py::module_::import("tvm.tir"));
    // A TVM integer as the number it is: str() of an int64 one reads "T.int64(1)".
    if (is_instance(value, tir->attr("IntImm"))) return py::str(py::int_(py::reinterpret_borrow<py::object>(value)));
    if (is_instance(value, tir->attr("Any"))) return "?";  // a dynamic extent, as TVM's type printer writes it
    return py::str(value);
}

std::string shape_text(const py::handle& shape) {
    std::string out = "[";
    for (py::handle extent : shape) {
        if (out.size() > 1) out += ", ";
        out += text(extent);
    }
    return out + "]";
}

std::string rank_text(const py::handle& shape) {
    size_t rank = py::len(shape);
    return rank == 0 ? std::string("a scalar") : std::to_string(rank) + "-D";
}

std::string arch_name() {
    py::object arch = global("BuildConfig").attr("current").attr("arch_config")[py::str("arch")];
    return PyUnicode_Check(arch.ptr()) ? text(arch) : "the given architecture";
}

py::object global(const char* name) {
    PyObject* value = PyDict_GetItemString(state()->globals.ptr(), name);
    if (value == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

void remember_own(py::module_& m, const char* name) { state()->own[name] = m.attr(name); }

bool is_own(const char* name) {
    PyObject* own = PyDict_GetItemString(state()->own.ptr(), name);
    return own != nullptr && own == PyDict_GetItemString(state()->globals.ptr(), name);
}

std::string op_name(const py::handle& call) {
    return py::str(call.attr("op").attr("name"));
}

py::object arg(const py::handle& call, long index) { return py::object(call.attr("args"))[py::int_(index)]; }

py::object shape_of(const py::handle& expr) { return expr.attr("checked_type").attr("shape"); }

py::object walk_to_op(py::object extract, const char* name) {
    if (std::optional<fast::Object> found = fast::walk_to_op(fast::node(extract), name)) {
        return found->to_python();
    }
    py::object call = std::move(extract);
    while (!py::object(call.attr("op").attr("name")).equal(py::str(name))) {
        py::object args = call.attr("args");
        call = args[py::int_(0)];
    }
    return call;
}

bool is_symbolic(const py::handle& value) {
    if (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())) return false;
    // Deliberately leaked, as Python objects must outlive the interpreter's shutdown.
    static const auto* classes = new std::pair<py::object, py::object>(
        py::module_::import("tvm.ir").attr("PrimExpr"), py::module_::import("tvm.tir.expr").attr("ConstExpr"));
    return is_instance(value, classes->first) && !is_instance(value, classes->second);
}

bool compare(const py::handle& a, const py::handle& b, int op) {
    bool a_symbolic = is_symbolic(a);
    bool b_symbolic = is_symbolic(b);
    if (a_symbolic || b_symbolic) {
        // One extent node is equal to itself, whatever its value. Anything else
        // is undecided: TVM would answer == and != by node identity, and an
        // ordering with an expression.
        bool equality = op == Py_EQ || op == Py_NE;
        if (equality && a_symbolic && b_symbolic && fast::node(a).same_as(fast::node(b))) return op == Py_EQ;
        if (explaining()) {
            note_described([&] {
                std::string extent = text(a_symbolic ? a : b);
                return (extent == "?" ? std::string("a dynamic extent") : "extent " + extent) +
                       " is not fixed, and the check needs its value: fix it with --dim or --input-shape";
            });
        }
        throw Unproven{};
    }
    PyObject* raw = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (raw == nullptr) throw py::error_already_set();
    py::object result = py::reinterpret_steal<py::object>(raw);
    if (result.ptr() == Py_True || result.ptr() == Py_False) return result.ptr() == Py_True;
    if (is_symbolic(result)) throw Unproven{};
    return truth(result);
}

bool same_extents(const py::handle& a, const py::handle& b) {
    py::list left(py::reinterpret_borrow<py::object>(a));
    py::list right(py::reinterpret_borrow<py::object>(b));
    if (left.size() != right.size()) return false;
    for (size_t i = 0; i < left.size(); ++i) {
        if (!compare(left[i], right[i], Py_EQ)) return false;
    }
    return true;
}

void python_assert(bool condition) {
    if (condition) return;
    py::object flags = py::module_::import("sys").attr("flags");
    if (flags.attr("optimize").cast<int>() > 0) return;
    PyErr_SetNone(PyExc_AssertionError);
    throw py::error_already_set();
}

py::object get_current_arch_value() {
    py::object cfg = global("BuildConfig").attr("current");
    py::object yaml = global("yaml");
    py::object arch = cfg.attr("arch_config")[py::str("arch")];
    if (PyUnicode_Check(arch.ptr())) return yaml.attr("safe_dump")(cfg.attr("arch_config"));
    return yaml.attr("safe_dump")(cfg.attr("arch_config")[py::str("arch")]);
}

bool is_captured(const py::handle& extract) {
    if (std::optional<bool> captured = fast::is_captured(fast::node(extract))) return *captured;
    if (!is_instance(extract, ir::relay().Call)) return false;
    return is_instance(extract.attr("op"), ir::relay().Function);
}

Pattern make_requantize_pattern(const Pattern& x) {
    Pattern input_scale = wildcard();
    Pattern input_zero_point = wildcard();
    Pattern output_scale = wildcard();
    Pattern output_zero_point = wildcard();
    return is_op("qnn.requantize")(x, input_scale, input_zero_point, output_scale,
                                   output_zero_point);
}

Pattern make_qnn_quantize_pattern(const Pattern& x) {
    Pattern scale = wildcard();
    Pattern zero_point = wildcard();
    return is_op("qnn.quantize")(x, scale, zero_point);
}

Pattern layout_transform_bias(const Pattern& bias_var) {
    Pattern normal = is_op("layout_transform")(is_op("expand_dims")(is_op("expand_dims")(bias_var)));
    Pattern single_channel = is_op("expand_dims")(bias_var);
    return normal | single_channel;
}

namespace {

void bind_imports(py::module_& m) {
    using vexa::import_names;
    import_names(m, "tvm.relay.dataflow_pattern",
                 {"wildcard", "is_op", "is_tuple", "is_constant", "is_expr", "is_tuple_get_item"});
    import_names(m, "tvm.relay.op.contrib.register", {"register_pattern_table"});
    import_names(m, "tvm.relay.expr", {"Call", "Constant", "const", "Tuple"});
    import_names(m, "tvm.relay.function", {"Function"});
    import_names(m, "tvm.relay.vexa.relay_traversal", {"get_consumers_mc", "find_call_of_type"});
    import_names(m, "tvm.relay.vexa.build_module", {"BuildConfig"});
    import_names(m, "tvm.ir.op", {"Op"});
    import_names(m, "archquery", {"archquery_parameter", "arch_supports_operator"}, 1);
    m.attr("yaml") = py::module_::import("yaml");
    m.attr("math") = py::module_::import("math");
}

}  // namespace

void define_common(py::module_& m) {
    bind_imports(m);
    state() = new ModuleState{m.attr("__dict__")};

    m.def("get_current_arch_value", &get_current_arch_value,
          "YAML text of the current architecture: the whole arch_config when its \"arch\" "
          "names an architecture, else the inline description alone.");
    m.def("is_captured", &is_captured, py::arg("extract"),
          "True when extract is a call of a function: a region an earlier pattern captured.");
    m.def(
        "check_fp32",
        [](const py::object& extract) {
            auto why = [&] { return "output is " + text(extract.attr("checked_type").attr("dtype")) + ", not float32"; };
            if (std::optional<bool> fp32 = fast::is_float32(fast::node(extract))) {
                return *fp32 ? py::object(py::bool_(true)) : refuse(why);
            }
            py::object dtype = extract.attr("checked_type").attr("dtype");
            PyObject* equal = PyObject_RichCompare(dtype.ptr(), py::str("float32").ptr(), Py_EQ);
            if (equal == nullptr) throw py::error_already_set();
            py::object result = py::reinterpret_steal<py::object>(equal);
            if (explaining() && !truth(result)) note_described(why);
            return result;
        },
        py::arg("extract"), "Whether the expression's inferred dtype is float32.");
    remember_own(m, "is_captured");
    m.def("explain_check", &explain_check, py::arg("check"), py::arg("extract"),
          "(check(extract), why it refused): the reason, in the accelerator's terms, that this "
          "module's checks give while run through here; None where the check accepted or gave "
          "none. The verdict is the check's own.");
    m.def(
        "tuple_multi_input_pattern",
        [](long start, long end, const py::object& ptrn_gen) {
            return tuple_multi_input_pattern(
                start, end, [&](long i) { return dfp::from_python(ptrn_gen(i)); });
        },
        py::arg("start"), py::arg("end"), py::arg("ptrn_gen"),
        "Tuples of start to end - 1 fields, shortest first; field i of each is ptrn_gen(i). "
        "None when start >= end.");
    m.def(
        "layout_transform_bias",
        [](const py::object& bias_var) {
            return layout_transform_bias(dfp::from_python(bias_var)).release();
        },
        py::arg("bias_var"), "A bias brought to NHWC: layout_transform of two expand_dims, or one expand_dims.");
    m.def(
        "make_requantize_pattern",
        [](const py::object& x) { return make_requantize_pattern(dfp::from_python(x)).release(); },
        py::arg("x"), "qnn.requantize of x with free scales and zero points.");
    m.def(
        "make_qnn_quantize_pattern",
        [](const py::object& x) { return make_qnn_quantize_pattern(dfp::from_python(x)).release(); },
        py::arg("x"), "qnn.quantize of x with a free scale and zero point.");
}

}  // namespace vexa::patterns
