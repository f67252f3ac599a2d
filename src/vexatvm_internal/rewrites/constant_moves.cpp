// Folding of data movement on constants.
//
// ConvertLayout leaves weights and biases behind chains of expand_dims,
// reshape, squeeze, transpose and layout_transform. TVM's FoldConstant
// compiles one LLVM kernel per folded call; these calls only move elements,
// so numpy computes the same constants bit for bit without compiling
// anything. Anything this fold does not know (dynamic reshapes, split
// layouts, unusual dtypes) stays for TVM.

#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
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

enum class Move { ExpandDims, Squeeze, Reshape, Transpose, LayoutTransform };

struct MoveOps {
    ffi::Object expand_dims, squeeze, reshape, transpose, layout_transform;
};

const MoveOps& move_ops() {
    static const MoveOps* ops = [] {
        ffi::PackedFunc get_op("ir.GetOp");
        return new MoveOps{get_op({"expand_dims"}), get_op({"squeeze"}), get_op({"reshape"}),
                           get_op({"transpose"}), get_op({"layout_transform"})};
    }();
    return *ops;
}

std::optional<Move> move_of(const ffi::Object& op) {
    const MoveOps& ops = move_ops();
    if (op.same_as(ops.expand_dims)) return Move::ExpandDims;
    if (op.same_as(ops.squeeze)) return Move::Squeeze;
    if (op.same_as(ops.reshape)) return Move::Reshape;
    if (op.same_as(ops.transpose)) return Move::Transpose;
    if (op.same_as(ops.layout_transform)) return Move::LayoutTransform;
    return std::nullopt;
}

using Dims = std::vector<long>;

Dims ints(const py::handle& seq) {
    Dims out;
    for (py::handle item : seq) out.push_back(py::int_(py::reinterpret_borrow<py::object>(item)).cast<long>());
    return out;
}

py::tuple as_tuple(const Dims& dims) {
    py::tuple out(dims.size());
    for (size_t i = 0; i < dims.size(); ++i) out[i] = py::int_(dims[i]);
    return out;
}

// An axis in [-rank, rank) as a non-negative index; nullopt when out of range.
std::optional<long> normal_axis(long axis, long rank) {
    if (axis < 0) axis += rank;
    if (axis < 0 || axis >= rank) return std::nullopt;
    return axis;
}

std::optional<Dims> expand_dims_shape(const Dims& shape, const py::handle& attrs) {
    long rank = static_cast<long>(shape.size());
    long axis = py::int_(attrs.attr("axis")).cast<long>();
    long count = py::int_(attrs.attr("num_newaxis")).cast<long>();
    std::optional<long> at = normal_axis(axis, rank + 1);
    if (!at || count < 0) return std::nullopt;
    Dims out(shape.begin(), shape.begin() + *at);
    out.insert(out.end(), static_cast<size_t>(count), 1);
    out.insert(out.end(), shape.begin() + *at, shape.end());
    return out;
}

std::optional<Dims> squeeze_shape(const Dims& shape, const py::handle& attrs) {
    long rank = static_cast<long>(shape.size());
    std::vector<bool> drop(shape.size(), false);
    py::object axes = attrs.attr("axis");
    if (axes.is_none()) {
        for (size_t i = 0; i < shape.size(); ++i) drop[i] = shape[i] == 1;
    } else {
        for (long axis : ints(axes)) {
            std::optional<long> at = normal_axis(axis, rank);
            if (!at || shape[*at] != 1) return std::nullopt;
            drop[*at] = true;
        }
    }
    Dims out;
    for (size_t i = 0; i < shape.size(); ++i) {
        if (!drop[i]) out.push_back(shape[i]);
    }
    return out;
}

// Relay's reshape for new shapes of positive extents, 0 (copy the input's
// extent at that position) and one -1; the special values -2, -3 and -4 stay
// for TVM.
std::optional<Dims> reshape_shape(const Dims& shape, const py::handle& attrs) {
    if (py::bool_(attrs.attr("allowzero"))) return std::nullopt;
    Dims wanted = ints(attrs.attr("newshape"));
    Dims out;
    long known = 1, total = 1;
    std::optional<size_t> inferred;
    for (long extent : shape) total *= extent;
    for (size_t i = 0; i < wanted.size(); ++i) {
        long extent = wanted[i];
        if (extent == 0) {
            if (i >= shape.size()) return std::nullopt;
            extent = shape[i];
        } else if (extent == -1) {
            if (inferred) return std::nullopt;
            inferred = i;
            out.push_back(1);
            continue;
        } else if (extent < 0) {
            return std::nullopt;
        }
        known *= extent;
        out.push_back(extent);
    }
    if (inferred) {
        if (known == 0 || total % known != 0) return std::nullopt;
        out[*inferred] = total / known;
    } else if (known != total) {
        return std::nullopt;
    }
    return out;
}

