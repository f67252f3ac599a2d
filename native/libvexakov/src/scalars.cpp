// YAML 1.1 implicit typing exactly as PyYAML's resolver and SafeConstructor
// apply it (their regexes are transcribed by hand below).
#include "scalars.h"

#include <cstdint>
#include <vector>

namespace vexakov {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Consumes [0-9][0-9_]* at s[*i]; false if there is no leading digit.
bool digits_then_underscores(std::string_view s, size_t* i) {
  if (*i >= s.size() || !is_digit(s[*i])) return false;
  ++*i;
  while (*i < s.size() && (is_digit(s[*i]) || s[*i] == '_')) ++*i;
  return true;
}

// Consumes (:[0-5]?[0-9])+ ; false unless at least one group is present.
bool sexagesimal_groups(std::string_view s, size_t* i) {
  size_t n = 0;
  while (*i < s.size() && s[*i] == ':') {
    size_t j = *i + 1;
    if (j + 1 < s.size() && s[j] >= '0' && s[j] <= '5' && is_digit(s[j + 1])) {
      j += 2;
    } else if (j < s.size() && is_digit(s[j])) {
      j += 1;
    } else {
      return false;
    }
    *i = j;
    ++n;
  }
  return n > 0;
}

// Greedy matching is exact here: each group ends where the next ':' must
// start, so "1:60" cannot be split any other way.
bool sexagesimal_tail(std::string_view s, size_t i) {
  return sexagesimal_groups(s, &i) && i == s.size();
}

bool is_null(std::string_view s) {
  return s.empty() || s == "~" || s == "null" || s == "Null" || s == "NULL";
}

bool is_bool(std::string_view s) {
  static constexpr std::string_view kForms[] = {
      "yes", "Yes", "YES", "no",    "No",    "NO",    "true", "True", "TRUE",
      "false", "False", "FALSE", "on", "On", "ON", "off", "Off", "OFF"};
  for (std::string_view f : kForms) {
    if (s == f) return true;
  }
  return false;
}

bool all_of_set(std::string_view s, size_t from, bool (*ok)(char)) {
  if (from >= s.size()) return false;  // "+" in the regexes
  for (size_t i = from; i < s.size(); ++i) {
    if (!ok(s[i])) return false;
  }
  return true;
}

bool is_int(std::string_view s) {
  size_t i = 0;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
  std::string_view r = s.substr(i);
  if (r.empty()) return false;
  if (r.size() >= 2 && r[0] == '0' && r[1] == 'b') {
    return all_of_set(r, 2, [](char c) { return c == '0' || c == '1' || c == '_'; });
  }
  if (r.size() >= 2 && r[0] == '0' && r[1] == 'x') {
    return all_of_set(r, 2, [](char c) { return is_hex(c) || c == '_'; });
  }
  if (r[0] == '0') {
    return r.size() == 1 ||
           all_of_set(r, 1, [](char c) { return (c >= '0' && c <= '7') || c == '_'; });
  }
  if (r[0] < '1' || r[0] > '9') return false;
  size_t j = 0;
  digits_then_underscores(r, &j);
  return j == r.size() || sexagesimal_tail(r, j);
}

bool exponent_tail(std::string_view s, size_t i) {
  if (i == s.size()) return true;
  if (s[i] != 'e' && s[i] != 'E') return false;
  ++i;
  if (i >= s.size() || (s[i] != '-' && s[i] != '+')) return false;
  ++i;
  if (i >= s.size()) return false;
  for (; i < s.size(); ++i) {
    if (!is_digit(s[i])) return false;
  }
  return true;
}

bool is_float(std::string_view s) {
  if (s == ".nan" || s == ".NaN" || s == ".NAN") return true;
  // \.[0-9][0-9_]*(?:[eE][-+][0-9]+)?  -- note: no sign allowed here
  if (!s.empty() && s[0] == '.' && s.size() > 1 && is_digit(s[1])) {
    size_t i = 1;
    digits_then_underscores(s, &i);
    if (exponent_tail(s, i)) return true;
  }
  size_t i = 0;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
  std::string_view r = s.substr(i);
  if (r == ".inf" || r == ".Inf" || r == ".INF") return true;
  size_t j = 0;
  if (!digits_then_underscores(r, &j)) return false;
  if (j < r.size() && r[j] == ':') {
    // [0-9][0-9_]*(?::[0-5]?[0-9])+\.[0-9_]*
    if (!sexagesimal_groups(r, &j)) return false;
    if (j >= r.size() || r[j] != '.') return false;
    for (++j; j < r.size(); ++j) {
      if (!is_digit(r[j]) && r[j] != '_') return false;
    }
    return true;
  }
  // [0-9][0-9_]*\.[0-9_]*(?:[eE][-+][0-9]+)?
  if (j >= r.size() || r[j] != '.') return false;
  for (++j; j < r.size() && (is_digit(r[j]) || r[j] == '_'); ++j) {
  }
  return exponent_tail(r, j);
}

// Unsigned integer of any size, little-endian base-1e9 limbs.
class BigUint {
 public:
  void mul_add(uint32_t mul, uint32_t add) {
    uint64_t carry = add;
    for (uint32_t& limb : limbs_) {
      uint64_t v = uint64_t(limb) * mul + carry;
      limb = uint32_t(v % kBase);
      carry = v / kBase;
    }
    while (carry != 0) {
      limbs_.push_back(uint32_t(carry % kBase));
      carry /= kBase;
    }
  }
  bool is_zero() const {
    for (uint32_t l : limbs_) {
      if (l != 0) return false;
    }
    return true;
  }
  void append_decimal(std::string* out) const {
    size_t top = limbs_.size();
    while (top > 0 && limbs_[top - 1] == 0) --top;
    if (top == 0) {
      out->push_back('0');
      return;
    }
    out->append(std::to_string(limbs_[top - 1]));
    for (size_t k = top - 1; k-- > 0;) {
      std::string part = std::to_string(limbs_[k]);
      out->append(9 - part.size(), '0');
      out->append(part);
    }
  }

