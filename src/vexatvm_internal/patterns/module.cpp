// The pattern tables of the accelerator, registered with TVM on import:
// "vexa", "vexa_with_clip" and "vexa_with_fc" for int8 programs.

#include "patterns.h"
#include "vexa/module.h"

namespace vexa::patterns {
namespace {

void init_module(py::module_& m) {
    define_common(m);
    define_int8_ops(m);
    define_int8_conv(m);
    define_int8_tables(m);
    register_int8_tables(m);
}

}  // namespace
}  // namespace vexa::patterns

VEXA_MODULE(patterns, "Dataflow-pattern tables of the Vexa accelerator.", vexa::patterns::init_module)
