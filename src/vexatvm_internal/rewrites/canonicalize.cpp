// Opt-in rewrites that bring forms real exports take into the forms the
// tables capture. Each is equivalent up to float rounding; none changes a
// table. Applied to main with TVM's pattern rewriter.
//
//   bias_vector        add(x, C[1,..,1,K])        -> add(x, C[K])   (NCHW biases after
//                                                                    ConvertLayout + FoldConstant;
//                                                                    on a convolution also when x
//                                                                    has C's full shape)
//   attention_divide   multiply(reshape(bmm), c)  -> divide(reshape(bmm), 1/c)
//   attention_scaled_operands
//                      reshape(bmm(reshape(q * cq), transpose(reshape(k * ck))))
//                                                 -> divide(reshape(bmm(..q.., ..k..)), 1/(cq*ck))
//   head_merge_reshape reshape(reshape(bmm))      -> reshape(bmm)
//   nearest_floor      nearest resize2d rounding "floor" -> rounding "" (TVM's own
//                                                    default for it: the same computation)
//   repeat_upsampling  reshape(tile(reshape(tile(reshape(x))))) repeating rows, then columns,
//                      of an NHWC x by powers of two (Keras 3's UpSampling2D)
//                                                 -> nearest resize2d NHWC, "asymmetric", rounding ""
//   layer_norm         (x - m) * (1 / sqrt(variance(x, m) + e))
//                                                 -> (x - m) / sqrt(mean((x - m)^2) + e)
//   int8_square        power(r, 2) on a dequantized detection head -> multiply(r, r)
//   dense_bias         add(qnn.dense(..), expand_dims(b, 0)) -> nn.bias_add(qnn.dense(..), b)
//   conv_bias          add(qnn.conv2d NHWC, b as a vector, a (1,..,1,C) constant, expand_dims(b)
//                      or layout_transform(expand_dims(expand_dims(b))))
//                                                 -> nn.bias_add(qnn.conv2d, b, axis=3)
//   dense_flatten      qnn.dense(reshape(..reshape(x)), ..)  -> qnn.dense(squeeze(reshape(x, (M, K, 1, 1))), ..)
//   dense_zero_bias    qnn.requantize(qnn.dense(..))  -> qnn.requantize(nn.bias_add(qnn.dense(..), zeros))
//                      (both TFLite's fully-connected layer)

#include <functional>
#include <initializer_list>
#include <unordered_set>
#include <optional>
#include <string>
#include <vector>

#include "rewrites.h"
#include "vexa/iterative_mutator.h"
#include "vexa/relay_nodes.h"

namespace vexa::rewrites {

namespace {

using dfp::is_constant;

// The value of a constant as a numpy array.
py::object value_of(const py::handle& constant) { return constant.attr("data").attr("numpy")(); }

bool is_constant_expr(const py::handle& expr) {
    return PyObject_IsInstance(expr.ptr(), ir::relay().Constant.ptr()) == 1;
}

// A scalar constant equal to `expected` (when given) and of float dtype.
bool scalar_equals(const py::handle& constant, double expected) {
    py::object value = value_of(constant);
    if (py::len(value.attr("shape")) != 0) return false;
    return value.attr("item")().cast<double>() == expected;
}

// The shape of an expression as a list: ints, and None for a dimension that
// is not a known integer (a symbolic batch axis, say), which a rewrite may
// leave alone as long as it does not use it.
py::list shape_list(const py::handle& expr) {
    py::list dims;
    py::object int_imm = py::module_::import("tvm.tir").attr("IntImm");
    py::object type = expr.attr("checked_type");
    if (!py::hasattr(type, "shape")) return dims;
    py::object shape = type.attr("shape");  // bound: a chained temporary would die mid-loop
    for (py::handle dim : shape) {
        if (PyObject_IsInstance(dim.ptr(), int_imm.ptr()) == 1) {
            dims.append(py::int_(dim.attr("value")));
        } else {
            dims.append(py::none());
        }
    }
    return dims;
}

// dims[index] equals `extent`, both known.
bool known_extent(const py::list& dims, size_t index, const py::handle& extent) {
    if (index >= py::len(dims) || dims[index].is_none()) return false;
    return dims[index].cast<long>() == extent.cast<long>();
}

bool is_call_of(const py::handle& expr, const char* name) {
    if (PyObject_IsInstance(expr.ptr(), ir::relay().Call.ptr()) != 1) return false;
    py::object op = expr.attr("op");
    return py::hasattr(op, "name") && py::str(op.attr("name")).cast<std::string>() == name;
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
        if (py::len(data_shape) != rank || !known_extent(data_shape, rank - 1, shape[rank - 1])) return post;
        // A constant of the data's full shape is a bias only on a convolution
        // (a squeeze-excitation convolution after a global pool, say).
        if (py::list(shape).equal(data_shape) && !is_call_of(data, "nn.conv2d")) return post;
        py::object vector = ir::relay().const_(value.attr("reshape")(shape[rank - 1]));
        return constant_first ? ir::relay().package.attr("add")(vector, data) : ir::relay().package.attr("add")(data, vector);
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
        py::object inverse = numpy().attr("float32")(1.0).attr("__truediv__")(numpy().attr("float32")(factor));
        return ir::relay().package.attr("divide")(matched(node_map, scores), ir::relay().const_(inverse, "float32"));
    });
}

