// Checks of model files before TVM reads them: what TVM's readers trust and
// would crash on or allocate without bound. Each check raises ValueError
// saying what is wrong, in words for the file's user.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vexa::formats {

// A graph of tvm.ir.save_json, as Python's json parsed it.
void check_saved_module(const pybind11::handle& graph, std::optional<std::uint64_t> memory);

// Relay text, for the parser's recursion and its metadata section.
void check_relay_text(std::string_view text, std::optional<std::uint64_t> memory);

// The bytes of a file of tvm.runtime.save_param_dict.
void check_params(std::string_view blob, std::optional<std::uint64_t> memory);

// The bytes of a TorchScript archive (torch.jit.save): its zip directory,
// and the layout of TorchScript's entries. Returns the folder they lie in.
std::string check_torchscript(std::string_view data, std::optional<std::uint64_t> memory);

// An ONNX model's bytes with every initializer of its main graph that holds
// its data inline referring instead to where that data lies in the file,
// named `location`, as ONNX's external data (location, offset, length).
std::string onnx_without_weights(std::string_view file, const std::string& location);

// The line of a Python error's message that says what went wrong (TVM's
// errors end with it, after their traceback).
std::string first_meaningful_line(const pybind11::error_already_set& err);

}  // namespace vexa::formats
