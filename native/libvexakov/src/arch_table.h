// Built-in architectures compiled into the library.
#pragma once

#include <cstddef>

namespace vexakov {

struct BuiltinArch {
  const char* name;
  long channels;
  long max_kernel_side;
  bool has_kov2;
  long sram_kib;
  const char* operators;  // comma-separated, in the order they are reported
};

// All rows, in the order "builtin_architectures" reports them.
const BuiltinArch* builtin_archs(std::size_t* count);

// nullptr when `name` is not a built-in architecture (exact match).
const BuiltinArch* find_builtin_arch(const char* name, std::size_t len);

}  // namespace vexakov
