// Numbering of calls for `vexatvm partition --explain`.
//
// MergeComposite rebuilds every node above a region it captures, so node
// identity does not survive partitioning; spans do. Each call gets a span of
// its own, its number as the line. TVM's AnnotateSpans would do the same by
// printing the module and parsing it back, but the text rounds float scalars
// to six digits, and constants that no longer equal a pattern's constants
// change what the tables capture.

#include "rewrites.h"
#include "vexa/iterative_mutator.h"
#include "vexa/tvm_ffi.h"

namespace vexa::rewrites {

namespace {

class CallNumbering : public ir::IterativeMutator {
public:
    explicit CallNumbering(const char* source) : source_(ffi::PackedFunc("ir.SourceName")({source})) {}

private:
    ffi::Object enter_call(ir::CallView& call) override {
        const ffi::Api& f = ffi::api();
        std::int64_t line = ++count_;
        ffi::Object span = make_span_({source_, line, line, std::int64_t{0}, std::int64_t{0}});
        ffi::Object numbered = f.call({call.op(), ffi::make_array(call.args()), ffi::get(call.call(), "attrs"),
                                       ffi::get(call.call(), "type_args"), span});
        call.replace(numbered, call.op(), call.args());
        return ffi::Object();  // visit its operator and arguments as usual
    }

    ffi::PackedFunc make_span_{"ir.Span"};
    ffi::Object source_;
    std::int64_t count_ = 0;
};

}  // namespace

void define_spans(py::module_& m) {
    m.def(
        "_number_calls",
        [](const py::object& expr, const std::string& source) {
            CallNumbering numbering(source.c_str());
            return numbering.visit(expr);
        },
        py::arg("expr"), py::arg("source") = "vexatvm",
        "expr with every call given a span of its own (lines 1, 2, ... in visiting order), "
        "everything else unchanged. Types are left to a later InferType.");
}

}  // namespace vexa::rewrites
