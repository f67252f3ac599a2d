// Checks a graph of tvm.ir.save_json (parsed by Python's json) for what
// TVM's loader trusts: its topological sort indexes a vector with every
// node reference it reads, unchecked, and its tensor reader allocates what
// a header says. A reference is a node's "data" entry, or an attribute
// whose field is an object or a tensor; which attributes those are, TVM's
// own reflection tells, asked once per type key on a probe graph whose
// references are all null.

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base64.h"
#include "formats.h"
#include "tensors.h"

namespace vexa::formats {

namespace {

namespace py = pybind11;

constexpr std::size_t kTensorHeader = 32;  // magic, reserved, device, ndim, dtype
const char* const kDictAttrs = "DictAttrs";
const char* const kDictField = "__dict__";
const std::set<std::string> kGraphKeys = {"root", "nodes", "b64ndarrays", "attrs"};
const std::set<std::string> kNodeKeys = {"type_key", "repr_str", "repr_b64", "attrs", "keys", "data"};
// The types TVM 0.19 builds from their repr bytes. Of any other, the loader
// makes a node with every field null when it is given such bytes, and
// passes crash on it.
const std::set<std::string> kReadFromRepr = {
    "Op", "SourceName", "EnvFunc", "TargetKind", "runtime.String", "runtime.BoxInt", "runtime.BoxBool",
    "runtime.BoxFloat", "runtime.Module", "runtime.NDArray", "runtime.ShapeTuple"};

std::string_view utf8(const py::handle& text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) throw py::error_already_set();
    return {data, static_cast<std::size_t>(size)};
}

bool is_str(const py::handle& obj) { return PyUnicode_Check(obj.ptr()); }
bool is_int(const py::handle& obj) { return PyLong_Check(obj.ptr()) && !PyBool_Check(obj.ptr()); }

std::string node_name(std::size_t index, const std::string& type_key) {
    return "node " + std::to_string(index) + (type_key.empty() ? "" : " (" + type_key + ")");
}

// A reference as TVM reads it: `std::istringstream >> size_t`, which skips
// blanks, takes a sign and wraps a negative value. nullopt where that read
// fails (TVM then reports a wrong value format itself).
std::optional<unsigned long long> read_index(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
    if (at >= text.size() || !std::isdigit(static_cast<unsigned char>(text[at]))) return std::nullopt;
    unsigned long long value = 0;
    for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at) {
        unsigned d = static_cast<unsigned>(text[at] - '0');
        if (value > (std::numeric_limits<unsigned long long>::max() - d) / 10)
            return std::numeric_limits<unsigned long long>::max();  // the read fails; refused as out of range
        value = value * 10 + d;
    }
    return negative && value != 0 ? std::numeric_limits<unsigned long long>::max() : value;
}

struct Node {
    std::string type_key;
    py::dict attrs;
    bool has_repr = false;
};

enum class Field { value, object, tensor };

