// Constant folding for TVM's ONNX importer.
//
// The importer folds after every node it converts (common.fold_constant,
// that is FoldConstantExpr): each fold walks the whole graph built so far
// and compiles one LLVM kernel per folded call, mostly shape arithmetic on a
// few int64 values and copies of weights. A 12-layer BERT pays 1,700 kernel
// builds for it. This folder gives the same expression:
// - it remembers what it folded for the whole import, so a fold walks only
//   the nodes that are new;
// - numpy computes the calls whose value is exact by construction: data
//   movement, integer arithmetic that does not overflow, integer
//   comparisons, selections;
// - any other foldable call goes to FoldConstantExpr on its own, and an
//   expression with let bindings, conditionals, functions or device
//   annotations goes to it whole.
// The rules per node are FoldConstantExpr's (fold_qnn off).

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "constant_moves.h"
#include "vexa/node_reads.h"
#include "rewrites.h"
#include "vexa/iterative_mutator.h"
#include "vexa/relay_nodes.h"

namespace vexa::rewrites {

namespace {

using ir::Kind;

// What FoldConstantExpr decides from the operator alone.
enum class Rule {
    Evaluate,  // evaluated when every argument is a constant
    Keep,      // never folded: stateful, non-computational, device copies
    ShapeOf,   // folded from the argument's shape
    Delegate,  // folded from types in ways left to TVM (ndarray_size, vm.shape_of)
    Refuse,    // the whole expression goes to TVM (device annotations)
};

struct OpInfo {
    std::string name;
    Rule rule;
};

OpInfo describe(const ffi::Object& op) {
    py::object py_op = op.to_python();
    std::string name = py::str(py_op.attr("name")).cast<std::string>();
    auto has = [&](const char* key) { return truth(py_op.attr("get_attr")(key)); };
    if (name == "on_device") return {name, Rule::Refuse};
    if (has("TOpIsStateful")) return {name, Rule::Keep};
    if (name == "shape_of") return {name, Rule::ShapeOf};
    if (name == "vm.shape_of" || name == "ndarray_size") return {name, Rule::Delegate};
    if (has("TNonComputational") || name == "device_copy") return {name, Rule::Keep};
    return {name, Rule::Evaluate};
}

struct Refused {};

std::string kind_of_dtype(const py::handle& array) {
    return py::str(array.attr("dtype").attr("kind")).cast<std::string>();
}

bool same_dtype(const py::handle& a, const py::handle& b) {
    return truth(a.attr("dtype").attr("__eq__")(b.attr("dtype")));
}

bool is_int(const py::handle& array) {
    std::string kind = kind_of_dtype(array);
    return kind == "i" || kind == "u";
}

std::vector<long> int_list(const py::handle& seq) {
    std::vector<long> out;
    for (py::handle item : seq) out.push_back(py::int_(py::reinterpret_borrow<py::object>(item)).cast<long>());
    return out;
}

template <typename Int>
py::tuple to_tuple(const std::vector<Int>& values) {
    py::tuple out(values.size());
    for (size_t i = 0; i < values.size(); ++i) out[i] = py::int_(values[i]);
    return out;
}

// Arithmetic on arrays above this size goes to TVM: what numpy speeds up
// here is shape computations, and the overflow test is elementwise.
constexpr long kLargestArithmetic = 1 << 16;

// Integer arithmetic as TVM's kernels compute it, wherever no value overflows
// (numpy's and LLVM's wrap-around would then agree too, but an overflow in a
// shape computation is a fault TVM should report its own way). Integer
// division stays with TVM: its int64 floor_mod kernels fail to build for
// vectors here, and folding them would turn that error into an answer.
std::optional<py::object> exact_arithmetic(const std::string& name, const py::object& a, const py::object& b) {
    const py::module_& np = numpy();
    if (py::int_(a.attr("size")).cast<long>() > kLargestArithmetic ||
        py::int_(b.attr("size")).cast<long>() > kLargestArithmetic) {
        return std::nullopt;
    }
    py::object typed = np.attr(name.c_str())(a, b);
    if (name == "maximum" || name == "minimum") return typed;
    py::object big = np.attr(name.c_str())(a.attr("astype")("object"), b.attr("astype")("object"));
    if (!truth(np.attr("array_equal")(typed.attr("astype")("object"), big))) return std::nullopt;
    return typed;
}

// strided_slice with static begin, end and positive strides: Python's slice
// semantics are TVM's there.
std::optional<py::object> exact_strided_slice(const py::object& data, const py::handle& attrs) {
    if (py::str(attrs.attr("slice_mode")).cast<std::string>() != "end") return std::nullopt;
    py::object begin_attr = attrs.attr("begin"), end_attr = attrs.attr("end"), strides_attr = attrs.attr("strides");
    if (begin_attr.is_none() || end_attr.is_none() || strides_attr.is_none()) return std::nullopt;
    std::vector<long> begin = int_list(begin_attr), end = int_list(end_attr), strides = int_list(strides_attr);
    long rank = py::len(data.attr("shape"));
    std::vector<long> axes;
    if (py::object axes_attr = attrs.attr("axes"); !axes_attr.is_none()) {
        axes = int_list(axes_attr);
    } else {
        for (size_t i = 0; i < begin.size(); ++i) axes.push_back(static_cast<long>(i));
    }
    if (begin.size() != end.size() || begin.size() != strides.size() || begin.size() != axes.size()) {
        return std::nullopt;
    }
    std::vector<py::object> slices(static_cast<size_t>(rank), py::reinterpret_steal<py::object>(PySlice_New(nullptr, nullptr, nullptr)));
    std::vector<bool> seen(static_cast<size_t>(rank), false);
    for (size_t i = 0; i < axes.size(); ++i) {
        long axis = axes[i] < 0 ? axes[i] + rank : axes[i];
        if (axis < 0 || axis >= rank || seen[axis] || strides[i] <= 0) return std::nullopt;
        seen[axis] = true;
        slices[axis] = py::reinterpret_steal<py::object>(
            PySlice_New(py::int_(begin[i]).ptr(), py::int_(end[i]).ptr(), py::int_(strides[i]).ptr()));
    }
    py::tuple index(slices.size());
    for (size_t i = 0; i < slices.size(); ++i) index[i] = slices[i];
    py::object out = data[index];
    if (truth(py::int_(out.attr("size")).attr("__eq__")(0))) return std::nullopt;  // TVM's empty slices differ
    return numpy().attr("ascontiguousarray")(out);
}

// take with every index in range, where TVM's clip, wrap and fast modes agree.
std::optional<py::object> exact_take(const py::object& data, const py::object& indices, const py::handle& attrs) {
    if (!is_int(indices) || py::int_(attrs.attr("batch_dims")).cast<long>() != 0) return std::nullopt;
    py::object axis = attrs.attr("axis");
    long extent;
    if (axis.is_none()) {
        extent = py::int_(data.attr("size")).cast<long>();
    } else {
        long rank = py::len(data.attr("shape"));
        long at = py::int_(axis).cast<long>();
        if (at < 0) at += rank;
        if (at < 0 || at >= rank) return std::nullopt;
        extent = py::int_(data.attr("shape")[py::int_(at)]).cast<long>();
        axis = py::int_(at);
    }
    if (py::int_(indices.attr("size")).cast<long>() > 0) {
        if (py::int_(indices.attr("min")()).cast<long>() < 0) return std::nullopt;
        if (py::int_(indices.attr("max")()).cast<long>() >= extent) return std::nullopt;
    }
    return numpy().attr("take")(data, indices, axis);
}

// The value of call `name` on constant values `args` (a list for a tuple
// argument), or nullopt where TVM computes it.
std::optional<py::object> evaluate(const std::string& name, const ffi::Object& op, const std::vector<py::object>& args,
                                   const py::handle& attrs) {
    const py::module_& np = numpy();
    if (name == "concatenate") {
        if (args.size() != 1 || !py::isinstance<py::list>(args[0])) return std::nullopt;
        py::list parts = args[0];
        if (parts.empty()) return std::nullopt;
        long rank = py::len(parts[0].attr("shape"));
        for (py::handle part : parts) {
            if (!same_dtype(part, parts[0]) || py::len(part.attr("shape")) != rank || rank == 0) return std::nullopt;
        }
        return np.attr("concatenate")(parts, py::arg("axis") = attrs.attr("axis"));
    }
    for (const py::object& arg : args) {
        if (py::isinstance<py::list>(arg)) return std::nullopt;
    }
    if (args.size() == 1) {
        const py::object& x = args[0];
        if (name == "copy") return x.attr("copy")();
        if (std::optional<py::object> out = moved_value(op, x, attrs)) return out;
        if (name == "strided_slice") return exact_strided_slice(x, attrs);
        if (name == "broadcast_to") {
            if (attrs.attr("shape").is_none()) return std::nullopt;
            py::tuple shape = to_tuple(int_list(attrs.attr("shape")));
            return np.attr("ascontiguousarray")(np.attr("broadcast_to")(x, shape));
        }
        if (name == "cast") {
            // Between integers, and integers to float32 or float64: a
            // conversion IEEE rounds correctly, in LLVM's code as in numpy's.
            std::string dtype = py::str(attrs.attr("dtype")).cast<std::string>();
            bool to_int = dtype.rfind("int", 0) == 0 || dtype.rfind("uint", 0) == 0 || dtype == "bool";
            bool to_float = dtype == "float32" || dtype == "float64";
            if (!(to_int || to_float) || !(is_int(x) || kind_of_dtype(x) == "b")) return std::nullopt;
            return x.attr("astype")(dtype);
        }
        if (name == "full") {
            if (attrs.attr("shape").is_none() || !is_int(x) || py::len(x.attr("shape")) != 0) return std::nullopt;
            std::string dtype = py::str(attrs.attr("dtype")).cast<std::string>();
            if (dtype != py::str(x.attr("dtype")).cast<std::string>()) return std::nullopt;
            py::tuple shape = to_tuple(int_list(attrs.attr("shape")));
            return np.attr("full")(shape, x, py::arg("dtype") = dtype);
        }
        return std::nullopt;
    }
    if (args.size() == 2) {
        const py::object &a = args[0], &b = args[1];
        if (name == "take") return exact_take(a, b, attrs);
        if (!is_int(a) || !same_dtype(a, b)) return std::nullopt;
        static const std::unordered_set<std::string> comparisons = {"less", "greater", "less_equal",
                                                                     "greater_equal", "equal", "not_equal"};
        if (comparisons.count(name)) return np.attr(name.c_str())(a, b);
        static const std::unordered_set<std::string> arithmetic = {"add", "subtract", "multiply", "maximum",
                                                                    "minimum"};
        if (arithmetic.count(name)) return exact_arithmetic(name, a, b);
        return std::nullopt;
    }
    if (args.size() == 3 && name == "where") {
        if (kind_of_dtype(args[0]) != "b" || !same_dtype(args[1], args[2])) return std::nullopt;
        return np.attr("where")(args[0], args[1], args[2]);
    }
    return std::nullopt;
}

class FrontendFolder : public ir::IterativeMutator {
public:
    py::object fold(const py::object& expr, const py::object& mod) {
        if (!mod.is_none()) return tvm_fold(ffi::Object::from_python(expr), mod).to_python();
        if (taint_may_resolve()) forget_tainted();
        py::object out;
        try {
            out = visit(expr);
        } catch (const Refused&) {
            abandon_visit();
            ++whole;
            return tvm_fold(ffi::Object::from_python(expr)).to_python();
        } catch (...) {
            abandon_visit();
            throw;
        }
        // The frontend keeps the folded expression only.
        forget_rewritten();
        visited_.clear();
        return out;
    }

