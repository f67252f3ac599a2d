#include "document.h"

#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/exceptions.h>
#include <yaml-cpp/mark.h>
#include <yaml-cpp/parser.h>

#include <cstdint>
#include <istream>
#include <optional>
#include <streambuf>

#include "arch_table.h"
#include "scalars.h"
#include "vexakov.h"

namespace vexakov {
namespace {

// ---------------------------------------------------------------------------
// Parsing: yaml-cpp events into a flat node table.
//
// yaml-cpp's parser recurses once per nesting level. Every level starts with a
// collection-start event, so refusing the (VEXAKOV_MAX_DEPTH+1)-th open
// collection from the handler caps that recursion no matter how deep the
// text nests. Building our own table instead of YAML::Node also keeps
// aliases as shared indices (no expansion) and is cheaper.

struct YNode {
  enum Kind : uint8_t { kNull, kScalar, kSeq, kMap };
  Kind kind = kNull;
  std::string tag;               // "?" plain, "!" quoted/block, or explicit
  std::string text;              // scalars only
  std::vector<uint32_t> items;   // seq: elements; map: key, value, key, ...
};

struct Rejected {};  // thrown from the handler; the text is malformed

class TreeBuilder final : public YAML::EventHandler {
 public:
  std::vector<YNode> nodes;
  std::optional<uint32_t> root;

  void OnDocumentStart(const YAML::Mark&) override {
    // A second document means the text is not one architecture; stop before
    // parsing any of it.
    if (started_) throw Rejected{};
    started_ = true;
  }
  void OnDocumentEnd() override {}

  void OnNull(const YAML::Mark&, YAML::anchor_t anchor) override {
    add(YNode::kNull, "", "", anchor);
  }
  void OnAlias(const YAML::Mark&, YAML::anchor_t anchor) override {
    auto it = anchors_.find(anchor);
    if (it == anchors_.end()) throw Rejected{};
    attach(it->second);
  }
  void OnScalar(const YAML::Mark&, const std::string& tag,
                YAML::anchor_t anchor, const std::string& value) override {
    add(YNode::kScalar, tag, value, anchor);
  }
  void OnSequenceStart(const YAML::Mark&, const std::string& tag,
                       YAML::anchor_t anchor, YAML::EmitterStyle::value) override {
    open(YNode::kSeq, tag, anchor);
  }
  void OnSequenceEnd() override { open_.pop_back(); }
  void OnMapStart(const YAML::Mark&, const std::string& tag,
                  YAML::anchor_t anchor, YAML::EmitterStyle::value) override {
    open(YNode::kMap, tag, anchor);
  }
  void OnMapEnd() override { open_.pop_back(); }

 private:
  void open(YNode::Kind kind, const std::string& tag, YAML::anchor_t anchor) {
    if (open_.size() >= VEXAKOV_MAX_DEPTH) throw Rejected{};
    open_.push_back(add(kind, tag, "", anchor));
  }
  uint32_t add(YNode::Kind kind, const std::string& tag, const std::string& text,
               YAML::anchor_t anchor) {
    uint32_t idx = uint32_t(nodes.size());
    nodes.push_back(YNode{kind, tag, text, {}});
    // Registered before the children are seen, as yaml-cpp does, so a
    // collection may contain an alias to itself; nothing here walks the
    // table recursively, so that cycle is harmless.
    if (anchor != YAML::NullAnchor) anchors_[anchor] = idx;
    attach(idx);
    return idx;
  }
  void attach(uint32_t idx) {
    if (open_.empty()) {
      if (root) throw Rejected{};
      root = idx;
    } else {
      nodes[open_.back()].items.push_back(idx);
    }
  }

