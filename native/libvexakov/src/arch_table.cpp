// The built-in architecture database. Adding an architecture is one row in
// kArchs; adding a parameter is one field of BuiltinArch plus one row in
// kParams.
#include "arch_table.h"

#include <cstring>

namespace vexakov {
namespace {

#define VEXAKOV_NANO_OPS                                                   \
  "Conv2d,DepthwiseConv2d,GroupedConv2d,Dense,MaxPool2d,AvgPool2d,Add," \
  "Multiply,Concatenate,Resize,Sigmoid,HardSwish"
#define VEXAKOV_BASE_OPS VEXAKOV_NANO_OPS ",TransposedConv2d"
#define VEXAKOV_PRO_OPS \
  VEXAKOV_BASE_OPS ",LayerNorm,Gelu,Softmax,MatMul,Attention"

const BuiltinArch kArchs[] = {
    // name        channels  max_kernel_side  has_kov2  sram_kib  operators
    {"vexa-nano",  32,       7,               false,    512,      VEXAKOV_NANO_OPS},
    {"vexa-base",  64,       11,              false,    2048,     VEXAKOV_BASE_OPS},
    {"vexa-pro",   128,      16,              true,     8192,     VEXAKOV_PRO_OPS},
};

struct ParamColumn {
  const char* name;
  bool flag;
  std::string (*value)(const BuiltinArch&);
};

std::string flag_text(bool on) { return on ? "1" : ""; }

const ParamColumn kParams[] = {
    {"channels", false, [](const BuiltinArch& a) { return std::to_string(a.channels); }},
    {"max_kernel_side", false, [](const BuiltinArch& a) { return std::to_string(a.max_kernel_side); }},
    {"has_kov2", true, [](const BuiltinArch& a) { return flag_text(a.has_kov2); }},
    {"sram_kib", false, [](const BuiltinArch& a) { return std::to_string(a.sram_kib); }},
};

}  // namespace

const BuiltinArch* builtin_archs(std::size_t* count) {
  *count = sizeof kArchs / sizeof kArchs[0];
  return kArchs;
}

const BuiltinArch* find_builtin_arch(const char* name, std::size_t len) {
  for (const BuiltinArch& a : kArchs) {
    if (std::strlen(a.name) == len && std::memcmp(a.name, name, len) == 0) {
      return &a;
    }
  }
  return nullptr;
}

std::vector<std::pair<std::string, std::string>> builtin_params(const BuiltinArch& a) {
  std::vector<std::pair<std::string, std::string>> params;
  for (const ParamColumn& p : kParams) params.emplace_back(p.name, p.value(a));
  return params;
}

bool is_flag_param(std::string_view name) {
  for (const ParamColumn& p : kParams) {
    if (p.flag && name == p.name) return true;
  }
  return false;
}

}  // namespace vexakov