    long exact = 0;      // calls numpy evaluated
    long delegated = 0;  // calls FoldConstantExpr folded one by one
    long whole = 0;      // expressions FoldConstantExpr folded whole

private:
    static ffi::Object tvm_fold(const ffi::Object& expr, py::object mod = py::object()) {
        static const ffi::PackedFunc* fold = new ffi::PackedFunc("relay._transform.FoldConstantExpr");
        static const py::object* ir_module = new py::object(py::module_::import("tvm").attr("IRModule"));
        if (!mod) mod = (*ir_module)();
        return (*fold)({expr, ffi::Object::from_python(mod), false});
    }

    void abandon_visit() {
        for (const ffi::Object& met : visited_) forget(met);
        visited_.clear();
        forget_tainted();
        forget_rewritten();
    }

    // Tainted results stay remembered from fold to fold: walked again, they
    // would come out the same objects until a shape_of that could not be
    // answered can be (its argument got a type since) or a delegated fold
    // left something unfolded. Walking them again on every fold would walk
    // everything downstream of them, once per node of the import.
    bool taint_may_resolve() const {
        if (delegated_taint_) return true;
        for (const ffi::Object& met : shape_sources_) {
            if (shape_known(met)) return true;
        }
        return false;
    }

    void forget_tainted() {
        for (void* met : tainted_met_) forget(met);
        tainted_.clear();
        tainted_keep_.clear();
        tainted_met_.clear();
        shape_sources_.clear();
        delegated_taint_ = false;
    }