// Relay arguments rebuilding a reshape with the attributes of `call`.
py::object reshape_like(const py::object& data, const py::object& call) {
    py::object attrs = call.attr("attrs");
    py::list newshape;
    for (py::handle extent : attrs.attr("newshape")) newshape.append(py::int_(py::reinterpret_borrow<py::object>(extent)));
    return ir::relay().package.attr("reshape")(data, newshape, py::bool_(attrs.attr("allowzero")));
}

// A float32 scalar constant's value; nullopt for anything else.
std::optional<double> float32_scalar(const py::object& constant) {
    py::object value = value_of(constant);
    if (py::len(value.attr("shape")) != 0 || py::str(value.attr("dtype")).cast<std::string>() != "float32") {
        return std::nullopt;
    }
    return value.attr("item")().cast<double>();
}

// Query and key each scaled before the product (PyTorch's scaled-dot-product
// export): reshape(bmm(reshape(q * cq), transpose(reshape(k * ck))))
//   -> divide(reshape(bmm(reshape(q), transpose(reshape(k)))), 1 / (cq * ck)),
// the division form of the attention entry.
py::object attention_scaled_operands() {
    Pattern q = wildcard(), k = wildcard(), cq = is_constant(), ck = is_constant();
    Pattern q_flat = is_op("reshape")(is_op("multiply")(q, cq));
    Pattern k_flat = is_op("reshape")(is_op("multiply")(k, ck));
    Pattern k_turned = is_op("transpose")(k_flat);
    Pattern product = is_op("nn.batch_matmul")(q_flat, k_turned);
    Pattern scores = is_op("reshape")(product);
    return make_callback("attention_scaled_operands", scores,
                         [q, k, cq, ck, q_flat, k_flat, k_turned, product](const py::object& post, const py::object& node_map) {
        std::optional<double> scale_q = float32_scalar(matched(node_map, cq));
        std::optional<double> scale_k = float32_scalar(matched(node_map, ck));
        if (!scale_q || !scale_k || *scale_q == 0.0 || *scale_k == 0.0) return post;
        const ir::Relay& r = ir::relay();
        py::object query = reshape_like(matched(node_map, q), matched(node_map, q_flat));
        py::object turned = matched(node_map, k_turned);
        py::object key = r.package.attr("transpose")(reshape_like(matched(node_map, k), matched(node_map, k_flat)),
                                                   turned.attr("attrs").attr("axes"));
        py::object bmm = matched(node_map, product);
        py::object attrs = bmm.attr("attrs");
        py::object scores_now = reshape_like(
            r.package.attr("nn").attr("batch_matmul")(query, key, attrs.attr("out_dtype"), attrs.attr("transpose_a"),
                                                    attrs.attr("transpose_b")),
            post);
        py::object f32 = numpy().attr("float32");
        py::object divisor = f32(1.0).attr("__truediv__")(f32(*scale_q).attr("__mul__")(f32(*scale_k)));
        return r.package.attr("divide")(scores_now, r.const_(divisor, "float32"));
    });
}

