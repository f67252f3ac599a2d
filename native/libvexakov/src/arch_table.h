// Built-in architectures compiled into the library.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// The parameters of a built-in, in the order "parameters" reports them:
// integers in decimal, flags "1" or "".
std::vector<std::pair<std::string, std::string>> builtin_params(const BuiltinArch& a);

// Whether `name` is a built-in parameter that holds a true/false flag; a
// description's value for it is read as a flag too.
bool is_flag_param(std::string_view name);

}  // namespace vexakov
