// TorchScript archives (torch.jit.save): a zip file whose entries lie under
// one folder, with the pickled module (data.pkl), its constants
// (constants.pkl) and its code (code/). Read only as far as the central
// directory, so that a file of any size costs the same; torch's own zip
// reader then reads what it trusts: entries where the directory says.

#include <cstring>
#include <set>
#include <string>
#include <string_view>

#include "formats.h"
#include "tensors.h"

namespace vexa::formats {

namespace {

constexpr std::uint32_t kLocalHeader = 0x04034b50;
constexpr std::uint32_t kCentralHeader = 0x02014b50;
constexpr std::uint32_t kEndOfDirectory = 0x06054b50;
constexpr std::uint32_t kZip64End = 0x06064b50;
constexpr std::uint32_t kZip64Locator = 0x07064b50;
constexpr std::size_t kEndSize = 22, kLocatorSize = 20, kZip64EndSize = 56, kCentralSize = 46, kLocalSize = 30;
constexpr std::size_t kLongestComment = 0xffff;

// Little-endian integers at given offsets of the whole file, refusing any
// that runs past its end.
class Archive {
public:
    explicit Archive(std::string_view data) : data_(data) {}
    std::size_t size() const { return data_.size(); }

    template <typename T>
    T at(std::uint64_t offset, const char* what) const {
        require(offset, sizeof(T), what);
        T value;
        std::memcpy(&value, data_.data() + offset, sizeof(T));
        return value;
    }
    std::string_view bytes(std::uint64_t offset, std::uint64_t size, const char* what) const {
        require(offset, size, what);
        return data_.substr(offset, size);
    }
    void require(std::uint64_t offset, std::uint64_t size, const char* what) const {
        if (offset > data_.size() || size > data_.size() - offset)
            throw Refusal("truncated zip archive: " + std::string(what) + " at byte " + std::to_string(offset) +
                          " runs past the end of its " + std::to_string(data_.size()) + " bytes");
    }

private:
    std::string_view data_;
};

struct Directory {
    std::uint64_t entries = 0, offset = 0, size = 0;
};

// The end-of-directory record: the last 22 bytes but for a comment of at most 64 KiB.
std::uint64_t find_end(const Archive& zip) {
    if (zip.size() < kEndSize) throw Refusal("truncated zip archive: no end of its directory");
    std::uint64_t last = zip.size() - kEndSize;
    std::uint64_t first = last > kLongestComment ? last - kLongestComment : 0;
    for (std::uint64_t at = last + 1; at-- > first;) {
        if (zip.at<std::uint32_t>(at, "the end of the directory") == kEndOfDirectory &&
            at + kEndSize + zip.at<std::uint16_t>(at + 20, "the end of the directory") == zip.size())
            return at;
    }
    throw Refusal("truncated zip archive: no end of its directory");
}

Directory read_directory(const Archive& zip) {
    std::uint64_t end = find_end(zip);
    Directory dir{zip.at<std::uint16_t>(end + 10, "the end of the directory"),
                  zip.at<std::uint32_t>(end + 16, "the end of the directory"),
                  zip.at<std::uint32_t>(end + 12, "the end of the directory")};
    if (zip.at<std::uint16_t>(end + 4, "the end of the directory") != 0 ||
        zip.at<std::uint16_t>(end + 6, "the end of the directory") != 0)
        throw Refusal("a zip archive split over several disks");
    bool wide = dir.entries == 0xffff || dir.offset == 0xffffffff || dir.size == 0xffffffff;
    if (wide) {  // zip64: the sizes are in a record the locator before the end points to
        if (end < kLocatorSize || zip.at<std::uint32_t>(end - kLocatorSize, "the zip64 locator") != kZip64Locator)
            throw Refusal("a zip archive whose directory is too large for its end record, with no zip64 locator");
        auto record = zip.at<std::uint64_t>(end - kLocatorSize + 8, "the zip64 locator");
        if (zip.at<std::uint32_t>(record, "the zip64 end of the directory") != kZip64End)
            throw Refusal("a zip archive whose zip64 locator points to no zip64 record");
        zip.require(record, kZip64EndSize, "the zip64 end of the directory");
        dir = {zip.at<std::uint64_t>(record + 32, "the zip64 end of the directory"),
               zip.at<std::uint64_t>(record + 48, "the zip64 end of the directory"),
               zip.at<std::uint64_t>(record + 40, "the zip64 end of the directory")};
    }
    zip.require(dir.offset, dir.size, "the directory");
    if (dir.entries > dir.size / kCentralSize)
        throw Refusal("a zip archive whose directory lists " + std::to_string(dir.entries) +
                      " entries, more than its " + std::to_string(dir.size) + " bytes hold");
    return dir;
}

// A 32-bit field of a directory entry, or its 64-bit value in the zip64
// extra field where the 32-bit one says so (values in a fixed order).
struct Wide {
    std::string_view extra;
    std::size_t next = 0;
    bool found = false;

