#include "vexa/node_reads.h"

namespace vexa::fast {

namespace {

struct Types {
    unsigned call = ffi::type_index_of("relay.Call");
    unsigned function = ffi::type_index_of("relay.Function");
    unsigned constant = ffi::type_index_of("relay.Constant");
    unsigned op = ffi::type_index_of("Op");
    unsigned tensor_type = ffi::type_index_of("relay.TensorType");
    unsigned int_imm = ffi::type_index_of("IntImm");
};

const Types& types() {
    static const Types* t = new Types;
    return *t;
}

bool is_a(const Object& obj, unsigned index) { return obj && obj.type_index() == index; }

// expr.checked_type where type inference has set a tensor type.
std::optional<Object> tensor_type(const Object& expr) {
    if (!expr) return std::nullopt;
    Object type = ffi::get(expr, "_checked_type_");
    if (!is_a(type, types().tensor_type)) return std::nullopt;
    return type;
}

}  // namespace

Object node(const py::handle& expr) {
    // Deliberately leaked, as Python objects must outlive the interpreter's shutdown.
    static const py::object* tvm_object = new py::object(py::module_::import("tvm.runtime").attr("Object"));
    int is_tvm = PyObject_IsInstance(expr.ptr(), tvm_object->ptr());
    if (is_tvm < 0) throw py::error_already_set();
    return is_tvm ? Object::from_python(expr) : Object();
}

std::optional<Object> arg(const Object& call, std::int64_t index) {
    if (!is_a(call, types().call)) return std::nullopt;
    Object args = ffi::get(call, "args");
    const ffi::Api& f = ffi::api();
    if (index < 0 || index >= f.array_size.call_int({args})) return std::nullopt;
    return f.array_get_item({args, index});
}

std::optional<Shape> shape(const Object& expr) {
    std::optional<Object> type = tensor_type(expr);
    if (!type) return std::nullopt;
    Shape out;
    for (const Object& dim : ffi::items(ffi::get(*type, "shape"))) {
        if (!is_a(dim, types().int_imm)) return std::nullopt;
        out.push_back(ffi::get_int(dim, "value"));
    }
    return out;
}

std::optional<bool> is_float32(const Object& expr) {
    std::optional<Object> type = tensor_type(expr);
    if (!type) return std::nullopt;
    std::optional<std::string> dtype = ffi::api().node_get_attr.try_str({*type, "dtype"});
    if (!dtype) return std::nullopt;
    return *dtype == "float32";
}

std::optional<bool> is_captured(const Object& expr) {
    if (!is_a(expr, types().call)) return std::nullopt;
    return is_a(ffi::get(expr, "op"), types().function);
}

bool is_constant(const Object& expr) { return is_a(expr, types().constant); }

std::optional<std::int64_t> int_attr(const Object& call, const char* key) {
    if (!is_a(call, types().call)) return std::nullopt;
    Object attrs = ffi::get(call, "attrs");
    if (!attrs) return std::nullopt;
    try {
        const ffi::PackedFunc& get_attr = ffi::api().node_get_attr;
        if (std::optional<std::int64_t> value = get_attr.try_int({attrs, key})) return value;
        Object value = get_attr({attrs, key});
        if (!is_a(value, types().int_imm)) return std::nullopt;
        return ffi::get_int(value, "value");
    } catch (py::error_already_set&) {
        return std::nullopt;  // no such attribute: the Python read raises it
    }
}

namespace {

// The registered operator `name`; none when TVM has no such operator.
// Operators are registry singletons: one node per name.
Object registered_op(const char* name) {
    static const ffi::PackedFunc* get_op = new ffi::PackedFunc("ir.GetOp");
    try {
        return (*get_op)({name});
    } catch (py::error_already_set&) {
        return Object();  // the error is dropped with the exception
    }
}

}  // namespace

std::optional<bool> calls_op(const Object& expr, const char* name) {
    if (!is_a(expr, types().call)) return std::nullopt;
    Object op = ffi::get(expr, "op");
    if (!is_a(op, types().op)) return std::nullopt;
    Object wanted = registered_op(name);
    if (!wanted) return std::nullopt;
    return op.same_as(wanted);
}

std::optional<Object> walk_to_op(Object expr, const char* name) {
    for (;;) {
        std::optional<bool> found = calls_op(expr, name);
        if (!found) return std::nullopt;
        if (*found) return expr;
        std::optional<Object> first = arg(expr, 0);
        if (!first) return std::nullopt;
        expr = std::move(*first);
    }
}

}  // namespace vexa::fast