// What each attribute of each probed type is: TVM's loader fills a probe
// node of that type from a copy of the file's attributes, references
// replaced by 0 (null) and tensor references by the probe's one tensor;
// an attribute then read back as None is an object reference, one read as
// a tensor a tensor reference.
std::map<std::string, std::map<std::string, Field>> field_kinds(const std::vector<Node>& nodes) {
    std::map<std::string, std::size_t> first;  // type key -> first node of it to probe
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const Node& node = nodes[i];
        if (node.type_key.empty() || node.has_repr || node.type_key == "Array" || node.type_key == "Map") continue;
        first.emplace(node.type_key, i);
    }
    // TVM reads a DictAttrs' attributes from its map, which a probe has not.
    std::map<std::string, std::map<std::string, Field>> kinds;
    if (first.erase(kDictAttrs)) kinds[kDictAttrs] = {{kDictField, Field::object}};
    if (first.empty()) return kinds;

    py::list probe_nodes;
    py::dict null_node;
    null_node["type_key"] = "";
    probe_nodes.append(null_node);
    py::list members;
    std::vector<std::string> order;
    for (const auto& [type_key, index] : first) {
        py::dict attrs;
        for (auto item : nodes[index].attrs) {
            std::string_view value = utf8(item.second);
            attrs[item.first] = read_index(value) ? py::str("0") : py::reinterpret_borrow<py::str>(item.second);
        }
        py::dict node;
        node["type_key"] = type_key;
        node["attrs"] = attrs;
        members.append(py::len(probe_nodes));
        probe_nodes.append(node);
        order.push_back(type_key);
    }
    py::dict array;
    array["type_key"] = "Array";
    array["data"] = members;
    py::size_t root = py::len(probe_nodes);
    probe_nodes.append(array);
    py::dict graph;
    graph["root"] = root;
    graph["nodes"] = probe_nodes;
    // One float32 scalar, in TVM's tensor format.
    graph["b64ndarrays"] = py::make_tuple("P6G0lvBAXt0AAAAAAAAAAAEAAAAAAAAAAAAAAAIgAQAEAAAAAAAAAAAAAAA=");
    graph["attrs"] = py::dict(py::arg("tvm_version") = "0.19.0");

    py::module_ json = py::module_::import("json");
    py::object tvm_ir = py::module_::import("tvm.ir");
    py::object get_attr = py::module_::import("tvm.runtime._ffi_node_api").attr("NodeGetAttr");
    py::object ndarray = py::module_::import("tvm.runtime").attr("NDArray");
    py::object loaded;
    try {
        loaded = tvm_ir.attr("load_json")(json.attr("dumps")(graph));
    } catch (py::error_already_set& err) {
        // The probe copies the file's own nodes: what TVM refuses in it, it refuses in the file.
        throw Refusal(first_meaningful_line(err));
    }
    for (std::size_t i = 0; i < order.size(); ++i) {
        py::object obj = loaded[py::int_(i)];
        auto& fields = kinds[order[i]];
        for (auto item : nodes[first[order[i]]].attrs) {
            py::object value;
            try {
                value = get_attr(obj, item.first);
            } catch (py::error_already_set&) {
                continue;  // not a field of the type: TVM ignores it
            }
            fields[py::str(item.first)] = value.is_none()                      ? Field::object
                                          : py::isinstance(value, ndarray) ? Field::tensor
                                                                             : Field::value;
        }
    }
    return kinds;
}

// What a Relay node's references must be: TVM's passes cast them unchecked
// (a call whose op is a string, a function whose params are a map), so a
// reference of another kind crashes far from the file. Kinds come from the
// Python classes TVM registers for the type keys.
enum class Kind { expr, type, prim_expr, attrs, container, other };

struct Expected {
    const char* type_key;
    const char* field;
    enum Shape { one, array, map } shape;
    Kind kind;              // what it (each element, each map value) is, unless exactly is set
    const char* exactly;    // a type key
    bool required;
    const char* key_exactly = nullptr;  // of a map keyed by objects, the keys' type key
};