 private:
  static constexpr uint64_t kBase = 1000000000;
  std::vector<uint32_t> limbs_;
};

int digit_value(char c) {
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 'A' + 10;
}

// Feeds digits of `radix` in chunks so each mul_add multiplier stays < 2^32.
void accumulate(BigUint* v, std::string_view digits, uint32_t radix,
                int per_chunk) {
  size_t i = 0;
  while (i < digits.size()) {
    uint32_t mul = 1, add = 0;
    for (int k = 0; k < per_chunk && i < digits.size(); ++k, ++i) {
      mul *= radix;
      add = add * radix + uint32_t(digit_value(digits[i]));
    }
    v->mul_add(mul, add);
  }
}

}  // namespace

PlainKind classify_plain(std::string_view s) {
  if (is_null(s)) return PlainKind::Null;
  if (is_bool(s)) return PlainKind::Bool;
  if (is_int(s)) return PlainKind::Int;
  if (is_float(s)) return PlainKind::Float;
  return PlainKind::Str;
}

bool plain_bool_value(std::string_view s) {
  return s[0] == 'y' || s[0] == 'Y' || s[0] == 't' || s[0] == 'T' ||
         s == "on" || s == "On" || s == "ON";
}

bool int_to_decimal(std::string_view s, std::string* out) {
  std::string v;
  v.reserve(s.size());
  for (char c : s) {
    if (c != '_') v.push_back(c);
  }
  bool negative = false;
  size_t i = 0;
  if (i < v.size() && (v[i] == '-' || v[i] == '+')) negative = v[i++] == '-';
  std::string_view r = std::string_view(v).substr(i);
  if (r.empty()) return false;

  out->clear();
  if (r.find(':') == std::string_view::npos && r[0] != '0') {
    // Plain decimal: the resolver already ruled out leading zeros.
    if (negative) out->push_back('-');
    out->append(r);
    return true;
  }
  BigUint n;
  if (r == "0") {
    // zero, whatever the sign
  } else if (r.size() >= 2 && r[1] == 'b') {
    if (r.size() == 2) return false;
    accumulate(&n, r.substr(2), 2, 31);
  } else if (r.size() >= 2 && r[1] == 'x') {
    if (r.size() == 2) return false;
    accumulate(&n, r.substr(2), 16, 7);
  } else if (r[0] == '0') {
    accumulate(&n, r.substr(1), 8, 10);
  } else {
    size_t start = 0;
    while (start <= r.size()) {
      size_t end = r.find(':', start);
      if (end == std::string_view::npos) end = r.size();
      if (start == 0) {
        accumulate(&n, r.substr(0, end), 10, 9);
      } else {
        // The resolver allows only one or two digits per group.
        uint32_t group = 0;
        for (size_t k = start; k < end; ++k) group = group * 10 + uint32_t(r[k] - '0');
        n.mul_add(60, group);
      }
      start = end + 1;
    }
  }
  if (negative && !n.is_zero()) out->push_back('-');
  n.append_decimal(out);
  return true;
}

}  // namespace vexakov