    const OpInfo& info(const ffi::Object& op) {
        auto found = ops_.find(op.get());
        if (found == ops_.end()) found = ops_.emplace(op.get(), std::make_pair(op, describe(op))).first;
        return found->second.second;
    }

    // Marks `result`, the result of `met`, as depending on types: the next
    // fold visits `met` again, as FoldConstantExpr would see it then.
    ffi::Object tainted(const ffi::Object& met, ffi::Object result) {
        tainted_.insert(result.get());
        tainted_keep_.push_back(result);
        // By address only: holding the node would hold the constants a fold replaced.
        tainted_met_.push_back(met.get());
        return result;
    }

    static bool shape_known(const ffi::Object& met) {
        ffi::Object arg = ffi::items(ffi::get(met, "args"))[0];
        return fast::is_constant(arg) || fast::shape(arg).has_value();
    }

    bool any_tainted(const std::vector<ffi::Object>& children) const {
        for (const ffi::Object& child : children) {
            if (tainted_.count(child.get())) return true;
        }
        return false;
    }

    static bool complex_constant(const ffi::Object& expr) {
        if (fast::is_constant(expr)) return true;
        if (ir::kind_of(expr) != Kind::Tuple) return false;
        for (const ffi::Object& field : ffi::items(ffi::get(expr, "fields"))) {
            if (!complex_constant(field)) return false;
        }
        return true;
    }

