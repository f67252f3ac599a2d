// Placeholder: network fusion is being built.
#include "vexa/module.h"

namespace {
void init_module(pybind11::module_&) {}
}  // namespace

VEXA_MODULE(netunion, "Fusion of several Relay networks into one module.", init_module)
