// The pattern tables of the accelerator, registered with TVM on import:
// "vexa", "vexa_with_clip" and "vexa_with_fc" for int8 programs, then
// "vexa_fp32" and "vexa_fp32_quantizer" for float32 programs.

#include "patterns.h"
#include "vexa/module.h"
#include "vexa/tvm_ffi.h"

namespace vexa::patterns {
namespace {

void init_module(py::module_& m) {
    vexa::ffi::require_supported_tvm();
    define_common(m);
    define_int8_ops(m);
    define_int8_conv(m);
    define_int8_tables(m);
    define_fp32_checks(m);
    define_fp32_patterns(m);
    register_int8_tables(m);
    define_and_register_fp32_tables(m);
    define_near_misses(m);
}

}  // namespace
}  // namespace vexa::patterns

VEXA_MODULE(patterns, "Dataflow-pattern tables of the Vexa accelerator.", vexa::patterns::init_module)