const Expected kRelaySchema[] = {
    {"relay.Call", "op", Expected::one, Kind::expr, nullptr, true},
    {"relay.Call", "args", Expected::array, Kind::expr, nullptr, true},
    {"relay.Call", "attrs", Expected::one, Kind::attrs, nullptr, false},
    {"relay.Call", "type_args", Expected::array, Kind::type, nullptr, false},
    {"relay.Function", "params", Expected::array, Kind::other, "relay.Var", true},
    {"relay.Function", "body", Expected::one, Kind::expr, nullptr, true},
    {"relay.Function", "ret_type", Expected::one, Kind::type, nullptr, false},
    {"relay.Function", "type_params", Expected::array, Kind::type, nullptr, false},
    {"relay.Function", "attrs", Expected::one, Kind::other, "DictAttrs", false},
    {"relay.Var", "vid", Expected::one, Kind::other, "relay.Id", true},
    {"relay.Var", "type_annotation", Expected::one, Kind::type, nullptr, false},
    {"relay.Id", "name_hint", Expected::one, Kind::other, "runtime.String", true},
    {"GlobalVar", "name_hint", Expected::one, Kind::other, "runtime.String", true},
    {"relay.Tuple", "fields", Expected::array, Kind::expr, nullptr, true},
    {"relay.TupleGetItem", "tuple_value", Expected::one, Kind::expr, nullptr, true},
    {"relay.Let", "var", Expected::one, Kind::other, "relay.Var", true},
    {"relay.Let", "value", Expected::one, Kind::expr, nullptr, true},
    {"relay.Let", "body", Expected::one, Kind::expr, nullptr, true},
    {"relay.If", "cond", Expected::one, Kind::expr, nullptr, true},
    {"relay.If", "true_branch", Expected::one, Kind::expr, nullptr, true},
    {"relay.If", "false_branch", Expected::one, Kind::expr, nullptr, true},
    {"relay.TensorType", "shape", Expected::array, Kind::prim_expr, nullptr, true},
    {"TupleType", "fields", Expected::array, Kind::type, nullptr, true},
    {"FuncType", "arg_types", Expected::array, Kind::type, nullptr, true},
    {"FuncType", "ret_type", Expected::one, Kind::type, nullptr, true},
    {"IRModule", "functions", Expected::map, Kind::expr, nullptr, true, "GlobalVar"},
    {"IRModule", "global_var_map_", Expected::map, Kind::other, "GlobalVar", true},
    {"DictAttrs", "__dict__", Expected::map, Kind::other, nullptr, true},
};

// "a relay.Call", "an Array", "a null node".
std::string a_node(const std::string& type_key) {
    if (type_key.empty()) return "a null node";
    return (std::string("AEIOUaeiou").find(type_key[0]) != std::string::npos ? "an " : "a ") + type_key;
}

const char* kind_name(Kind kind) {
    switch (kind) {
        case Kind::expr: return "an expression";
        case Kind::type: return "a type";
        case Kind::prim_expr: return "a shape dimension";
        case Kind::attrs: return "attributes";
        default: return "an object";
    }
}

// The kind of each type key of the file, from the class TVM's Python side registered for it.
std::map<std::string, Kind> kinds_of(const std::vector<Node>& nodes) {
    py::module_ ir = py::module_::import("tvm.ir");
    py::object classes = py::module_::import("tvm._ffi._ctypes.object").attr("OBJECT_TYPE");
    py::object type_index = py::module_::import("tvm._ffi.base").attr("_LIB").attr("TVMObjectTypeKey2Index");
    py::module_ ctypes = py::module_::import("ctypes");
    const std::pair<const char*, Kind> bases[] = {
        {"RelayExpr", Kind::expr}, {"Type", Kind::type}, {"PrimExpr", Kind::prim_expr}, {"Attrs", Kind::attrs}};
    std::map<std::string, Kind> kinds;
    for (const Node& node : nodes) {
        if (node.type_key.empty() || kinds.count(node.type_key)) continue;
        Kind kind = node.type_key == "Array" || node.type_key == "Map" || node.type_key == "runtime.String"
                        ? Kind::container
                        : Kind::other;
        py::object index = ctypes.attr("c_uint")(0);
        int status = type_index(py::bytes(node.type_key), ctypes.attr("byref")(index)).cast<int>();
        if (status == 0 && kind == Kind::other) {
            py::object found = classes.attr("get")(index.attr("value"));
            if (!found.is_none())
                for (const auto& [base, base_kind] : bases)
                    if (PyObject_IsSubclass(found.ptr(), ir.attr(base).ptr()) == 1) {
                        kind = base_kind;
                        break;
                    }
        }
        kinds[node.type_key] = kind;
    }
    return kinds;
}

