// The C entry points. Everything below them is C++ and may throw; nothing
// may cross this boundary, so each entry point catches all.
#include "vexakov.h"

#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "document.h"

namespace vexakov {
namespace {

// Parsing even a two-line document with yaml-cpp costs several microseconds,
// which alone eats most of a query's budget on the Python side, and callers
// ask many questions about the same few texts. So resolved outcomes are kept
// in a small LRU keyed by the exact text.
class OutcomeCache {
 public:
  static constexpr size_t kMaxEntries = 64;
  static constexpr size_t kMaxKeyBytes = 1 << 20;

  std::shared_ptr<const Outcome> find(std::string_view text) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = index_.find(text);
    if (it == index_.end()) return nullptr;
    lru_.splice(lru_.begin(), lru_, it->second);
    return it->second->outcome;
  }

  // Returns the cached outcome for `text`: `fresh`, or one another thread
  // inserted first.
  std::shared_ptr<const Outcome> insert(std::string_view text,
                                        std::shared_ptr<const Outcome> fresh) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = index_.find(text);
    if (it != index_.end()) return it->second->outcome;
    lru_.push_front(Entry{std::string(text), fresh});
    // The view points into the list node, which never moves.
    index_.emplace(lru_.front().text, lru_.begin());
    key_bytes_ += text.size();
    while (lru_.size() > kMaxEntries || key_bytes_ > kMaxKeyBytes) {
      const Entry& old = lru_.back();
      key_bytes_ -= old.text.size();
      index_.erase(old.text);
      lru_.pop_back();
    }
    return fresh;
  }

 private:
  struct Entry {
    std::string text;
    std::shared_ptr<const Outcome> outcome;
  };
  std::mutex mu_;
  std::list<Entry> lru_;  // most recently used first
  std::unordered_map<std::string_view, std::list<Entry>::iterator> index_;
  size_t key_bytes_ = 0;
};

OutcomeCache& cache() {
  // Never destroyed: a thread still querying during process exit must not
  // find it torn down.
  static OutcomeCache* c = new OutcomeCache;
  return *c;
}

// Status of the pre-parse checks, or VEXAKOV_OK with *outcome set.
int lookup(const char* arch, std::shared_ptr<const Outcome>* outcome) {
  // strnlen: never read further than one byte past the cap.
  size_t len = strnlen(arch, VEXAKOV_MAX_ARCH_BYTES + 1);
  if (len > VEXAKOV_MAX_ARCH_BYTES) return VEXAKOV_E_TOO_LARGE;
  std::string_view text(arch, len);
  *outcome = cache().find(text);
  if (!*outcome) *outcome = cache().insert(text, evaluate(text));
  return (*outcome)->status;
}

int answer(const char* arch, const char* name, char* out, size_t out_size) {
  std::shared_ptr<const Outcome> o;
  int status = lookup(arch, &o);
  if (status != VEXAKOV_OK) return status;

  const std::string* value = nullptr;
  if (std::strcmp(name, "parameters") == 0) {
    value = &o->param_list;
  } else if (std::strcmp(name, "operators") == 0) {
    value = &o->operator_list;
  } else if (std::strcmp(name, "builtin_architectures") == 0) {
    value = &builtin_arch_list();
  } else {
    auto it = o->param_index.find(name);
    if (it == o->param_index.end()) return VEXAKOV_E_UNKNOWN_PARAM;
    value = &o->params[it->second].second;
  }
  if (value->size() >= out_size) return VEXAKOV_E_NO_ROOM;
  std::memcpy(out, value->data(), value->size());
  out[value->size()] = '\0';
  return VEXAKOV_OK;
}

}  // namespace
}  // namespace vexakov

extern "C" VEXAKOV_API int ArchqueryParameter_Py(const char* arch, const char* name,
                                                 char* out, size_t out_size) {
  if (out != nullptr && out_size > 0) out[0] = '\0';
  if (arch == nullptr || name == nullptr || out == nullptr || out_size == 0) {
    return VEXAKOV_E_NULL_ARG;
  }
  int status;
  try {
    status = vexakov::answer(arch, name, out, out_size);
  } catch (...) {
    status = VEXAKOV_E_INTERNAL;
  }
  if (status != VEXAKOV_OK) out[0] = '\0';
  return status;
}

extern "C" VEXAKOV_API int ArchSupportsOperator_Py(const char* arch,
                                                   const char* operator_id) {
  if (arch == nullptr || operator_id == nullptr) return 0;
  try {
    std::shared_ptr<const vexakov::Outcome> o;
    if (vexakov::lookup(arch, &o) != VEXAKOV_OK) return 0;
    return o->operator_set.count(operator_id) != 0 ? 1 : 0;
  } catch (...) {
    return 0;
  }
}