    explicit Wide(std::string_view extra_field) {
        for (std::size_t at = 0; at + 4 <= extra_field.size();) {
            std::uint16_t id, size;
            std::memcpy(&id, extra_field.data() + at, 2);
            std::memcpy(&size, extra_field.data() + at + 2, 2);
            if (at + 4 + size > extra_field.size()) break;
            if (id == 1) {
                extra = extra_field.substr(at + 4, size);
                found = true;
                return;
            }
            at += 4 + size;
        }
    }
    std::uint64_t value(std::uint32_t narrow, const std::string& name) {
        if (narrow != 0xffffffff) return narrow;
        if (!found || next + 8 > extra.size())
            throw Refusal("zip entry '" + name + "' gives no zip64 size where its directory entry says so");
        std::uint64_t out;
        std::memcpy(&out, extra.data() + next, 8);
        next += 8;
        return out;
    }
};

}  // namespace

std::string check_torchscript(std::string_view data, std::optional<std::uint64_t> memory) {
    if (data.size() < 4 || data.substr(0, 4) != std::string_view("PK\x03\x04", 4)) {
        // torch.save before torch 1.6 wrote a bare pickle, protocol 2 or later.
        if (!data.empty() && static_cast<unsigned char>(data[0]) == 0x80)
            throw Refusal("a pickle of torch.save's legacy format, not a TorchScript archive; save the model with "
                          "torch.jit.save(torch.jit.trace(model, example)) instead");
        throw Refusal("not a zip archive, so not a TorchScript file (torch.jit.save writes one)");
    }
    Archive zip(data);
    Directory dir = read_directory(zip);
    std::set<std::string> names;
    std::string root;
    long double unpacked = 0;
    std::uint64_t at = dir.offset;
    for (std::uint64_t i = 0; i < dir.entries; ++i) {
        if (zip.at<std::uint32_t>(at, "a directory entry") != kCentralHeader)
            throw Refusal("corrupt zip archive: directory entry " + std::to_string(i) + " has no entry header");
        zip.require(at, kCentralSize, "a directory entry");
        auto method = zip.at<std::uint16_t>(at + 10, "a directory entry");
        auto packed32 = zip.at<std::uint32_t>(at + 20, "a directory entry");
        auto size32 = zip.at<std::uint32_t>(at + 24, "a directory entry");
        auto name_size = zip.at<std::uint16_t>(at + 28, "a directory entry");
        auto extra_size = zip.at<std::uint16_t>(at + 30, "a directory entry");
        auto comment_size = zip.at<std::uint16_t>(at + 32, "a directory entry");
        auto local32 = zip.at<std::uint32_t>(at + 42, "a directory entry");
        std::string name(zip.bytes(at + kCentralSize, name_size, "an entry's name"));
        Wide wide(zip.bytes(at + kCentralSize + name_size, extra_size, "an entry's extra field"));
        std::uint64_t size = wide.value(size32, name), packed = wide.value(packed32, name);
        std::uint64_t local = wide.value(local32, name);
        at += kCentralSize + name_size + extra_size + comment_size;
        if (at > dir.offset + dir.size)
            throw Refusal("corrupt zip archive: entry '" + name + "' runs past the end of the directory");
        if (method != 0 && method != 8)
            throw Refusal("zip entry '" + name + "' is compressed with method " + std::to_string(method) +
                          "; TorchScript archives store their entries or deflate them");
        if (zip.at<std::uint32_t>(local, ("entry '" + name + "'").c_str()) != kLocalHeader)
            throw Refusal("corrupt zip archive: entry '" + name + "' is not where the directory says");
        auto local_name = zip.at<std::uint16_t>(local + 26, "an entry's header");
        auto local_extra = zip.at<std::uint16_t>(local + 28, "an entry's header");
        std::uint64_t start = local + kLocalSize + local_name + local_extra;
        if (start > dir.offset || packed > dir.offset - start)
            throw Refusal("corrupt zip archive: entry '" + name + "' of " + std::to_string(packed) +
                          " bytes runs into the directory");
        if (method == 0 && size != packed)
            throw Refusal("corrupt zip archive: stored entry '" + name + "' gives two sizes, " +
                          std::to_string(size) + " and " + std::to_string(packed));
        unpacked += static_cast<long double>(size);
        std::size_t slash = name.find('/');
        if (slash == std::string::npos || slash == 0)
            throw Refusal("zip entry '" + name + "' lies outside the folder a TorchScript archive keeps all in");
        if (root.empty()) root = name.substr(0, slash);
        if (name.compare(0, slash, root) != 0)
            throw Refusal("zip entries lie in two folders, '" + root + "' and '" + name.substr(0, slash) +
                          "'; a TorchScript archive keeps all in one");
        names.insert(name.substr(slash + 1));
    }
    if (memory && unpacked > static_cast<long double>(*memory))
        throw Refusal("its entries would need " + gib(static_cast<std::uint64_t>(unpacked)) +
                      " unpacked, more than this machine's memory (" + gib(*memory) + ")");
    bool has_code = false;
    for (const std::string& name : names) has_code = has_code || name.rfind("code/", 0) == 0;
    if (names.count("data.pkl") && !(names.count("constants.pkl") && has_code))
        throw Refusal("a checkpoint of torch.save (weights, without the network's code), not a TorchScript "
                      "archive; save the model with torch.jit.save(torch.jit.trace(model, example)) instead");
    if (!names.count("data.pkl") || !names.count("constants.pkl") || !has_code)
        throw Refusal("a zip archive without TorchScript's data.pkl, constants.pkl and code/, so not a "
                      "TorchScript file");
    return root;
}

}  // namespace vexa::formats