    static py::object value_of(const ffi::Object& arg) {
        if (ir::kind_of(arg) == Kind::Tuple) {
            py::list values;
            for (const ffi::Object& field : ffi::items(ffi::get(arg, "fields"))) {
                if (!fast::is_constant(field)) return py::none();
                values.append(value_of(field));
            }
            return std::move(values);
        }
        py::object constant = arg.to_python();
        py::object value = constant.attr("data").attr("numpy")();
        if (!plain_dtype(value, constant)) return py::none();
        return value;
    }

    // shape_of folded from its argument's shape, as TVM folds it: the
    // extents as int32, then cast to the wanted dtype.
    std::optional<ffi::Object> shape_of(const ffi::Object& met) {
        ffi::Object arg = ffi::items(ffi::get(met, "args"))[0];
        std::optional<fast::Shape> shape;
        if (fast::is_constant(arg)) {
            std::vector<long> dims = int_list(arg.to_python().attr("data").attr("shape"));
            shape = fast::Shape(dims.begin(), dims.end());
        } else {
            shape = fast::shape(arg);
        }
        if (!shape) return std::nullopt;
        if (shape->empty()) return tvm_fold(met);  // TVM's own answer for a scalar
        std::string dtype = py::str(met.to_python().attr("attrs").attr("dtype")).cast<std::string>();
        if (dtype != "int32" && dtype != "int64") return tvm_fold(met);
        py::object dims = numpy().attr("array")(to_tuple(*shape), "int64").attr("astype")("int32").attr("astype")(dtype);
        ++exact;
        return constant_of(dims);
    }

    ffi::Object fold_call(const ffi::Object& met, const ffi::Object& post, const std::vector<ffi::Object>& args) {
        ffi::Object op = ffi::get(post, "op");
        if (ir::kind_of(op) != Kind::Op) return post;
        if (args.empty()) return met;
        const OpInfo& op_info = info(op);
        switch (op_info.rule) {
            case Rule::Refuse:
                throw Refused();
            case Rule::Keep:
                return post;
            case Rule::ShapeOf:
                if (std::optional<ffi::Object> folded = shape_of(met)) return *folded;
                shape_sources_.push_back(met);
                return tainted(met, post);
            case Rule::Delegate: {
                ffi::Object folded = tvm_fold(met);
                ++delegated;
                if (fast::is_constant(folded)) return folded;
                delegated_taint_ = true;
                return tainted(met, folded);
            }
            case Rule::Evaluate:
                break;
        }
        for (const ffi::Object& arg : args) {
            if (!complex_constant(arg)) return post;
        }
        std::vector<py::object> values;
        for (const ffi::Object& arg : args) {
            values.push_back(value_of(arg));
            if (values.back().is_none()) break;
        }
        if (values.size() == args.size() && !values.back().is_none()) {
            std::optional<py::object> value;
            try {
                value = evaluate(op_info.name, op, values, post.to_python().attr("attrs"));
            } catch (py::error_already_set&) {
                value.reset();  // numpy refused it: TVM gives its own answer or error
            }
            if (value) {
                ++exact;
                return constant_of(numpy().attr("asarray")(*value));
            }
        }
        ++delegated;
        return tvm_fold(post);
    }