// reshape(reshape(bmm)) -> reshape(bmm): the head merge after the second
// product of an attention block, which the entry expects as one reshape.
py::object head_merge_reshape() {
    Pattern product = is_op("nn.batch_matmul")(wildcard(), wildcard());
    Pattern twice = is_op("reshape")(is_op("reshape")(product));
    return make_callback("head_merge_reshape", twice, [product](const py::object& post, const py::object& node_map) {
        py::object attrs = post.attr("attrs");
        py::list newshape;
        for (py::handle extent : attrs.attr("newshape")) {
            long value = py::int_(py::reinterpret_borrow<py::object>(extent)).cast<long>();
            if (value == 0 || value < -1) return post;  // relative to the inner reshape's output
            newshape.append(value);
        }
        if (py::bool_(attrs.attr("allowzero"))) return post;
        return ir::relay().package.attr("reshape")(matched(node_map, product), newshape);
    });
}

// A nearest resize rounding with "floor" -> the same resize with rounding "".
// TVM's resize computes "" as "floor" for nearest_neighbor under every
// coordinate mode but align_corners, so the result is bit for bit the same;
// the upsampling entry takes "" and "round" (YOLOv5 exports "floor").
py::object nearest_floor() {
    Pattern resize = is_op("image.resize2d")(wildcard());
    return make_callback("nearest_floor", resize, [](const py::object& post, const py::object&) {
        py::object attrs = post.attr("attrs");
        auto text = [&attrs](const char* key) { return py::str(attrs.attr(key)).cast<std::string>(); };
        if (text("method") != "nearest_neighbor" || text("rounding_method") != "floor" ||
            text("coordinate_transformation_mode") == "align_corners") {
            return post;
        }
        py::object resize2d = ir::relay().package.attr("image").attr("resize2d");
        return resize2d(post.attr("args")[py::int_(0)], attrs.attr("size"), attrs.attr("roi"), attrs.attr("layout"),
                        attrs.attr("method"), attrs.attr("coordinate_transformation_mode"), "",
                        attrs.attr("cubic_alpha"), attrs.attr("cubic_exclude"), attrs.attr("extrapolation_value"),
                        attrs.attr("out_dtype"));
    });
}

// Keras 3 upsamples by repeating: each row sh times, then each column sw
// times, as reshape to (N, H, 1, W, C), tile to (N, H, sh, W, C), reshape to
// (N, H*sh, W, 1, C), tile to (N, H*sh, W, sw, C), reshape to (N, H*sh, W*sw, C).
// That is y[n, i, j, c] = x[n, i / sh, j / sw, c]: a nearest resize, whose
// "asymmetric" source coordinate i * (1 / sh) TVM floors exactly when sh is a
// power of two. The shapes alone decide it: a tile that turns an axis of 1
// into sh and keeps the others repeats that axis sh times.
py::object repeat_upsampling() {
    Pattern x = wildcard();
    Pattern rows = is_op("tile")(is_op("reshape")(x) | is_op("expand_dims")(x));
    Pattern columns = is_op("tile")(is_op("reshape")(rows));
    Pattern out = is_op("reshape")(columns);
    return make_callback("repeat_upsampling", out, [x, rows, columns](const py::object& post, const py::object& node_map) {
        auto known = [](const py::list& dims, size_t rank) {
            if (py::len(dims) != rank) return std::vector<long>();
            std::vector<long> values;
            for (py::handle dim : dims) {
                if (dim.is_none()) return std::vector<long>();
                values.push_back(dim.cast<long>());
            }
            return values;
        };
        py::object data = matched(node_map, x);
        std::vector<long> in = known(shape_list(data), 4), tiled_rows = known(shape_list(matched(node_map, rows)), 5),
                          tiled_columns = known(shape_list(matched(node_map, columns)), 5), y = known(shape_list(post), 4);
        py::object before_columns = matched(node_map, columns).attr("args")[py::int_(0)];
        std::vector<long> merged_rows = known(shape_list(before_columns), 5);
        py::object before_rows = matched(node_map, rows).attr("args")[py::int_(0)];
        std::vector<long> split_rows = known(shape_list(before_rows), 5);
        if (in.empty() || tiled_rows.empty() || tiled_columns.empty() || y.empty() || merged_rows.empty() ||
            split_rows.empty()) {
            return post;
        }
        auto power_of_two = [](long v) { return v >= 2 && (v & (v - 1)) == 0; };
        long n = in[0], h = in[1], w = in[2], c = in[3], sh = tiled_rows[2], sw = tiled_columns[3];
        using Shape = std::vector<long>;
        if (!power_of_two(sh) || !power_of_two(sw) || split_rows != Shape{n, h, 1, w, c} ||
            tiled_rows != Shape{n, h, sh, w, c} || merged_rows != Shape{n, h * sh, w, 1, c} ||
            tiled_columns != Shape{n, h * sh, w, sw, c} || y != Shape{n, h * sh, w * sw, c}) {
            return post;
        }
        py::object resize2d = ir::relay().package.attr("image").attr("resize2d");
        return resize2d(data, py::make_tuple(h * sh, w * sw), py::none(), "NHWC", "nearest_neighbor", "asymmetric", "");
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
        const ir::Relay& r = ir::relay();
        py::object squared = r.package.attr("power")(centred, r.const_(2.0));
        py::object axis = attrs.attr("axis");
        py::object axes = axis.is_none() ? py::object(py::none()) : py::object(py::list(axis));
        py::object var = r.package.attr("mean")(squared, axes, attrs.attr("keepdims"), attrs.attr("exclude"));
        py::object stdev = r.package.attr("sqrt")(r.package.attr("add")(var, matched(node_map, eps)));
        return r.package.attr("divide")(centred, stdev);
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
        return ir::relay().package.attr("multiply")(b, b);
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
        return ir::relay().package.attr("nn").attr("bias_add")(d, b, 1);
    });
}

