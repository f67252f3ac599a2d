// Accelerator targets of annotated regions.
//
// TVM's AnnotateTarget gives a composite the target its name starts with:
// "vexa" for the int8 tables, "vexa_fp32" and "vexa_blocks" for the float
// ones. The accelerator's code generators are "vexa_qtz" and one float
// target, so the annotations are renamed before MergeCompilerRegions, which
// then joins neighbouring float and block composites into one region.

#include <map>
#include <string>
#include <utility>

#include "rewrites.h"
#include "vexa/iterative_mutator.h"
#include "vexa/tvm_ffi.h"

namespace vexa::rewrites {

namespace {

class Retarget : public ir::IterativeMutator {
public:
    explicit Retarget(std::map<std::string, std::string> targets) : targets_(std::move(targets)) {}

private:
    ffi::Object leave_call(const ffi::Object& met, const ffi::Object& rebuilt) override {
        (void)met;
        ffi::Object op = ffi::get(rebuilt, "op");
        bool begin = op.same_as(begin_), end = op.same_as(end_);
        if (!begin && !end) return rebuilt;
        py::object call = rebuilt.to_python();
        auto found = targets_.find(py::str(call.attr("attrs").attr("compiler")).cast<std::string>());
        if (found == targets_.end()) return rebuilt;
        py::object annotate = annotation_.attr(begin ? "compiler_begin" : "compiler_end");
        return ffi::Object::from_python(annotate(call.attr("args")[py::int_(0)], found->second));
    }

    std::map<std::string, std::string> targets_;
    py::module_ annotation_ = py::module_::import("tvm.relay.op.annotation");
    ffi::Object begin_ = ffi::PackedFunc("ir.GetOp")({"annotation.compiler_begin"});
    ffi::Object end_ = ffi::PackedFunc("ir.GetOp")({"annotation.compiler_end"});
};

// Calls of composite functions, and of the accelerator regions given by
// name, replaced by the functions' bodies: what the host runs in their place.
class InlineAccelerator : public ir::IterativeMutator {
public:
    explicit InlineAccelerator(py::dict regions) : regions_(std::move(regions)) {}

private:
    ffi::Object leave_call(const ffi::Object& met, const ffi::Object& rebuilt) override {
        (void)met;
        ir::Kind kind = ir::kind_of(ffi::get(rebuilt, "op"));
        if (kind != ir::Kind::Function && kind != ir::Kind::GlobalVar) return rebuilt;
        py::object call = rebuilt.to_python();
        py::object func = call.attr("op");
        if (kind == ir::Kind::GlobalVar) {
            py::str name(func.attr("name_hint"));
            if (!regions_.contains(name)) return rebuilt;
            func = regions_[name];
        } else {
            py::object attrs = func.attr("attrs");
            if (attrs.is_none() || !attrs.contains("Composite")) return rebuilt;
        }
        py::dict binds;
        py::list params = ir::items(func.attr("params")), args = ir::items(call.attr("args"));
        for (size_t i = 0; i < py::len(params); ++i) binds[params[i]] = args[i];
        return ffi::Object::from_python(bind_(func.attr("body"), binds));
    }

    py::dict regions_;
    py::object bind_ = py::module_::import("tvm.relay").attr("bind");
};

}  // namespace

void define_regions(py::module_& m) {
    m.def(
        "_inline_accelerator_calls",
        [](const py::object& expr, const py::dict& regions) {
            InlineAccelerator inline_calls(regions);
            return inline_calls.visit(expr);
        },
        py::arg("expr"), py::arg("regions"),
        "expr with every call of a composite function, and of a global function named in `regions` "
        "(name -> the function to inline, its own composites inlined already), replaced by the "
        "function's body. Types are left to a later InferType.");
    m.def(
        "_retarget_regions",
        [](const py::object& expr, const py::dict& targets) {
            std::map<std::string, std::string> renamed;
            for (auto [from, to] : targets) renamed[py::str(from).cast<std::string>()] = py::str(to).cast<std::string>();
            Retarget retarget(std::move(renamed));
            return retarget.visit(expr);
        },
        py::arg("expr"), py::arg("targets"),
        "expr with every compiler_begin and compiler_end annotation whose target is a key of "
        "`targets` annotated for that key's value instead. Types are left to a later InferType.");
}

}  // namespace vexa::rewrites
