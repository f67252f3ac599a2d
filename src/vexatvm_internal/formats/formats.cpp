// Checks of model files before TVM reads them.

#include "formats.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tensors.h"
#include "vexa/module.h"

namespace vexa::formats {

namespace py = pybind11;

namespace {

constexpr std::uint64_t kParamsMagic = 0xF7E58D4F05049CB7ULL;

template <typename Fn>
void refusing_as_value_error(Fn&& fn) {
    try {
        fn();
    } catch (const Refusal& refusal) {
        throw py::value_error(refusal.what());
    }
}

void init_module(py::module_& m) {
    m.def(
        "check_saved_module",
        [](const py::handle& graph, std::optional<std::uint64_t> memory) {
            refusing_as_value_error([&] { check_saved_module(graph, memory); });
        },
        py::arg("graph"), py::arg("memory_bytes") = py::none());
    m.def(
        "check_relay_text",
        [](const py::str& text, std::optional<std::uint64_t> memory) {
            Py_ssize_t size = 0;
            const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
            if (data == nullptr) throw py::error_already_set();
            std::string_view source(data, static_cast<std::size_t>(size));
            refusing_as_value_error([&] { check_relay_text(source, memory); });
        },
        py::arg("text"), py::arg("memory_bytes") = py::none());
    m.def(
        "check_params",
        [](const py::bytes& blob, std::optional<std::uint64_t> memory) {
            std::string_view data = blob;
            refusing_as_value_error([&] { check_params(data, memory); });
        },
        py::arg("blob"), py::arg("memory_bytes") = py::none());
    m.def(
        "check_torchscript",
        [](const py::buffer& data, std::optional<std::uint64_t> memory) {
            // A buffer, so that a memory map of a large file is read where it lies.
            py::buffer_info view = data.request();
            std::string_view bytes(static_cast<const char*>(view.ptr),
                                   static_cast<std::size_t>(view.size * view.itemsize));
            std::string root;
            refusing_as_value_error([&] { root = check_torchscript(bytes, memory); });
            return root;
        },
        py::arg("data"), py::arg("memory_bytes") = py::none());
    m.def(
        "onnx_without_weights",
        [](const py::buffer& data, const std::string& location) {
            py::buffer_info view = data.request();
            std::string_view bytes(static_cast<const char*>(view.ptr),
                                   static_cast<std::size_t>(view.size * view.itemsize));
            std::string model;
            refusing_as_value_error([&] { model = onnx_without_weights(bytes, location); });
            return py::bytes(model);
        },
        py::arg("data"), py::arg("location"));
}

}  // namespace

std::string first_meaningful_line(const py::error_already_set& err) {
    std::istringstream lines(py::str(err.value()).cast<std::string>());
    std::string line, last;
    while (std::getline(lines, line)) {
        std::size_t start = line.find_first_not_of(" \t\r");
        if (start != std::string::npos) last = line.substr(start);
    }
    return last.empty() ? std::string(py::str(err.type().attr("__name__"))) : last;
}

void check_params(std::string_view blob, std::optional<std::uint64_t> memory) {
    Bytes bytes(blob);
    if (blob.size() < 8 || bytes.u64("the header") != kParamsMagic)
        throw Refusal("no params header (a file of tvm.runtime.save_param_dict starts with one)");
    bytes.u64("the header");  // reserved
    std::uint64_t count = bytes.u64("the count of names");
    if (count > bytes.remaining() / 8)
        throw Refusal("truncated: it names " + std::to_string(count) + " params, more than its " +
                      std::to_string(blob.size()) + " bytes can hold");
    std::vector<std::string> names;
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t size = bytes.u64("a name");
        names.emplace_back(bytes.take(size, "a name"));
    }
    std::uint64_t tensors = bytes.u64("the count of tensors");
    if (tensors != count)
        throw Refusal("it names " + std::to_string(count) + " params but holds " + std::to_string(tensors) +
                      " tensors");
    long double total = 0;
    for (const std::string& name : names) total += read_tensor(bytes, "'" + name + "'", memory);
    if (memory && total > static_cast<long double>(*memory))
        throw Refusal("its params would need " + gib(static_cast<std::uint64_t>(total)) +
                      " together, more than this machine's memory (" + gib(*memory) + ")");
}

}  // namespace vexa::formats

VEXA_MODULE(formats, "Checks of model files before TVM reads them.", vexa::formats::init_module)
