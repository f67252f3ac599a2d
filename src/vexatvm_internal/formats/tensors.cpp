#include "tensors.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace vexa::formats {

namespace {

constexpr std::uint64_t kTensorMagic = 0xDD5E40F096B4A13FULL;
constexpr std::int32_t kCpu = 1;

// Codes TVM 0.19 gives a tensor's data type: int, uint, float, bfloat,
// complex and its two float8 kinds. Handles and custom types hold no data.
bool known_type_code(unsigned code) { return code <= 7 && code != 3; }

std::string shape_text(const std::vector<std::int64_t>& shape) {
    std::string out = "[";
    for (std::size_t i = 0; i < shape.size(); ++i) out += (i ? ", " : "") + std::to_string(shape[i]);
    return out + "]";
}

}  // namespace

template <typename T>
T Bytes::read(const char* what) {
    std::string_view held = take(sizeof(T), what);
    if (held.size() != sizeof(T)) throw std::logic_error("a header read beyond the bytes at hand");
    T value;
    std::memcpy(&value, held.data(), sizeof(T));
    return value;
}

std::uint64_t Bytes::u64(const char* what) { return read<std::uint64_t>(what); }
std::uint32_t Bytes::u32(const char* what) { return read<std::uint32_t>(what); }

std::string_view Bytes::take(std::size_t size, const char* what) {
    if (size > remaining())
        throw Refusal("truncated: " + std::string(what) + " needs " + std::to_string(size) + " bytes at byte " +
                      std::to_string(at_) + ", " + std::to_string(remaining()) + " remain");
    std::string_view out = at_ < data_.size() ? data_.substr(at_, size) : std::string_view();
    at_ += size;
    return out;
}

std::string gib(std::uint64_t bytes) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1f GiB", static_cast<double>(bytes) / (1ULL << 30));
    return text;
}

std::uint64_t read_tensor(Bytes& bytes, const std::string& name, std::optional<std::uint64_t> memory_bytes) {
    const std::string what = "tensor " + name;
    if (bytes.u64(what.c_str()) != kTensorMagic) throw Refusal(what + " does not start with TVM's tensor header");
    bytes.u64(what.c_str());  // reserved
    auto device_type = static_cast<std::int32_t>(bytes.u32(what.c_str()));
    bytes.u32(what.c_str());  // device id
    if (device_type != kCpu) throw Refusal(what + " is not stored as a CPU tensor (device " +
                                           std::to_string(device_type) + ")");
    auto ndim = static_cast<std::int32_t>(bytes.u32(what.c_str()));
    std::uint32_t dtype = bytes.u32(what.c_str());
    unsigned code = dtype & 0xff, bits = (dtype >> 8) & 0xff, lanes = dtype >> 16;
    if (!known_type_code(code) || bits == 0 || lanes == 0)
        throw Refusal(what + " has no data type TVM stores (code " + std::to_string(code) + ", " +
                      std::to_string(bits) + " bits, " + std::to_string(lanes) + " lanes)");
    if (ndim < 0 || static_cast<std::uint64_t>(ndim) * 8 > bytes.remaining())
        throw Refusal(what + " has " + std::to_string(ndim) + " dimensions, more than the file holds");
    std::vector<std::int64_t> shape(static_cast<std::size_t>(ndim));
    for (auto& dim : shape) dim = static_cast<std::int64_t>(bytes.u64(what.c_str()));
    // Counted in long double so that no product of dims wraps around.
    long double elements = 1;
    for (std::int64_t dim : shape) {
        if (dim < 0) throw Refusal(what + " has a negative dimension " + shape_text(shape));
        elements *= static_cast<long double>(dim);
    }
    long double allocated = elements * bits * lanes / 8;
    if (memory_bytes && allocated > static_cast<long double>(*memory_bytes))
        throw Refusal(what + " of shape " + shape_text(shape) + " would need " +
                      gib(static_cast<std::uint64_t>(std::min<long double>(allocated, 1e30L))) +
                      ", more than this machine's memory (" + gib(*memory_bytes) + ")");
    auto data_size = static_cast<std::int64_t>(bytes.u64(what.c_str()));
    long double expected = elements * ((bits + 7) / 8);
    if (data_size < 0 || static_cast<long double>(data_size) != expected)
        throw Refusal(what + " of shape " + shape_text(shape) + " declares " + std::to_string(data_size) +
                      " bytes of data, not the " + std::to_string(static_cast<std::uint64_t>(expected)) +
                      " its shape needs");
    bytes.skip(static_cast<std::size_t>(data_size), what.c_str());
    return static_cast<std::uint64_t>(allocated);
}

}  // namespace vexa::formats