// The per-channel vector of a bias added to an NHWC output of `channels`
// channels, or None: the vector itself, a constant of shape (1, .., 1, C),
// expand_dims of the vector (TFLite's NHWC graphs), or the chain ConvertLayout
// makes of an NCHW bias, layout_transform(expand_dims(expand_dims(b))).
py::object channel_vector(const py::object& bias, long channels) {
    auto is_vector = [channels](const py::object& expr) {
        py::list dims = shape_list(expr);
        return py::len(dims) == 1 && !dims[0].is_none() && dims[0].cast<long>() == channels;
    };
    auto ones_then_channels = [channels](const py::list& dims) {
        size_t rank = py::len(dims);
        if (rank == 0 || rank > 4) return false;
        for (size_t i = 0; i + 1 < rank; ++i) {
            if (dims[i].is_none() || dims[i].cast<long>() != 1) return false;
        }
        return !dims[rank - 1].is_none() && dims[rank - 1].cast<long>() == channels;
    };
    if (is_vector(bias)) return bias;
    if (is_constant_expr(bias)) {
        py::object value = value_of(bias);
        if (!ones_then_channels(py::list(value.attr("shape")))) return py::none();
        return ir::relay().const_(value.attr("reshape")(channels));
    }
    py::object inner = bias;
    if (is_call_of(bias, "layout_transform")) {
        inner = bias.attr("args")[py::int_(0)];
        if (!is_call_of(inner, "expand_dims")) return py::none();
        inner = inner.attr("args")[py::int_(0)];
        if (!is_call_of(inner, "expand_dims")) return py::none();
        inner = inner.attr("args")[py::int_(0)];
    } else if (is_call_of(bias, "expand_dims")) {
        if (!ones_then_channels(shape_list(bias))) return py::none();
        inner = bias.attr("args")[py::int_(0)];
    } else {
        return py::none();
    }
    return is_vector(inner) ? inner : py::object(py::none());
}

// A bias added to an NHWC quantized convolution becomes nn.bias_add(conv, b, 3):
// the TFLite convolution entry takes only nn.bias_add; the int8 convolution
// entry takes both forms.
py::object conv_bias() {
    Pattern conv = is_op("qnn.conv2d")(wildcard(), wildcard(), wildcard(), wildcard(), wildcard(), wildcard());
    Pattern bias = wildcard();
    Pattern add = is_op("add")(conv, bias);
    return make_callback("conv_bias", add, [conv, bias](const py::object& post, const py::object& node_map) {
        py::object c = matched(node_map, conv);
        if (py::str(c.attr("attrs").attr("data_layout")).cast<std::string>() != "NHWC") return post;
        py::list out_shape = shape_list(c);
        if (py::len(out_shape) != 4 || out_shape[3].is_none()) return post;
        py::object vector = channel_vector(matched(node_map, bias), out_shape[3].cast<long>());
        if (vector.is_none()) return post;
        return ir::relay().package.attr("nn").attr("bias_add")(c, vector, 3);
    });
}