// An operator's attributes hold values (dims, strings, arrays of them), never
// expressions or other attributes: its op's code reads them as values.
void check_attribute_values(const std::vector<Node>& nodes, const std::vector<std::vector<std::size_t>>& data,
                            const std::map<std::string, Kind>& kinds,
                            const std::map<std::string, std::map<std::string, Field>>& fields) {
    auto kind_of = [&](std::size_t node) {
        auto found = kinds.find(nodes[node].type_key);
        return found == kinds.end() ? Kind::other : found->second;
    };
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const Node& node = nodes[i];
        if (node.has_repr || kind_of(i) != Kind::attrs || node.type_key == kDictAttrs) continue;
        auto declared = fields.find(node.type_key);
        if (declared == fields.end()) continue;
        for (const auto& [name, field] : declared->second) {
            if (field != Field::object || !node.attrs.contains(name)) continue;
            std::optional<unsigned long long> ref = read_index(utf8(node.attrs[py::str(name)]));
            if (!ref || *ref == 0) continue;
            std::vector<std::size_t> pending{static_cast<std::size_t>(*ref)};
            std::set<std::size_t> seen;
            while (!pending.empty()) {
                std::size_t at = pending.back();
                pending.pop_back();
                if (!seen.insert(at).second) continue;
                if (nodes[at].type_key == "Array") {
                    // An operator's code reads each element (a dim, a stride) unchecked.
                    if (std::find(data[at].begin(), data[at].end(), 0) != data[at].end())
                        throw Refusal(node_name(i, node.type_key) + ": " + name + " holds an array with a null element");
                    pending.insert(pending.end(), data[at].begin(), data[at].end());
                } else if (kind_of(at) == Kind::expr || (kind_of(at) == Kind::attrs && nodes[at].type_key != kDictAttrs)) {
                    throw Refusal(node_name(i, node.type_key) + ": " + name + " holds " + a_node(nodes[at].type_key) +
                                  ", not a value");
                }
            }
        }
    }
}

void check_relay_references(const std::vector<Node>& nodes, const std::vector<std::vector<std::size_t>>& data,
                            const std::vector<bool>& string_keyed,
                            const std::map<std::string, std::map<std::string, Field>>& fields) {
    std::map<std::string, Kind> kinds = kinds_of(nodes);
    check_attribute_values(nodes, data, kinds, fields);
    auto is = [&](std::size_t target, const Expected& expected) {
        const std::string& key = nodes[target].type_key;
        if (expected.exactly) return key == expected.exactly;
        auto found = kinds.find(key);
        Kind kind = found == kinds.end() ? Kind::other : found->second;
        // Attributes of an operator whose class Python never registered are still attributes.
        return kind == expected.kind || (expected.kind == Kind::attrs && kind == Kind::other);
    };
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const Node& node = nodes[i];
        if (node.has_repr || node.type_key.empty()) continue;
        for (const Expected& expected : kRelaySchema) {
            if (node.type_key != expected.type_key || !node.attrs.contains(expected.field)) continue;
            std::optional<unsigned long long> ref = read_index(utf8(node.attrs[expected.field]));
            if (!ref) continue;
            const std::string where = node_name(i, node.type_key) + ": " + expected.field;
            const std::string what = expected.exactly ? std::string(expected.exactly) : kind_name(expected.kind);
            if (*ref == 0) {
                if (expected.required) throw Refusal(where + " is missing (null)");
                continue;
            }
            const std::size_t target = *ref;
            const std::string& target_key = nodes[target].type_key;
            if (expected.shape == Expected::one) {
                if (!is(target, expected))
                    throw Refusal(where + " is " + a_node(target_key) + ", not " + what);
                continue;
            }
            const char* container = expected.shape == Expected::array ? "Array" : "Map";
            if (target_key != container)
                throw Refusal(where + " is " + a_node(target_key) + ", not " + a_node(container));
            if (expected.shape == Expected::map && expected.kind == Kind::other && !expected.exactly) continue;
            const auto& elements = data[target];
            const bool pairs = expected.shape == Expected::map && !string_keyed[target];
            if (pairs && expected.key_exactly)
                for (std::size_t e = 0; e < elements.size(); e += 2)
                    if (nodes[elements[e]].type_key != expected.key_exactly)
                        throw Refusal(where + " has a key that is " + a_node(nodes[elements[e]].type_key) +
                                      ", not " + expected.key_exactly);
            for (std::size_t e = pairs ? 1 : 0; e < elements.size(); e += pairs ? 2 : 1)
                if (!is(elements[e], expected))
                    throw Refusal(where + " holds " + a_node(nodes[elements[e]].type_key) + ", not " + what);
        }
    }
}