  bool started_ = false;
  std::vector<uint32_t> open_;
  std::unordered_map<YAML::anchor_t, uint32_t> anchors_;
};

// Read-only streambuf over the caller's text, so it is not copied.
class ViewBuf final : public std::streambuf {
 public:
  explicit ViewBuf(std::string_view s) {
    char* p = const_cast<char*>(s.data());
    setg(p, p, p + s.size());
  }
};

// false when the text is not exactly one YAML document.
bool parse(std::string_view text, TreeBuilder* tree) {
  ViewBuf buf(text);
  std::istream in(&buf);
  try {
    YAML::Parser parser(in);
    if (!parser.HandleNextDocument(*tree)) return false;
    if (parser.HandleNextDocument(*tree)) return false;
  } catch (const YAML::Exception&) {
    return false;
  } catch (const Rejected&) {
    return false;
  }
  return tree->root.has_value();
}

// ---------------------------------------------------------------------------
// Resolution: the node table into parameters and operators.

constexpr const char* kYamlStr = "tag:yaml.org,2002:str";

enum class Value { kAbsent, kPresent, kBad };

bool has_nul(const std::string& s) { return s.find('\0') != std::string::npos; }

std::string ascii_lower(std::string_view s) {
  std::string lower;
  for (char c : s) lower.push_back(char(c >= 'A' && c <= 'Z' ? c + 32 : c));
  return lower;
}

// A flag as "1" or "", from any of the ways writers spell one ('0', no,
// False, ...). Every false spelling must read as "": the checks test the
// text's truth, so a non-empty "0" would turn the flag on. False when the
// text is no flag at all.
bool flag_value(const std::string& text, std::string* out) {
  const std::string lower = ascii_lower(text);
  if (lower == "1" || lower == "true" || lower == "yes" || lower == "on") {
    out->assign("1");
    return true;
  }
  if (lower.empty() || lower == "0" || lower == "false" || lower == "no" || lower == "off") {
    out->clear();
    return true;
  }
  return false;
}

// A parameter value as the Python side would read it back as text.
Value scalar_value(const YNode& n, std::string* out) {
  if (n.kind == YNode::kNull) return Value::kAbsent;
  if (n.kind != YNode::kScalar) return Value::kBad;
  // The C side cannot hand back text with an embedded NUL without the caller
  // seeing it cut short.
  if (has_nul(n.text)) return Value::kBad;
  const std::string& tag = n.tag;
  PlainKind kind;
  if (tag == "?") {
    kind = classify_plain(n.text);
  } else if (tag == "!" || tag == kYamlStr) {
    kind = PlainKind::Str;
  } else if (tag == "tag:yaml.org,2002:null") {
    return Value::kAbsent;
  } else if (tag == "tag:yaml.org,2002:int") {
    if (classify_plain(n.text) != PlainKind::Int) return Value::kBad;
    kind = PlainKind::Int;
  } else if (tag == "tag:yaml.org,2002:bool") {
    const std::string lower = ascii_lower(n.text);
    if (lower == "yes" || lower == "true" || lower == "on") {
      out->assign("1");
      return Value::kPresent;
    }
    if (lower == "no" || lower == "false" || lower == "off") {
      out->clear();
      return Value::kPresent;
    }
    return Value::kBad;
  } else if (tag == "tag:yaml.org,2002:float") {
    kind = PlainKind::Float;
  } else {
    return Value::kBad;  // yaml.safe_load could not construct it either
  }
  switch (kind) {
    case PlainKind::Null:
      return Value::kAbsent;
    case PlainKind::Bool:
      // False reads as "" so Python's truthiness test on the text works.
      out->assign(plain_bool_value(n.text) ? "1" : "");
      return Value::kPresent;
    case PlainKind::Int:
      return int_to_decimal(n.text, out) ? Value::kPresent : Value::kBad;
    default:
      out->assign(n.text);
      return Value::kPresent;
  }
}

bool is_string_scalar(const YNode& n) {
  if (n.kind != YNode::kScalar || has_nul(n.text)) return false;
  if (n.tag == "?") return classify_plain(n.text) == PlainKind::Str;
  return n.tag == "!" || n.tag == kYamlStr;
}

const YNode* key_scalar(const std::vector<YNode>& nodes, uint32_t idx) {
  const YNode& k = nodes[idx];
  if (k.kind != YNode::kScalar || has_nul(k.text)) return nullptr;
  return &k;
}

// A comma-separated list, as "operators" answers it: the same text given back
// as a description must mean the same list. Items are trimmed and empty ones
// skipped, so "Conv2d, Dense," is two operators.
std::vector<std::string> split_operators(std::string_view rest) {
  constexpr std::string_view kSpace = " \t\r\n";
  std::vector<std::string> ops;
  while (true) {
    size_t comma = rest.find(',');
    std::string_view item = rest.substr(0, comma);
    size_t first = item.find_first_not_of(kSpace);
    if (first != std::string_view::npos) {
      ops.emplace_back(item.substr(first, item.find_last_not_of(kSpace) + 1 - first));
    }
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return ops;
}

void start_from(const BuiltinArch& a, Outcome* o) {
  o->params = builtin_params(a);
  o->operators = split_operators(a.operators);
}

// An inline description: optional base, optional operators, parameters.
int resolve_description(const std::vector<YNode>& nodes, const YNode& desc,
                        Outcome* o) {
  const YNode* base = nullptr;
  std::optional<std::vector<std::string>> ops;
  std::vector<std::pair<std::string, std::optional<std::string>>> overrides;
  std::unordered_set<std::string> seen;

  for (size_t i = 0; i + 1 < desc.items.size(); i += 2) {
    const YNode* key = key_scalar(nodes, desc.items[i]);
    if (key == nullptr) return VEXAKOV_E_MALFORMED;
    const std::string& name = key->text;
    // PyYAML would keep only the last of duplicate keys; refuse instead of
    // guessing which one the writer meant.
    if (!seen.insert(name).second) return VEXAKOV_E_MALFORMED;
    const YNode& value = nodes[desc.items[i + 1]];
    if (name == "base") {
      if (value.kind == YNode::kSeq || value.kind == YNode::kMap) return VEXAKOV_E_MALFORMED;
      base = value.kind == YNode::kNull ? nullptr : &value;
    } else if (name == "operators") {
      if (value.kind == YNode::kNull) continue;
      if (is_string_scalar(value)) {
        ops = split_operators(value.text);
        continue;
      }
      if (value.kind != YNode::kSeq) return VEXAKOV_E_MALFORMED;
      ops.emplace();
      for (uint32_t e : value.items) {
        if (!is_string_scalar(nodes[e])) return VEXAKOV_E_MALFORMED;
        ops->push_back(nodes[e].text);
      }
    } else if (name == "arch" || name == "parameters" || name == "builtin_architectures") {
      // Would shadow a query name or make the document ambiguous.
      return VEXAKOV_E_MALFORMED;
    } else {
      std::string text;
      switch (scalar_value(value, &text)) {
        case Value::kBad:
          return VEXAKOV_E_MALFORMED;
        case Value::kAbsent:
          overrides.emplace_back(name, std::nullopt);
          break;
        case Value::kPresent:
          if (is_flag_param(name) && !flag_value(text, &text)) return VEXAKOV_E_MALFORMED;
          overrides.emplace_back(name, std::move(text));
          break;
      }
    }
  }

  if (base != nullptr) {
    const BuiltinArch* a = find_builtin_arch(base->text.data(), base->text.size());
    if (a == nullptr) return VEXAKOV_E_UNKNOWN_ARCH;
    start_from(*a, o);
  }
  if (ops) o->operators = std::move(*ops);

  std::unordered_map<std::string, size_t> pos;
  for (size_t i = 0; i < o->params.size(); ++i) pos.emplace(o->params[i].first, i);
  std::vector<bool> removed(o->params.size(), false);
  for (auto& [name, value] : overrides) {
    auto it = pos.find(name);
    if (it != pos.end()) {
      if (value) {
        o->params[it->second].second = std::move(*value);
      } else {
        removed[it->second] = true;  // a null override takes the base's away
      }
    } else if (value) {
      o->params.emplace_back(name, std::move(*value));
      removed.push_back(false);
    }
  }
  size_t kept = 0;
  for (size_t i = 0; i < o->params.size(); ++i) {
    if (removed[i]) continue;
    if (kept != i) o->params[kept] = std::move(o->params[i]);
    ++kept;
  }
  o->params.resize(kept);
  return VEXAKOV_OK;
}

int resolve(const std::vector<YNode>& nodes, uint32_t root, Outcome* o) {
  const YNode& doc = nodes[root];
  if (doc.kind != YNode::kMap) return VEXAKOV_E_MALFORMED;

  const YNode* arch = nullptr;
  for (size_t i = 0; i + 1 < doc.items.size(); i += 2) {
    const YNode& key = nodes[doc.items[i]];
    if (key.kind == YNode::kScalar && key.text == "arch") {
      if (arch != nullptr) return VEXAKOV_E_MALFORMED;
      arch = &nodes[doc.items[i + 1]];
    }
  }
  if (arch == nullptr) return resolve_description(nodes, doc, o);
  if (arch->kind == YNode::kMap) return resolve_description(nodes, *arch, o);
  if (arch->kind != YNode::kScalar) return VEXAKOV_E_MALFORMED;
  // A build configuration: "arch" names a built-in, other keys are not ours.
  const BuiltinArch* a = find_builtin_arch(arch->text.data(), arch->text.size());
  if (a == nullptr) return VEXAKOV_E_UNKNOWN_ARCH;
  start_from(*a, o);
  return VEXAKOV_OK;
}

std::string join(const std::vector<std::string>& items) {
  std::string s;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i != 0) s.push_back(',');
    s.append(items[i]);
  }
  return s;
}

}  // namespace

std::shared_ptr<const Outcome> evaluate(std::string_view text) {
  auto o = std::make_shared<Outcome>();
  TreeBuilder tree;
  if (!parse(text, &tree)) {
    o->status = VEXAKOV_E_MALFORMED;
    return o;
  }
  o->status = resolve(tree.nodes, *tree.root, o.get());
  if (o->status != VEXAKOV_OK) {
    o->params.clear();
    o->operators.clear();
    return o;
  }
  std::vector<std::string> names;
  names.reserve(o->params.size());
  for (size_t i = 0; i < o->params.size(); ++i) {
    o->param_index.emplace(o->params[i].first, i);
    names.push_back(o->params[i].first);
  }
  o->param_list = join(names);
  o->operator_list = join(o->operators);
  o->operator_set.insert(o->operators.begin(), o->operators.end());
  return o;
}

const std::string& builtin_arch_list() {
  static const std::string list = [] {
    size_t n = 0;
    const BuiltinArch* a = builtin_archs(&n);
    std::vector<std::string> names;
    for (size_t i = 0; i < n; ++i) names.emplace_back(a[i].name);
    return join(names);
  }();
  return list;
}

}  // namespace vexakov
