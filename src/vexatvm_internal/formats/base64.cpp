#include "base64.h"

namespace vexa::formats {

namespace {

int digit(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

std::optional<std::size_t> base64_size(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
    for (std::size_t i = 0; i < text.size() - padding; ++i)
        if (digit(static_cast<unsigned char>(text[i])) < 0) return std::nullopt;
    return text.size() / 4 * 3 - padding;
}

std::string base64_prefix(std::string_view text, std::size_t limit) {
    std::string out;
    unsigned value = 0;
    int held = 0;
    for (char c : text) {
        int d = digit(static_cast<unsigned char>(c));
        if (d < 0 || out.size() >= limit) break;
        value = (value << 6) | static_cast<unsigned>(d);
        held += 6;
        if (held >= 8) {
            held -= 8;
            out.push_back(static_cast<char>((value >> held) & 0xff));
        }
    }
    return out;
}

}  // namespace vexa::formats