std::optional<Dims> transpose_axes(long rank, const py::handle& attrs) {
    py::object axes = attrs.attr("axes");
    Dims out;
    if (axes.is_none() || py::len(axes) == 0) {
        for (long i = rank - 1; i >= 0; --i) out.push_back(i);
        return out;
    }
    std::vector<bool> used(static_cast<size_t>(rank), false);
    for (long axis : ints(axes)) {
        std::optional<long> at = normal_axis(axis, rank);
        if (!at || used[*at]) return std::nullopt;
        used[*at] = true;
        out.push_back(*at);
    }
    if (static_cast<long>(out.size()) != rank) return std::nullopt;
    return out;
}

// The permutation a layout_transform between two layouts of the same
// primal axes makes ("OIHW" -> "HWIO"); nullopt for split axes ("NCHW4c").
std::optional<Dims> layout_axes(long rank, const py::handle& attrs) {
    std::string src = py::str(attrs.attr("src_layout")).cast<std::string>();
    std::string dst = py::str(attrs.attr("dst_layout")).cast<std::string>();
    if (static_cast<long>(src.size()) != rank || dst.size() != src.size()) return std::nullopt;
    Dims out;
    for (char axis : dst) {
        if (axis < 'A' || axis > 'Z') return std::nullopt;
        size_t at = src.find(axis);
        if (at == std::string::npos || src.find(axis, at + 1) != std::string::npos) return std::nullopt;
        out.push_back(static_cast<long>(at));
    }
    for (char axis : src) {
        if (dst.find(axis) == std::string::npos) return std::nullopt;
    }
    return out;
}

// The moved value of `value` (a numpy array), or nullopt when the fold leaves it to TVM.
std::optional<py::object> moved(Move move, const py::object& value, const py::handle& attrs) {
    Dims shape = ints(value.attr("shape"));
    long rank = static_cast<long>(shape.size());
    std::optional<Dims> dims;
    switch (move) {
        case Move::ExpandDims:
            dims = expand_dims_shape(shape, attrs);
            break;
        case Move::Squeeze:
            dims = squeeze_shape(shape, attrs);
            break;
        case Move::Reshape:
            dims = reshape_shape(shape, attrs);
            break;
        case Move::Transpose:
            if (std::optional<Dims> axes = transpose_axes(rank, attrs)) {
                return value.attr("transpose")(as_tuple(*axes));
            }
            return std::nullopt;
        case Move::LayoutTransform:
            if (std::optional<Dims> axes = layout_axes(rank, attrs)) {
                return value.attr("transpose")(as_tuple(*axes));
            }
            return std::nullopt;
    }
    if (!dims) return std::nullopt;
    return value.attr("reshape")(as_tuple(*dims));
}

}  // namespace

std::optional<py::object> moved_value(const ffi::Object& op, const py::object& value, const py::handle& attrs) {
    std::optional<Move> move = move_of(op);
    if (!move) return std::nullopt;
    return moved(*move, value, attrs);
}

