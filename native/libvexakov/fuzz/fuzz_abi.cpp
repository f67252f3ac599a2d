// libFuzzer harness over both entry points.
//
// Input layout:
//   byte 0   control: bit 0 -> ArchSupportsOperator_Py instead of
//            ArchqueryParameter_Py; bit 1 -> wide buffer (size byte * 16);
//            bits 2..4 -> pass NULL for arch / name / out.
//   byte 1   out_size (0..64, or 0..4080 when wide)
//   rest     name (or operator id), a NUL, then the architecture text.
// Without a NUL the rest is the name and the text is empty.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vexakov.h"

namespace {

[[noreturn]] void Fail(const char* why) {
  std::fprintf(stderr, "invariant broken: %s\n", why);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t control = data[0];
  const size_t out_size = (control & 2) ? size_t(data[1]) * 16 : size_t(data[1]) % 65;
  const char* rest = reinterpret_cast<const char*>(data + 2);
  const size_t rest_len = size - 2;
  const void* nul = std::memchr(rest, '\0', rest_len);
  const size_t name_len = nul ? size_t(static_cast<const char*>(nul) - rest) : rest_len;
  const std::string name(rest, name_len);
  const std::string arch = nul ? std::string(rest + name_len + 1, rest_len - name_len - 1) : "";

  const char* arch_p = (control & 4) ? nullptr : arch.c_str();
  const char* name_p = (control & 8) ? nullptr : name.c_str();

  if (control & 1) {
    const int r = ArchSupportsOperator_Py(arch_p, name_p);
    if (r != 0 && r != 1) Fail("ArchSupportsOperator_Py returned neither 0 nor 1");
    if (r == 1) {
      // Supported implies the same text answers queries without error.
      char out[1];
      const int st = ArchqueryParameter_Py(arch_p, "builtin_architectures", out, 0);
      if (st != VEXAKOV_E_NULL_ARG) Fail("out_size 0 not refused");
      char* wide = static_cast<char*>(std::malloc(4096));
      const int st2 = ArchqueryParameter_Py(arch_p, "builtin_architectures", wide, 4096);
      std::free(wide);
      if (st2 != VEXAKOV_OK) Fail("operator supported by a text that does not resolve");
    }
    return 0;
  }

  // Exactly out_size bytes, so ASan sees any write past the end.
  char* out = (control & 16) ? nullptr : static_cast<char*>(std::malloc(out_size));
  const int status = ArchqueryParameter_Py(arch_p, name_p, out, out_size);
  if (status < VEXAKOV_OK || status > VEXAKOV_E_INTERNAL) Fail("unknown status");
  if (out == nullptr || out_size == 0 || arch_p == nullptr || name_p == nullptr) {
    if (status != VEXAKOV_E_NULL_ARG) Fail("NULL argument or zero size not refused");
  }
  if (status == VEXAKOV_OK) {
    if (std::memchr(out, '\0', out_size) == nullptr) Fail("success without NUL in buffer");
    // Cached and fresh answers must agree.
    std::string first(out);
    const int again = ArchqueryParameter_Py(arch_p, name_p, out, out_size);
    if (again != VEXAKOV_OK || first != out) Fail("answer changed between calls");
  } else if (out != nullptr && out_size > 0 && out[0] != '\0') {
    Fail("error status left text in out");
  }
  std::free(out);
  return 0;
}
