// An ONNX model without its weights: the protobuf rewritten so that every
// initializer of the main graph that carries its data inline (raw_data)
// refers to those bytes where they lie in the file, as ONNX's external data
// does. The model then parses in the memory of its graph alone, and each
// weight is read from the file once, straight into the array TVM keeps.
//
// Only the wire format is read: tags, lengths and the fields on the path
// ModelProto.graph -> GraphProto.initializer -> TensorProto. Everything else
// is copied byte for byte.

#include <cstdint>
#include <string>
#include <string_view>

#include "formats.h"
#include "tensors.h"

namespace vexa::formats {

namespace {

constexpr std::uint32_t kModelGraph = 7;             // ModelProto.graph
constexpr std::uint32_t kGraphInitializer = 5;       // GraphProto.initializer
constexpr std::uint32_t kTensorRawData = 9;          // TensorProto.raw_data
constexpr std::uint32_t kTensorExternalData = 13;    // TensorProto.external_data
constexpr std::uint32_t kTensorDataLocation = 14;    // TensorProto.data_location
constexpr std::uint32_t kEntryKey = 1, kEntryValue = 2;  // StringStringEntryProto
constexpr std::uint32_t kExternal = 1;               // TensorProto.DataLocation.EXTERNAL

enum Wire : std::uint32_t { kVarint = 0, kFixed64 = 1, kBytes = 2, kFixed32 = 5 };

struct Field {
    std::uint32_t number = 0;
    std::uint32_t wire = 0;
    std::string_view whole;    // tag to end of the field
    std::string_view payload;  // a length-delimited field's bytes
};

// The fields of one message, in order.
class Fields {
public:
    explicit Fields(std::string_view message) : rest_(message) {}

    bool next(Field& field) {
        if (rest_.empty()) return false;
        const char* start = rest_.data();
        std::uint64_t tag = varint();
        field.number = static_cast<std::uint32_t>(tag >> 3);
        field.wire = static_cast<std::uint32_t>(tag & 7);
        if (field.number == 0) throw Refusal("protobuf field number 0");
        switch (field.wire) {
            case kVarint:
                varint();
                break;
            case kFixed64:
                skip(8);
                break;
            case kFixed32:
                skip(4);
                break;
            case kBytes: {
                std::uint64_t size = varint();
                if (size > rest_.size()) throw Refusal("a protobuf field runs past its message");
                field.payload = rest_.substr(0, size);
                skip(size);
                break;
            }
            default:
                throw Refusal("protobuf groups or an unknown wire type");
        }
        field.whole = std::string_view(start, static_cast<std::size_t>(rest_.data() - start));
        return true;
    }

private:
    std::uint64_t varint() {
        std::uint64_t value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (rest_.empty()) throw Refusal("a protobuf varint runs past its message");
            auto byte = static_cast<std::uint8_t>(rest_.front());
            rest_.remove_prefix(1);
            value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
            if (!(byte & 0x80)) return value;
        }
        throw Refusal("a protobuf varint longer than 10 bytes");
    }
    void skip(std::uint64_t size) {
        if (size > rest_.size()) throw Refusal("a protobuf field runs past its message");
        rest_.remove_prefix(size);
    }

    std::string_view rest_;
};

void put_varint(std::string& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<char>((value & 0x7f) | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

void put_bytes(std::string& out, std::uint32_t number, std::string_view bytes) {
    put_varint(out, (static_cast<std::uint64_t>(number) << 3) | kBytes);
    put_varint(out, bytes.size());
    out.append(bytes);
}

void put_entry(std::string& out, std::string_view key, std::string_view value) {
    std::string entry;
    put_bytes(entry, kEntryKey, key);
    put_bytes(entry, kEntryValue, value);
    put_bytes(out, kTensorExternalData, entry);
}

class Rewriter {
public:
    Rewriter(std::string_view file, std::string location) : file_(file), location_(std::move(location)) {}

    std::string model() {
        return with_field_rewritten(file_, kModelGraph, [this](std::string_view graph) {
            return with_field_rewritten(graph, kGraphInitializer,
                                        [this](std::string_view initializer) { return tensor(initializer); });
        });
    }

private:
    // The message with each length-delimited field `number` replaced by rewrite(its bytes).
    template <typename Rewrite>
    static std::string with_field_rewritten(std::string_view message, std::uint32_t number, Rewrite&& rewrite) {
        std::string out;
        Fields fields(message);
        Field field;
        while (fields.next(field)) {
            if (field.number == number && field.wire == kBytes) {
                put_bytes(out, number, rewrite(field.payload));
            } else {
                out.append(field.whole);
            }
        }
        return out;
    }

    // The tensor as it is, but raw data inline becomes a reference to where it lies.
    std::string tensor(std::string_view message) {
        std::string_view raw;
        bool inline_data = false;
        Fields scan(message);
        Field field;
        while (scan.next(field)) {
            if (field.number == kTensorExternalData || field.number == kTensorDataLocation)
                return std::string(message);  // already external, or its location said otherwise
            if (field.number == kTensorRawData && field.wire == kBytes) {
                raw = field.payload;  // the last occurrence wins, as protobuf reads it
                inline_data = true;
            }
        }
        if (!inline_data) return std::string(message);
        std::string out;
        Fields fields(message);
        while (fields.next(field)) {
            if (!(field.number == kTensorRawData && field.wire == kBytes)) out.append(field.whole);
        }
        auto offset = static_cast<std::uint64_t>(raw.data() - file_.data());
        put_entry(out, "location", location_);
        put_entry(out, "offset", std::to_string(offset));
        put_entry(out, "length", std::to_string(raw.size()));
        put_varint(out, (static_cast<std::uint64_t>(kTensorDataLocation) << 3) | kVarint);
        put_varint(out, kExternal);
        return out;
    }

    std::string_view file_;
    std::string location_;
};

}  // namespace

std::string onnx_without_weights(std::string_view file, const std::string& location) {
    return Rewriter(file, location).model();
}

}  // namespace vexa::formats