    ffi::Object leave_call(const ffi::Object& met, const ffi::Object& rebuilt) override {
        visited_.push_back(met);
        std::vector<ffi::Object> args = ffi::items(ffi::get(rebuilt, "args"));
        ffi::Object result = fold_call(met, rebuilt, args);
        if (!tainted_.count(result.get()) && any_tainted(args)) return tainted(met, result);
        return result;
    }

    ffi::Object leave_other(Kind kind, const ffi::Object& met, const ffi::Object& rebuilt) override {
        visited_.push_back(met);
        switch (kind) {
            case Kind::Tuple: {
                if (any_tainted(ffi::items(ffi::get(rebuilt, "fields")))) return tainted(met, rebuilt);
                return rebuilt;
            }
            case Kind::TupleGetItem: {
                ffi::Object tuple = ffi::get(rebuilt, "tuple_value");
                ffi::Object result = rebuilt;
                if (ir::kind_of(tuple) == Kind::Tuple) {
                    result = ffi::items(ffi::get(tuple, "fields"))[ffi::get_int(rebuilt, "index")];
                }
                if (result.same_as(rebuilt) && tainted_.count(tuple.get())) return tainted(met, result);
                return result;
            }
            default:
                // Let bindings, conditionals, functions: FoldConstantExpr's own rules.
                throw Refused();
        }
    }

    std::unordered_map<void*, std::pair<ffi::Object, OpInfo>> ops_;
    std::vector<ffi::Object> visited_;
    std::unordered_set<void*> tainted_;
    std::vector<ffi::Object> tainted_keep_;
    std::vector<void*> tainted_met_;
    std::vector<ffi::Object> shape_sources_;  // shape_of calls left for want of their argument's type
    bool delegated_taint_ = false;
};

// The types TVM's ONNX frontend asks for (common.infer_type), inferred
// once per node for the whole import. The frontend types the whole graph
// built so far for each question, about once per converted node; this
// types only the nodes it has not typed yet, with each typed subexpression
// standing in as a variable of its type. Answers nullopt where the question
// is not a plain dataflow expression; the frontend then asks TVM.
class FrontendTypes {
public:
    std::optional<py::object> type_of(const py::object& expr) {
        ffi::Object root = ffi::Object::from_python(expr);
        if (!composite(ir::kind_of(root))) return std::nullopt;
        if (auto found = types_.find(root.get()); found != types_.end()) return found->second.second;

        // The untyped nodes below root, children first; typed ones become variables.
        std::unordered_map<void*, ffi::Object> copies;
        std::vector<ffi::Object> order;
        std::vector<Frame> stack{Frame(root)};
        while (!stack.empty()) {
            Frame& top = stack.back();
            if (top.next < top.kids.size()) {
                ffi::Object kid = top.kids[top.next++];
                if (copies.count(kid.get())) continue;
                Kind kind = ir::kind_of(kid);
                if (auto typed = types_.find(kid.get()); typed != types_.end()) {
                    copies.emplace(kid.get(), stand_in(typed->second.second));
                } else if (kind == Kind::Var || kind == Kind::Constant || kind == Kind::Op) {
                    copies.emplace(kid.get(), kid);
                } else if (composite(kind)) {
                    stack.emplace_back(kid);
                } else {
                    return std::nullopt;
                }
                continue;
            }
            Frame done = std::move(stack.back());
            stack.pop_back();
            copies.emplace(done.node.get(), copy(done, copies));
            order.push_back(done.node);
        }

        static const py::object* infer = new py::object(py::module_::import("tvm.relay.transform").attr("InferType"));
        const ir::Relay& relay = ir::relay();
        py::object typed_root = (*infer)()(relay.IRModule.attr("from_expr")(copies.at(root.get()).to_python()))
                                    .attr("__getitem__")("main")
                                    .attr("body");
        std::vector<ffi::Object> typed = post_order(ffi::Object::from_python(typed_root));
        if (typed.size() != order.size()) return std::nullopt;
        for (size_t i = 0; i < order.size(); ++i) {
            if (ir::kind_of(typed[i]) != ir::kind_of(order[i])) return std::nullopt;
        }
        for (size_t i = 0; i < order.size(); ++i) {
            py::object type = typed[i].to_python().attr("checked_type");
            types_.emplace(order[i].get(), std::make_pair(order[i], type));
        }
        return types_.at(root.get()).second;
    }

private:
    static bool composite(Kind kind) { return kind == Kind::Call || kind == Kind::Tuple || kind == Kind::TupleGetItem; }