// A call like `call` with its first argument replaced: same operator,
// attributes and span.
py::object with_first_arg(const py::object& call, const py::object& first) {
    py::list args(call.attr("args"));
    args[0] = first;
    return ir::relay().Call(call.attr("op"), args, call.attr("attrs"), py::none(), call.attr("span"));
}

// TFLite's fully-connected input is reshape(x, (-1, K)), after a Keras
// Flatten's reshape too; the entry takes a flatten written as
// squeeze(reshape(x, (M, K, 1, 1)), [2, 3]). Reshapes move no element, so
// one reshape of the chain's first input holds the same values.
py::object dense_flatten() {
    Pattern flat = is_op("reshape")(wildcard());
    Pattern dense = is_op("qnn.dense")(flat, wildcard(), wildcard(), wildcard(), wildcard(), wildcard());
    return make_callback("dense_flatten", dense, [flat](const py::object& post, const py::object& node_map) {
        py::object input = matched(node_map, flat);
        py::list dims = shape_list(input);
        if (py::len(dims) != 2 || dims[1].is_none()) return post;
        py::object source = input;
        int reshapes = 0;
        while (is_call_of(source, "reshape")) {
            source = source.attr("args")[py::int_(0)];
            ++reshapes;
        }
        // reshape(reshape(transpose(x))) is the entry's own TFLite form.
        if (reshapes == 2 && is_call_of(source, "transpose")) return post;
        const ir::Relay& r = ir::relay();
        py::object rows = dims[0].is_none() ? py::object(py::int_(-1)) : py::object(dims[0]);
        py::object square = r.package.attr("reshape")(source, py::make_tuple(rows, dims[1], 1, 1));
        py::object flattened = r.package.attr("squeeze")(square, py::make_tuple(2, 3));
        return with_first_arg(post, flattened);
    });
}

// TFLite leaves out a bias of zeros (its tensor index is -1); the entry
// takes the dense with nn.bias_add only. Adding zeros in the dense's own
// integer type changes no value.
py::object dense_zero_bias() {
    Pattern dense = is_op("qnn.dense")(wildcard(), wildcard(), wildcard(), wildcard(), wildcard(), wildcard());
    Pattern requantize = is_op("qnn.requantize")(dense, wildcard(), wildcard(), wildcard(), wildcard());
    return make_callback("dense_zero_bias", requantize, [dense](const py::object& post, const py::object& node_map) {
        py::object d = matched(node_map, dense);
        py::list dims = shape_list(d);
        if (py::len(dims) != 2 || dims[1].is_none()) return post;
        py::object dtype = d.attr("checked_type").attr("dtype");
        py::object zeros = numpy().attr("zeros")(dims[1], dtype);
        py::object biased = ir::relay().package.attr("nn").attr("bias_add")(d, ir::relay().const_(zeros), 1);
        return with_first_arg(post, biased);
    });
}

// The operators main calls, as registry nodes (one node per operator name).
class OperatorsCalled : public ir::IterativeMutator {
public:
    std::unordered_set<void*> ops;

    bool calls(std::initializer_list<const char*> names) const {
        static const ffi::PackedFunc* get_op = new ffi::PackedFunc("ir.GetOp");
        for (const char* name : names) {
            if (ops.count((*get_op)({name}).get()) == 0) return false;
        }
        return true;
    }

private:
    ffi::Object enter_call(ir::CallView& call) override {
        ops.insert(call.op().get());  // operators are registry singletons: the address stays valid
        return ffi::Object();
    }
};

