#include "vexa/relay_nodes.h"

#include <unordered_map>
#include <utility>

namespace vexa::ir {

const Relay& relay() {
    static Relay* r = [] {
        py::module_ expr = py::module_::import("tvm.relay.expr");
        py::module_ function = py::module_::import("tvm.relay.function");
        py::module_ adt = py::module_::import("tvm.relay.adt");
        py::module_ ir = py::module_::import("tvm.ir");
        auto* out = new Relay;
        out->Function = function.attr("Function");
        out->Call = expr.attr("Call");
        out->Let = expr.attr("Let");
        out->Var = expr.attr("Var");
        out->GlobalVar = expr.attr("GlobalVar");
        out->If = expr.attr("If");
        out->Tuple = expr.attr("Tuple");
        out->TupleGetItem = expr.attr("TupleGetItem");
        out->Constant = expr.attr("Constant");
        out->Op = ir.attr("Op");
        out->RefCreate = expr.attr("RefCreate");
        out->RefRead = expr.attr("RefRead");
        out->RefWrite = expr.attr("RefWrite");
        out->Constructor = adt.attr("Constructor");
        out->Match = adt.attr("Match");
        out->var = expr.attr("var");
        out->free_vars = py::module_::import("tvm.relay.analysis").attr("free_vars");
        out->structural_equal = ir.attr("structural_equal");
        out->IRModule = ir.attr("IRModule");
        out->package = py::module_::import("tvm.relay");
        out->const_ = out->package.attr("const");
        return out;
    }();
    return *r;
}

namespace {

Kind classify(const py::handle& expr) {
    const Relay& r = relay();
    const std::pair<const py::object*, Kind> order[] = {
        {&r.Function, Kind::Function},     {&r.Call, Kind::Call},
        {&r.Let, Kind::Let},               {&r.Var, Kind::Var},
        {&r.GlobalVar, Kind::GlobalVar},   {&r.If, Kind::If},
        {&r.Tuple, Kind::Tuple},           {&r.TupleGetItem, Kind::TupleGetItem},
        {&r.Constant, Kind::Constant},     {&r.Op, Kind::Op},
        {&r.RefCreate, Kind::RefCreate},   {&r.RefRead, Kind::RefRead},
        {&r.RefWrite, Kind::RefWrite},     {&r.Constructor, Kind::Constructor},
        {&r.Match, Kind::Match},
    };
    for (const auto& [cls, kind] : order) {
        if (py::isinstance(expr, *cls)) return kind;
    }
    return Kind::Unhandled;
}

}  // namespace

Kind kind_of(const py::handle& expr) {
    // isinstance chains cost more than the rest of a visit; the answer
    // depends only on the exact type, and TVM's node classes live forever.
    static auto* cache = new std::unordered_map<PyTypeObject*, Kind>();
    PyTypeObject* type = Py_TYPE(expr.ptr());
    auto found = cache->find(type);
    if (found != cache->end()) return found->second;
    Kind kind = classify(expr);
    cache->emplace(type, kind);
    Py_INCREF(type);
    return kind;
}

Kind kind_of(const ffi::Object& expr) {
    // Keyed on TVM's type index; the kind itself comes from the Python class
    // TVM wraps such nodes in, tested as ExprFunctor tests it.
    if (!expr) return Kind::Unhandled;
    static auto* cache = new std::unordered_map<unsigned, Kind>();
    unsigned index = expr.type_index();
    auto found = cache->find(index);
    if (found != cache->end()) return found->second;
    Kind kind = classify(expr.to_python());
    cache->emplace(index, kind);
    return kind;
}

NodeKey key_of(const py::handle& node) {
    py::object handle = node.attr("handle");
    py::object value = handle.attr("value");
    if (value.is_none()) throw py::value_error("Relay node without a handle");
    return value.cast<NodeKey>();
}

py::list items(const py::handle& array) {
    py::object all = array[py::slice(py::none(), py::none(), py::none())];
    return py::list(std::move(all));
}

}  // namespace vexa::ir
