// The partition flow's graph rewrites, apart from the tables: the ONNX
// importer's folds, the constant data-movement fold, canonicalization of
// real-export forms, accelerator-region retargeting and call numbering.

#include "rewrites.h"
#include "vexa/module.h"
#include "vexa/tvm_ffi.h"

namespace vexa::rewrites {
namespace {

void init_module(py::module_& m) {
    vexa::ffi::require_supported_tvm();
    define_frontend_folds(m);
    define_constant_moves(m);
    define_canonicalize(m);
    define_regions(m);
    define_spans(m);
}

}  // namespace
}  // namespace vexa::rewrites

VEXA_MODULE(rewrites, "Graph rewrites of the Vexa partition flow.", vexa::rewrites::init_module)