// TVM's dataflow_pattern.rewrite(callbacks, expr, mod): round after round,
// each callback in turn over the whole graph, until a round changes nothing.
// TVM types the graph before every callback; here it is typed only where
// the graph changed since it was last typed, as typing a typed graph gives
// it back as it is.
py::object rewrite_all(const py::list& callbacks, py::object post, const py::object& mod) {
    py::object rewrite = py::module_::import("tvm.relay.dataflow_pattern").attr("rewrite");
    py::object structural_equal = py::module_::import("tvm.ir").attr("structural_equal");
    // One pass of one callback each, typing first or not.
    std::vector<std::pair<py::object, py::object>> passes;
    for (py::handle callback : callbacks) {
        auto pass = [&](bool typed) {
            py::object ns = py::module_::import("types").attr("SimpleNamespace")();
            ns.attr("pattern") = callback.attr("pattern");
            ns.attr("callback") = callback.attr("callback");
            ns.attr("require_type") = typed;
            ns.attr("rewrite_once") = true;
            return ns;
        };
        passes.emplace_back(pass(true), pass(false));
    }
    ffi::Object typed_as;  // the graph as it last came out of type inference
    for (int count = 0;;) {
        py::object last = post;
        for (auto& [typing, plain] : passes) {
            bool typed = typed_as && ffi::Object::from_python(post).same_as(typed_as);
            py::list one;
            one.append(typed ? plain : typing);
            py::object out = rewrite(one, post, mod);
            // A pass that rewrote nothing hands back the graph it visited,
            // typed when it typed it first.
            if (!typed && !truth(structural_equal(out, post, py::arg("map_free_vars") = true))) {
                typed_as = ffi::Object();
            } else if (!typed) {
                typed_as = ffi::Object::from_python(out);
            }
            post = out;
            if (++count >= 100) throw std::runtime_error("Observed 100 rewrite passes, possible conflicting passes?");
        }
        if (truth(structural_equal(last, post, py::arg("map_free_vars") = true))) return post;
    }
}

// The rewrites whose operators main calls, in the order they run.
// The table whose fully-connected entry TFLite's flatten and missing bias
// are brought to; for any other, those rewrites only add host operators.
constexpr const char* kFullyConnectedTable = "vexa_with_fc";

bool applies(const py::object& tables, const char* table) {
    return tables.is_none() || tables.attr("__contains__")(py::str(table)).cast<bool>();
}

py::list rewrites_for(const py::object& mod, const py::object& tables) {
    OperatorsCalled called;
    called.visit(mod[py::str("main")]);
    py::list callbacks;
    if (called.calls({"add"})) callbacks.append(bias_vector());
    if (called.calls({"multiply", "nn.batch_matmul", "reshape"})) {
        callbacks.append(attention_divide());
        callbacks.append(attention_scaled_operands());
    }
    if (called.calls({"nn.batch_matmul", "reshape"})) callbacks.append(head_merge_reshape());
    if (called.calls({"variance", "sqrt"})) callbacks.append(layer_norm());
    if (called.calls({"image.resize2d"})) callbacks.append(nearest_floor());
    if (called.calls({"tile", "reshape"})) callbacks.append(repeat_upsampling());
    if (called.calls({"power", "qnn.dequantize"})) callbacks.append(int8_square());
    if (called.calls({"add", "qnn.dense", "expand_dims"})) callbacks.append(dense_bias());
    if (called.calls({"add", "qnn.conv2d"})) callbacks.append(conv_bias());
    if (applies(tables, kFullyConnectedTable)) {
        if (called.calls({"qnn.dense", "reshape"})) callbacks.append(dense_flatten());
        if (called.calls({"qnn.dense", "qnn.requantize"})) callbacks.append(dense_zero_bias());
    }
    return callbacks;
}

py::object canonicalize(const py::object& mod, const py::object& tables) {
    // Each rewrite runs over the whole graph until nothing changes, with type
    // inference in between: only those whose operators the graph calls run.
    py::list callbacks = rewrites_for(mod, tables);
    if (py::len(callbacks) == 0) return mod;
    py::object main = rewrite_all(callbacks, mod[py::str("main")], mod);
    py::object updated = mod.attr("clone")();
    updated[py::str("main")] = main;
    return py::module_::import("tvm.relay.transform").attr("InferType")()(updated);
}

}  // namespace

void define_canonicalize(py::module_& m) {
    m.def("_canonicalize", &canonicalize, py::arg("mod"), py::arg("tables") = py::none(),
          "Rewrite main's real-export forms into the forms the tables capture (bias vectors, "
          "attention scaled by division, layer norm written with mean, nearest upsampling, int8 "
          "squares, dense and convolution biases, TFLite's fully-connected flatten and missing bias). "
          "Returns a new, type-checked module. With tables (names), the rewrites for one table's entry "
          "run only where that table is among them.");
    m.def("_canonical_rewrites", &rewrites_for, py::arg("mod"), py::arg("tables") = py::none(),
          "The rewrites _canonicalize runs on mod, as callbacks TVM's dataflow_pattern.rewrite takes.");
}

}  // namespace vexa::rewrites
