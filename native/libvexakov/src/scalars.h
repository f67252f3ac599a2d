// How Python's yaml.safe_load would type a plain (unquoted) scalar, so that
// values read the same on both sides of the ABI.
#pragma once

#include <string>
#include <string_view>

namespace vexakov {

enum class PlainKind { Null, Bool, Int, Float, Str };

PlainKind classify_plain(std::string_view s);

// Value of a scalar that classify_plain() called Bool.
bool plain_bool_value(std::string_view s);

// Decimal text of a scalar that classify_plain() called Int, of any size.
// False for the few forms PyYAML's resolver accepts but its constructor
// rejects (e.g. "0x_").
bool int_to_decimal(std::string_view s, std::string* out);

}  // namespace vexakov
