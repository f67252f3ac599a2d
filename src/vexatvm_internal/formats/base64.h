// Base64 as tvm.ir.save_json writes it (RFC 4648, "=" padding). TVM's own
// decoder indexes a table with every character it reads, so a string is
// checked whole before TVM sees it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vexa::formats {

// The decoded size of text, or nullopt where text is not padded base64.
std::optional<std::size_t> base64_size(std::string_view text);

// The first `limit` decoded bytes of text (valid base64, per base64_size).
std::string base64_prefix(std::string_view text, std::size_t limit);

}  // namespace vexa::formats
