// Checks Relay text for what TVM's parser trusts: it descends one C++ call
// per bracket, so nesting past a few thousand exhausts the stack, and it
// reads a "#[metadata]" section with tvm.ir.load_json.

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

#include "formats.h"
#include "tensors.h"

namespace vexa::formats {

namespace py = pybind11;

namespace {

// The parser took 1,000 nested brackets and crashed on 3,000 here; printed
// modules nest a few levels.
constexpr int kMaxDepth = 500;

std::string_view trimmed(std::string_view text) {
    const char* blanks = " \t\r\n";
    std::size_t start = text.find_first_not_of(blanks);
    if (start == std::string_view::npos) return {};
    return text.substr(start, text.find_last_not_of(blanks) - start + 1);
}

}  // namespace

void check_relay_text(std::string_view text, std::optional<std::uint64_t> memory) {
    int depth = 0, line = 1;
    for (std::size_t at = 0; at < text.size(); ++at) {
        char c = text[at];
        if (c == '\n') {
            ++line;
        } else if (c == '"') {  // a string, with its escapes
            for (++at; at < text.size() && text[at] != '"'; ++at) {
                if (text[at] == '\\') ++at;
                else if (text[at] == '\n') ++line;
            }
        } else if (c == '/' && at + 1 < text.size() && text[at + 1] == '/') {
            at = text.find('\n', at);
            if (at == std::string_view::npos) return;
            ++line;
        } else if (c == '/' && at + 1 < text.size() && text[at + 1] == '*') {
            std::size_t end = text.find("*/", at + 2);
            if (end == std::string_view::npos) return;
            for (std::size_t i = at; i < end; ++i) line += text[i] == '\n';
            at = end + 1;
        } else if (c == '(' || c == '[' || c == '{') {
            if (++depth > kMaxDepth)
                throw Refusal("line " + std::to_string(line) + ": brackets nested more than " +
                              std::to_string(kMaxDepth) + " deep, more than TVM's parser takes");
        } else if (c == ')' || c == ']' || c == '}') {
            --depth;
        } else if (c == '#' && at + 1 < text.size() && text[at + 1] == '[') {
            std::size_t close = text.find(']', at + 2);
            if (close == std::string_view::npos) return;
            if (trimmed(text.substr(at + 2, close - at - 2)) != "metadata") {
                at = close;
                continue;
            }
            // The rest of the file is the metadata, a graph of tvm.ir.save_json.
            py::object graph;
            try {
                std::string_view rest = text.substr(close + 1);
                graph = py::module_::import("json").attr("loads")(py::str(rest.data(), rest.size()));
            } catch (py::error_already_set& err) {
                throw Refusal("line " + std::to_string(line) + ": the metadata is not JSON (" +
                              first_meaningful_line(err) + ")");
            }
            try {
                check_saved_module(graph, memory);
            } catch (const Refusal& refusal) {
                throw Refusal("line " + std::to_string(line) + ": the metadata: " + refusal.what());
            }
            return;
        }
    }
}

}  // namespace vexa::formats
