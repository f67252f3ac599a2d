// Opt-in rewrites that bring forms real exports take into the forms the
// tables capture. Each is equivalent up to float rounding; none changes a
// table. Applied to main with TVM's pattern rewriter.
//
//   bias_vector        add(x, C[1,..,1,K])        -> add(x, C[K])   (NCHW biases after
//                                                                    ConvertLayout + FoldConstant)
//   attention_divide   multiply(reshape(bmm), c)  -> divide(reshape(bmm), 1/c)
//   layer_norm         (x - m) * (1 / sqrt(variance(x, m) + e))
//                                                 -> (x - m) / sqrt(mean((x - m)^2) + e)
//   int8_square        power(r, 2) on a dequantized detection head -> multiply(r, r)
//   dense_bias         add(qnn.dense(..), expand_dims(b, 0)) -> nn.bias_add(qnn.dense(..), b)
//   conv_bias          add(qnn.conv2d NHWC, layout_transform(expand_dims(expand_dims(b))))
//                                                 -> nn.bias_add(qnn.conv2d, b, axis=3)

#include <functional>
#include <string>

#include "patterns.h"

namespace vexa::patterns {

namespace {

using dfp::is_constant;

struct Relay {
    py::module_ relay, np;
    py::object const_, constant_class, call_class;
};

const Relay& api() {
    static const Relay* r = [] {
        py::module_ relay = py::module_::import("tvm.relay");
        return new Relay{relay, py::module_::import("numpy"), relay.attr("const"),
                         relay.attr("Constant"), relay.attr("Call")};
    }();
    return *r;
}

// The value of a constant as a numpy array.
py::object value_of(const py::handle& constant) { return constant.attr("data").attr("numpy")(); }

bool is_constant_expr(const py::handle& expr) {
    return PyObject_IsInstance(expr.ptr(), api().constant_class.ptr()) == 1;
}

// A scalar constant equal to `expected` (when given) and of float dtype.
bool scalar_equals(const py::handle& constant, double expected) {
    py::object value = value_of(constant);
    if (py::len(value.attr("shape")) != 0) return false;
    return value.attr("item")().cast<double>() == expected;
}

// The static shape of an expression as a list of ints; empty when a
// dimension is not a known integer (the rewrites then leave it alone).
py::list shape_list(const py::handle& expr) {
    py::list dims;
    py::object int_imm = py::module_::import("tvm.tir").attr("IntImm");
    py::object type = expr.attr("checked_type");
    py::object shape = type.attr("shape");  // bound: a chained temporary would die mid-loop
    for (py::handle dim : shape) {
        if (PyObject_IsInstance(dim.ptr(), int_imm.ptr()) != 1) return py::list();
        dims.append(py::int_(dim.attr("value")));
    }
    return dims;
}

using Callback = std::function<py::object(const py::object& post, const py::object& node_map)>;

// An object TVM's rewriter accepts as a callback: pattern, callback,
// require_type, rewrite_once.
py::object make_callback(const char* name, const Pattern& pattern, Callback body) {
    py::object ns = py::module_::import("types").attr("SimpleNamespace")();
    ns.attr("name") = name;
    ns.attr("pattern") = pattern.object();
    ns.attr("require_type") = true;
    ns.attr("rewrite_once") = false;
    ns.attr("callback") = py::cpp_function(
        [body](const py::object& /*pre*/, const py::object& post, const py::object& node_map) {
            return body(post, node_map);
        },
        py::name(name));
    return ns;
}

py::object matched(const py::object& node_map, const Pattern& pattern) {
    return node_map[pattern.object()][py::int_(0)];
}

py::object bias_vector() {
    Pattern add = is_op("add")(wildcard(), is_constant());
    return make_callback("bias_vector", add, [](const py::object& post, const py::object&) {
        py::object args = post.attr("args");
        py::object lhs = args[py::int_(0)], rhs = args[py::int_(1)];
        bool constant_first = is_constant_expr(lhs);
        py::object bias = constant_first ? lhs : rhs;
        py::object data = constant_first ? rhs : lhs;
        py::object value = value_of(bias);
        py::tuple shape = value.attr("shape");
        size_t rank = py::len(shape);
        if (rank < 2) return post;
        for (size_t i = 0; i + 1 < rank; ++i) {
            if (shape[i].cast<long>() != 1) return post;
        }
        py::list data_shape = shape_list(data);
        if (py::len(data_shape) != rank || data_shape[rank - 1].cast<long>() != shape[rank - 1].cast<long>()) {
            return post;
        }
        if (py::list(shape).equal(data_shape)) return post;  // full shape: not a broadcast bias
        py::object vector = api().const_(value.attr("reshape")(shape[rank - 1]));
        return constant_first ? api().relay.attr("add")(vector, data) : api().relay.attr("add")(data, vector);
    });
}

py::object attention_divide() {
    Pattern scores = is_op("reshape")(is_op("nn.batch_matmul")(wildcard(), wildcard()));
    Pattern scale = is_constant();
    Pattern scaled = is_op("multiply")(scores, scale);
    return make_callback("attention_divide", scaled, [scores, scale](const py::object& post, const py::object& node_map) {
        py::object c = matched(node_map, scale);
        py::object value = value_of(c);
        if (py::len(value.attr("shape")) != 0 || py::str(value.attr("dtype")).cast<std::string>() != "float32") {
            return post;
        }
        double factor = value.attr("item")().cast<double>();
        if (factor == 0.0) return post;
        py::object inverse = api().np.attr("float32")(1.0).attr("__truediv__")(api().np.attr("float32")(factor));
        return api().relay.attr("divide")(matched(node_map, scores), api().const_(inverse, "float32"));
    });
}

py::object layer_norm() {
    Pattern x = wildcard();
    Pattern mean = is_op("mean")(x);
    Pattern err = is_op("subtract")(x, mean);
    Pattern variance = is_op("variance")(x, mean);
    Pattern one = is_constant(), eps = is_constant();
    Pattern inv_stdev = is_op("divide")(one, is_op("sqrt")(is_op("add")(variance, eps)));
    Pattern norm = is_op("multiply")(err, inv_stdev);
    return make_callback("layer_norm", norm, [err, variance, one, eps](const py::object& post, const py::object& node_map) {
        if (!scalar_equals(matched(node_map, one), 1.0)) return post;
        py::object var_call = matched(node_map, variance);
        py::object attrs = var_call.attr("attrs");
        if (py::bool_(attrs.attr("unbiased"))) return post;
        py::object centred = matched(node_map, err);
        const Relay& r = api();
        py::object squared = r.relay.attr("power")(centred, r.const_(2.0));
        py::object axis = attrs.attr("axis");
        py::object axes = axis.is_none() ? py::object(py::none()) : py::object(py::list(axis));
        py::object var = r.relay.attr("mean")(squared, axes, attrs.attr("keepdims"), attrs.attr("exclude"));
        py::object stdev = r.relay.attr("sqrt")(r.relay.attr("add")(var, matched(node_map, eps)));
        return r.relay.attr("divide")(centred, stdev);
    });
}

py::object int8_square() {
    Pattern dequantized = is_op("qnn.dequantize")(wildcard(), is_constant(), is_constant());
    Pattern base = is_op("reshape")(is_op("strided_slice")(is_op("reshape")(dequantized)));
    Pattern exponent = is_constant();
    Pattern power = is_op("power")(base, exponent);
    return make_callback("int8_square", power, [base, exponent](const py::object& post, const py::object& node_map) {
        if (!scalar_equals(matched(node_map, exponent), 2.0)) return post;
        py::object b = matched(node_map, base);
        return api().relay.attr("multiply")(b, b);
    });
}

py::object dense_bias() {
    Pattern dense = is_op("qnn.dense")(wildcard(), wildcard(), wildcard(), wildcard(), wildcard(), wildcard());
    Pattern bias = wildcard();
    Pattern expanded = is_op("expand_dims")(bias);
    Pattern add = is_op("add")(dense, expanded);
    return make_callback("dense_bias", add, [dense, bias, expanded](const py::object& post, const py::object& node_map) {
        py::object expand = matched(node_map, expanded);
        py::object attrs = expand.attr("attrs");
        if (py::int_(attrs.attr("axis")).cast<long>() != 0 || py::int_(attrs.attr("num_newaxis")).cast<long>() != 1) {
            return post;
        }
        py::object d = matched(node_map, dense);
        py::object b = matched(node_map, bias);
        if (py::len(shape_list(d)) != 2 || py::len(shape_list(b)) != 1) return post;
        return api().relay.attr("nn").attr("bias_add")(d, b, 1);
    });
}

// A bias ConvertLayout brought to NHWC for a quantized convolution:
// add(qnn.conv2d, layout_transform(expand_dims(expand_dims(b)))) -> nn.bias_add(qnn.conv2d, b, 3).
// The TFLite convolution entry takes only nn.bias_add; the int8 convolution
// entry takes both forms.
py::object conv_bias() {
    Pattern conv = is_op("qnn.conv2d")(wildcard(), wildcard(), wildcard(), wildcard(), wildcard(), wildcard());
    Pattern bias = wildcard();
    Pattern moved = is_op("layout_transform")(is_op("expand_dims")(is_op("expand_dims")(bias)));
    Pattern add = is_op("add")(conv, moved);
    return make_callback("conv_bias", add, [conv, bias](const py::object& post, const py::object& node_map) {
        py::object c = matched(node_map, conv);
        if (py::str(c.attr("attrs").attr("data_layout")).cast<std::string>() != "NHWC") return post;
        py::list out_shape = shape_list(c);
        py::object b = matched(node_map, bias);
        py::list bias_shape = shape_list(b);
        if (py::len(out_shape) != 4 || py::len(bias_shape) != 1 ||
            bias_shape[0].cast<long>() != out_shape[3].cast<long>()) {
            return post;
        }
        return api().relay.attr("nn").attr("bias_add")(c, b, 3);
    });
}

py::object canonicalize(const py::object& mod) {
    py::list callbacks;
    callbacks.append(bias_vector());
    callbacks.append(attention_divide());
    callbacks.append(layer_norm());
    callbacks.append(int8_square());
    callbacks.append(dense_bias());
    callbacks.append(conv_bias());
    py::object rewrite = py::module_::import("tvm.relay.dataflow_pattern").attr("rewrite");
    py::object main = rewrite(callbacks, mod[py::str("main")], mod);
    py::object updated = mod.attr("clone")();
    updated[py::str("main")] = main;
    return py::module_::import("tvm.relay.transform").attr("InferType")()(updated);
}

}  // namespace

void define_canonicalize(py::module_& m) {
    m.def("_canonicalize", &canonicalize, py::arg("mod"),
          "Rewrite main's real-export forms into the forms the tables capture (bias vectors, "
          "attention scaled by division, layer norm written with mean, int8 squares, dense "
          "biases). Returns a new, type-checked module.");
}

}  // namespace vexa::patterns