std::uint64_t check_tensor_text(const py::handle& item, std::size_t index, std::optional<std::uint64_t> memory) {
    std::string name = "b64ndarrays[" + std::to_string(index) + "]";
    if (!is_str(item)) throw Refusal(name + " is not a string");
    std::string_view text = utf8(item);
    std::optional<std::size_t> size = base64_size(text);
    if (!size) throw Refusal(name + " is not base64");
    // The header first, for the rank; then the header with dims and data size.
    std::string head = base64_prefix(text, kTensorHeader);
    if (head.size() >= kTensorHeader) {
        std::uint32_t ndim = 0;
        std::memcpy(&ndim, head.data() + 24, 4);
        std::size_t dims = std::min<std::size_t>(ndim, *size / 8);
        head = base64_prefix(text, kTensorHeader + dims * 8 + 8);
    }
    Bytes bytes(head, *size);
    return read_tensor(bytes, name, memory);
}

}  // namespace

void check_saved_module(const py::handle& graph, std::optional<std::uint64_t> memory) {
    if (!PyDict_Check(graph.ptr())) throw Refusal("JSON, but not a saved TVM object");
    py::dict data = py::reinterpret_borrow<py::dict>(graph);
    if (!data.contains("nodes") || !PyList_Check(data["nodes"].ptr()) || !data.contains("root") ||
        !is_int(data["root"]))
        throw Refusal("JSON, but not a saved TVM object: no root and nodes");
    py::list listed = data["nodes"];
    const std::size_t count = py::len(listed);
    for (auto entry : data)
        if (!kGraphKeys.count(py::str(entry.first)))
            throw Refusal("JSON, but not a saved TVM object: an unknown field " + py::repr(entry.first).cast<std::string>());
    py::object root = data["root"];
    if (root.cast<long double>() < 0 || root.cast<long double>() >= count)
        throw Refusal("the root " + py::str(root).cast<std::string>() + " is not one of its " +
                      std::to_string(count) + " nodes");

    std::size_t tensors = 0;
    if (data.contains("b64ndarrays")) {
        py::object arrays = data["b64ndarrays"];
        if (!PyList_Check(arrays.ptr())) throw Refusal("b64ndarrays is not a list");
        long double total = 0;
        for (py::handle item : arrays) total += check_tensor_text(item, tensors++, memory);
        if (memory && total > static_cast<long double>(*memory))
            throw Refusal("its tensors would need " + gib(static_cast<std::uint64_t>(total)) +
                          " together, more than this machine's memory (" + gib(*memory) + ")");
    }

    std::vector<Node> nodes(count);
    std::vector<std::vector<std::size_t>> references_of(count);
    std::vector<bool> string_keyed(count, false);
    for (std::size_t i = 0; i < count; ++i) {
        py::handle item = listed[i];
        if (!PyDict_Check(item.ptr())) throw Refusal(node_name(i, "") + " is not a JSON object");
        py::dict fields = py::reinterpret_borrow<py::dict>(item);
        Node& node = nodes[i];
        for (auto entry : fields) {
            std::string key = py::str(entry.first);
            py::handle value = entry.second;
            if (!kNodeKeys.count(key))
                throw Refusal(node_name(i, "") + " has an unknown field " + py::repr(entry.first).cast<std::string>());
            if (key == "type_key" || key == "repr_str" || key == "repr_b64") {
                if (!is_str(value)) throw Refusal(node_name(i, "") + ": " + key + " is not a string");
                if (key == "type_key") node.type_key = std::string(utf8(value));
            }
        }
        const std::string where = node_name(i, node.type_key);
        if (fields.contains("repr_b64")) {
            std::string_view text = utf8(fields["repr_b64"]);
            std::optional<std::size_t> size = base64_size(text);
            if (!size) throw Refusal(where + ": repr_b64 is not base64");
            if (!text.empty()) {
                std::string head = base64_prefix(text, 8);
                Bytes bytes(head, *size);
                if (bytes.u64("repr_b64") > bytes.remaining())
                    throw Refusal(where + ": repr_b64 declares more bytes than it holds");
            }
            node.has_repr = !text.empty();
        }
        if (fields.contains("repr_str")) node.has_repr = node.has_repr || py::len(fields["repr_str"]) > 0;
        if (node.has_repr && !kReadFromRepr.count(node.type_key))
            throw Refusal(where + ": holds its value as a repr string, which TVM reads only for " +
                          "Op, SourceName, runtime.String and other boxed values");
        if (fields.contains("attrs")) {
            py::object attrs = fields["attrs"];
            if (!PyDict_Check(attrs.ptr())) throw Refusal(where + ": attrs is not a JSON object");
            for (auto entry : py::reinterpret_borrow<py::dict>(attrs))
                if (!is_str(entry.second))
                    throw Refusal(where + ": attribute " + py::str(entry.first).cast<std::string>() +
                                  " is not a string");
            node.attrs = py::reinterpret_borrow<py::dict>(attrs);
        }
        std::size_t keys = 0, references = 0;
        if (fields.contains("keys")) {
            py::object listed_keys = fields["keys"];
            if (!PyList_Check(listed_keys.ptr())) throw Refusal(where + ": keys is not a list");
            for (py::handle key : listed_keys)
                if (!is_str(key)) throw Refusal(where + ": a key is not a string");
            keys = py::len(listed_keys);
        }
        if (fields.contains("data")) {
            py::object refs = fields["data"];
            if (!PyList_Check(refs.ptr())) throw Refusal(where + ": data is not a list");
            for (py::handle ref : refs) {
                if (!is_int(ref) || ref.cast<long double>() < 0 || ref.cast<long double>() >= count)
                    throw Refusal(where + " refers to node " + py::str(ref).cast<std::string>() + ", not one of its " +
                                  std::to_string(count) + " nodes");
            }
            references = py::len(refs);
            for (py::handle ref : refs) references_of[i].push_back(ref.cast<std::size_t>());
        }
        string_keyed[i] = keys > 0;
        if (node.type_key == "Map" && (keys ? keys != references : references % 2 != 0))
            throw Refusal(where + ": its keys and values do not pair up");
    }

    auto kinds = field_kinds(nodes);
    for (std::size_t i = 0; i < count; ++i) {
        const Node& node = nodes[i];
        auto found = kinds.find(node.type_key);
        if (node.has_repr || found == kinds.end()) continue;
        for (const auto& [name, kind] : found->second) {
            if (kind == Field::value || !node.attrs.contains(name)) continue;
            std::optional<unsigned long long> ref = read_index(utf8(node.attrs[py::str(name)]));
            if (!ref) continue;  // TVM reports the format itself
            if (*ref == 0 && node.type_key == kDictAttrs)
                throw Refusal(node_name(i, node.type_key) + " has no map of attributes");
            std::size_t limit = kind == Field::object ? count : tensors;
            if (*ref >= limit)
                throw Refusal(node_name(i, node.type_key) + ": " + name + " refers to " +
                              (kind == Field::object ? "node " : "tensor ") + std::to_string(*ref) + ", not one of its " +
                              std::to_string(limit) + (kind == Field::object ? " nodes" : " tensors"));
        }
    }
    check_relay_references(nodes, references_of, string_keyed, kinds);
}

}  // namespace vexa::formats