namespace {

// The leading fields of DLPack's DLTensor, which a TVM NDArray handle points to.
struct DLTensorHead {
    void* data;
    std::int32_t device_type, device_id;
    std::int32_t ndim;
    std::uint8_t code, bits;
    std::uint16_t lanes;
    std::int64_t* shape;
    std::int64_t* strides;
    std::uint64_t byte_offset;
};

template <typename T>
void copy_tiled(const char* src, T* dst, const std::vector<py::ssize_t>& shape, const std::vector<py::ssize_t>& strides) {
    // The last two axes in tiles, so that reads and writes both stay in cache.
    constexpr py::ssize_t kTile = 32;
    const size_t rank = shape.size();
    const py::ssize_t rows = shape[rank - 2], cols = shape[rank - 1];
    const py::ssize_t row_stride = strides[rank - 2], col_stride = strides[rank - 1];
    std::vector<py::ssize_t> index(rank - 2, 0);
    py::ssize_t outer = 1;
    for (size_t axis = 0; axis + 2 < rank; ++axis) outer *= shape[axis];
    for (py::ssize_t block = 0; block < outer; ++block) {
        const char* base = src;
        for (size_t axis = 0; axis + 2 < rank; ++axis) base += index[axis] * strides[axis];
        for (py::ssize_t r0 = 0; r0 < rows; r0 += kTile) {
            for (py::ssize_t c0 = 0; c0 < cols; c0 += kTile) {
                for (py::ssize_t r = r0; r < std::min(rows, r0 + kTile); ++r) {
                    for (py::ssize_t c = c0; c < std::min(cols, c0 + kTile); ++c) {
                        std::memcpy(dst + r * cols + c, base + r * row_stride + c * col_stride, sizeof(T));
                    }
                }
            }
        }
        dst += rows * cols;
        for (size_t axis = rank - 2; axis-- > 0;) {
            if (++index[axis] < shape[axis]) break;
            index[axis] = 0;
        }
    }
}

// The DLTensor a TVM NDArray's handle points to.
DLTensorHead* dl_tensor(const py::object& ndarray) {
    static const py::object* address = new py::object(py::module_::import("ctypes").attr("addressof"));
    return reinterpret_cast<DLTensorHead*>((*address)(ndarray.attr("handle").attr("contents")).cast<std::uintptr_t>());
}

// Whether `value` is a numpy view that is not C-contiguous (a transposed
// weight), not empty, of a plain dtype: what copy_tiled_into copies.
bool tileable(const py::object& value) {
    if (!py::isinstance<py::array>(value)) return false;
    py::array array = py::reinterpret_borrow<py::array>(value);
    std::string kind = py::str(value.attr("dtype").attr("kind")).cast<std::string>();
    const py::ssize_t item = array.itemsize();
    return array.ndim() >= 2 && array.size() > 0 && !value.attr("flags").attr("__getitem__")("C_CONTIGUOUS").cast<bool>() &&
           (kind == "b" || kind == "i" || kind == "u" || kind == "f") && (item == 1 || item == 2 || item == 4 || item == 8);
}

// Copies a tileable `value` into `target`, a compact TVM array of its shape
// and dtype, in tiles: numpy's own copy reads or writes a whole transposed
// axis at a time. False, copying nothing, where either is not so.
bool copy_tiled_into(const py::object& value, const py::object& target) {
    if (!tileable(value)) return false;
    py::array array = py::reinterpret_borrow<py::array>(value);
    const py::ssize_t item = array.itemsize();
    DLTensorHead* head = dl_tensor(target);
    if (head->strides != nullptr) return false;
    char* dst = static_cast<char*>(head->data) + head->byte_offset;
    std::vector<py::ssize_t> shape(array.shape(), array.shape() + array.ndim());
    std::vector<py::ssize_t> strides(array.strides(), array.strides() + array.ndim());
    const char* src = static_cast<const char*>(array.data());
    switch (item) {
        case 1: copy_tiled(src, reinterpret_cast<std::uint8_t*>(dst), shape, strides); break;
        case 2: copy_tiled(src, reinterpret_cast<std::uint16_t*>(dst), shape, strides); break;
        case 4: copy_tiled(src, reinterpret_cast<std::uint32_t*>(dst), shape, strides); break;
        default: copy_tiled(src, reinterpret_cast<std::uint64_t*>(dst), shape, strides); break;
    }
    return true;
}

const py::object& make_const() {
    static const py::object* make = new py::object(py::module_::import("tvm.relay").attr("const"));
    return *make;
}

}  // namespace

ffi::Object constant_of(const py::object& value) {
    static const py::object* empty = new py::object(py::module_::import("tvm.runtime.ndarray").attr("empty"));
    if (tileable(value)) {
        py::object out = (*empty)(value.attr("shape"), py::str(value.attr("dtype")));
        if (copy_tiled_into(value, out)) return ffi::Object::from_python(make_const()(out));
    }
    // relay.const alone would store int64 and float64 arrays as int32 and float32.
    return ffi::Object::from_python(make_const()(value, py::str(value.attr("dtype"))));
}

bool plain_dtype(const py::object& value, const py::object& constant) {
    std::string kind = py::str(value.attr("dtype").attr("kind")).cast<std::string>();
    if (kind != "b" && kind != "i" && kind != "u" && kind != "f") return false;
    std::string numpy_dtype = py::str(value.attr("dtype")).cast<std::string>();
    std::string tvm_dtype = py::str(constant.attr("data").attr("dtype")).cast<std::string>();
    return numpy_dtype == tvm_dtype;
}

namespace {

// How often each constant, and each array of a constant, is read in a
// function: by call arguments and tuple fields, or anywhere else (which
// makes it read by more than one).
class ConstantReads : public ir::IterativeMutator {
public:
    bool read_once(const ffi::Object& constant) {
        auto found = reads_.find(constant.get());
        if (found == reads_.end() || found->second != 1) return false;
        return arrays_[memory_of(constant.to_python().attr("data"))].size() == 1;
    }

