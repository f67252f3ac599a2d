// Turns architecture YAML text into the resolved architecture it describes.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace vexakov {

struct Outcome {
  int status = 0;  // VEXAKOV_OK or the error every query on this text gets
  std::vector<std::pair<std::string, std::string>> params;  // definition order
  std::unordered_map<std::string, size_t> param_index;       // into params
  std::vector<std::string> operators;                        // list order
  std::unordered_set<std::string> operator_set;
  std::string param_list;     // answer to "parameters"
  std::string operator_list;  // answer to "operators"
};

// Parses and resolves `text` (at most VEXAKOV_MAX_ARCH_BYTES long). Problems
// with the text come back as Outcome::status; only resource failures such as
// std::bad_alloc escape as exceptions.
std::shared_ptr<const Outcome> evaluate(std::string_view text);

// Answer to "builtin_architectures".
const std::string& builtin_arch_list();

}  // namespace vexakov
