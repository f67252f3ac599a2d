// TVM's binary tensor format (NDArray::Save), read only as far as needed to
// know that TVM's own reader can take it: TVM trusts every count and size
// it reads, and allocates before it checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vexa::formats {

// What is wrong with a file, in words for its user.
struct Refusal : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Little-endian reads from a byte string, refusing to run past its end. Of
// a long string, only a prefix may be at hand (data), its size known: reads
// beyond the prefix are counted, not read.
class Bytes {
public:
    explicit Bytes(std::string_view data) : Bytes(data, data.size()) {}
    Bytes(std::string_view data, std::size_t size) : data_(data), size_(size) {}
    std::size_t remaining() const { return size_ - at_; }
    std::size_t offset() const { return at_; }
    std::uint64_t u64(const char* what);
    std::uint32_t u32(const char* what);
    std::string_view take(std::size_t size, const char* what);
    void skip(std::size_t size, const char* what) { take(size, what); }

private:
    template <typename T>
    T read(const char* what);

    std::string_view data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// Reads one tensor at bytes' position, checking what TVM's reader trusts:
// the header, a CPU device, a known data type, a rank and dims the bytes
// can hold, a data size equal to the shape's, and memory for it within
// memory_bytes (where known). Returns the bytes TVM allocates for it.
std::uint64_t read_tensor(Bytes& bytes, const std::string& name, std::optional<std::uint64_t> memory_bytes);

// "12.0 GiB", for messages.
std::string gib(std::uint64_t bytes);

}  // namespace vexa::formats