    // Where an NDArray's elements lie: arrays that share it share memory.
    static std::uintptr_t memory_of(const py::object& array) {
        return reinterpret_cast<std::uintptr_t>(dl_tensor(array)->data);
    }

private:
    void read(const ffi::Object& child, int times = 1) {
        if (!fast::is_constant(child)) return;
        reads_[child.get()] += times;
        keep_.push_back(child);
        arrays_[memory_of(child.to_python().attr("data"))].insert(child.get());
    }
    ffi::Object leave_call(const ffi::Object& /*met*/, const ffi::Object& rebuilt) override {
        for (const ffi::Object& arg : ffi::items(ffi::get(rebuilt, "args"))) read(arg);
        return rebuilt;
    }
    ffi::Object leave_other(ir::Kind kind, const ffi::Object& met, const ffi::Object& rebuilt) override {
        if (kind == ir::Kind::Tuple) {
            for (const ffi::Object& field : ffi::items(ffi::get(rebuilt, "fields"))) read(field);
        } else {
            py::object node = met.to_python();
            for (const char* field : {"body", "value", "cond", "true_branch", "false_branch", "tuple_value"}) {
                if (py::hasattr(node, field)) read(ffi::Object::from_python(node.attr(field)), 2);
            }
        }
        return rebuilt;
    }

    std::unordered_map<void*, int> reads_;
    std::unordered_map<std::uintptr_t, std::unordered_set<void*>> arrays_;
    std::vector<ffi::Object> keep_;  // keeps the addresses counted from being reused
};

class ConstantMoves : public ir::IterativeMutator {
public:
    // With `reuse`, a constant read once, by the move, whose array no other
    // constant holds, takes its moved value in its own memory: the caller
    // gives up the function, whose constant is then left with moved data.
    ConstantMoves(py::object function, bool reuse) : function_(std::move(function)), reuse_(reuse) {}

private:
    ffi::Object leave_call(const ffi::Object& /*met*/, const ffi::Object& rebuilt) override {
        ffi::Object op = ffi::get(rebuilt, "op");
        std::optional<Move> move = move_of(op);
        if (!move) return rebuilt;
        std::vector<ffi::Object> args = ffi::items(ffi::get(rebuilt, "args"));
        if (args.size() != 1 || !fast::is_constant(args[0])) return rebuilt;
        py::object constant = args[0].to_python();
        py::object value = constant.attr("data").attr("numpy")();
        if (!plain_dtype(value, constant)) return rebuilt;
        py::object attrs = rebuilt.to_python().attr("attrs");
        std::optional<py::object> result = moved(*move, value, attrs);
        if (!result) return rebuilt;
        if (reuse_ && reads().read_once(args[0])) {
            if (std::optional<ffi::Object> reused = constant_in(*result, constant.attr("data"))) return *reused;
        }
        return constant_of(*result);
    }

    ConstantReads& reads() {
        if (!reads_) {
            reads_ = std::make_unique<ConstantReads>();
            reads_->visit(function_);
        }
        return *reads_;
    }

    // The constant of `value` held in `array`'s memory, viewed in value's
    // shape; `value` is a copy, so it may overlap nothing of array.
    static std::optional<ffi::Object> constant_in(const py::object& value, const py::object& array) {
        if (py::str(value.attr("dtype")).cast<std::string>() != py::str(array.attr("dtype")).cast<std::string>())
            return std::nullopt;
        py::object view = array.attr("_create_view")(value.attr("shape"));
        if (!copy_tiled_into(value, view)) view.attr("copyfrom")(value);
        return ffi::Object::from_python(make_const()(view));
    }

    py::object function_;
    bool reuse_;
    std::unique_ptr<ConstantReads> reads_;
};

}  // namespace

void define_constant_moves(py::module_& m) {
    m.def(
        "_fold_constant_moves",
        [](const py::object& expr, bool reuse) {
            ConstantMoves fold(expr, reuse);
            return fold.visit(expr);
        },
        py::arg("expr"), py::arg("reuse") = false,
        "expr with every expand_dims, squeeze, reshape, transpose and layout_transform "
        "of a constant replaced by the constant it computes, bit for bit what TVM's "
        "FoldConstant computes. Types are left to a later InferType. With reuse, the "
        "caller gives expr up: a constant read only by its move takes the moved value "
        "in its own memory, which leaves expr's constant with moved data.");
}

}  // namespace vexa::rewrites