    static std::vector<ffi::Object> children(const ffi::Object& node) {
        switch (ir::kind_of(node)) {
            case Kind::Call: {
                std::vector<ffi::Object> kids{ffi::get(node, "op")};
                for (ffi::Object& arg : ffi::items(ffi::get(node, "args"))) kids.push_back(std::move(arg));
                return kids;
            }
            case Kind::Tuple:
                return ffi::items(ffi::get(node, "fields"));
            case Kind::TupleGetItem:
                return {ffi::get(node, "tuple_value")};
            default:
                return {};
        }
    }

    static ffi::Object stand_in(const py::object& type) {
        static const py::object* var = new py::object(py::module_::import("tvm.relay").attr("var"));
        return ffi::Object::from_python((*var)("typed", py::arg("type_annotation") = type));
    }

    struct Frame {
        explicit Frame(ffi::Object n) : node(std::move(n)), kids(children(node)) {}
        ffi::Object node;
        std::vector<ffi::Object> kids;
        size_t next = 0;
    };

    static ffi::Object copy(const Frame& frame, const std::unordered_map<void*, ffi::Object>& copies) {
        const ffi::Api& f = ffi::api();
        const ffi::Object& node = frame.node;
        std::vector<ffi::Object> kids;
        for (const ffi::Object& kid : frame.kids) kids.push_back(copies.at(kid.get()));
        switch (ir::kind_of(node)) {
            case Kind::Call:
                return f.call({kids[0], ffi::make_array(std::vector<ffi::Object>(kids.begin() + 1, kids.end())),
                               ffi::get(node, "attrs"), ffi::get(node, "type_args"), ffi::get(node, "span")});
            case Kind::Tuple:
                return f.tuple({ffi::make_array(kids), ffi::get(node, "span")});
            default:
                return f.tuple_get_item({kids[0], ffi::get_int(node, "index"), ffi::get(node, "span")});
        }
    }

    // The composite nodes below root, children first, each once: the order
    // the copy was built in.
    static std::vector<ffi::Object> post_order(const ffi::Object& root) {
        std::vector<ffi::Object> out;
        std::unordered_set<void*> seen;
        std::vector<Frame> stack{Frame(root)};
        while (!stack.empty()) {
            Frame& top = stack.back();
            if (top.next < top.kids.size()) {
                ffi::Object kid = top.kids[top.next++];
                if (!seen.count(kid.get()) && composite(ir::kind_of(kid))) stack.emplace_back(kid);
                continue;
            }
            ffi::Object done = top.node;
            stack.pop_back();
            if (seen.insert(done.get()).second) out.push_back(done);
        }
        return out;
    }

    std::unordered_map<void*, std::pair<ffi::Object, py::object>> types_;
};

}  // namespace

void define_frontend_folds(py::module_& m) {
    py::class_<FrontendFolder>(m, "_FrontendFolder",
                               "fold_constant for TVM's frontends: FoldConstantExpr's result, computed "
                               "incrementally over one import and, where exact, with numpy.")
        .def(py::init<>())
        .def("__call__", &FrontendFolder::fold, py::arg("node"), py::arg("mod") = py::none())
        .def_readonly("exact", &FrontendFolder::exact)
        .def_readonly("delegated", &FrontendFolder::delegated)
        .def_readonly("whole", &FrontendFolder::whole);
    py::class_<FrontendTypes>(m, "_FrontendTypes",
                              "The checked types TVM's frontends ask for, each inferred once per import: "
                              "type_of(expr) is the type InferType gives expr, or None where TVM must answer.")
        .def(py::init<>())
        .def("type_of", [](FrontendTypes& self, const py::object& expr) -> py::object {
            std::optional<py::object> type = self.type_of(expr);
            return type ? *type : py::none();
        });
}

}  // namespace vexa::rewrites
