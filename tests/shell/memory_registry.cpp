#include "tests/shell/memory_registry.h"

#include <algorithm>
#include <cstdio>

namespace corvane::testing {
namespace {

constexpr long kNotFound = 2;       // ERROR_FILE_NOT_FOUND
constexpr long kAccessDenied = 5;   // ERROR_ACCESS_DENIED
constexpr long kInvalidHandle = 6;  // ERROR_INVALID_HANDLE
constexpr long kNoMoreItems = 259;  // ERROR_NO_MORE_ITEMS

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return text;
}

std::vector<std::string> split(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t slash = path.find('\\', start);
    parts.push_back(path.substr(start, slash - start));
    if (slash == std::string::npos) return parts;
    start = slash + 1;
  }
}

const char* rootName(RootKey key) {
  switch (key) {
    case RootKey::ClassesRoot: return "HKCR";
    case RootKey::CurrentUser: return "HKCU";
    case RootKey::LocalMachine: return "HKLM";
    case RootKey::Users: return "HKU";
    case RootKey::PerformanceData: return "HKPD";
    case RootKey::DynData: return "HKDD";
    case RootKey::CurrentConfig: return "HKCC";
  }
  return "?";
}

}  // namespace

MemoryRegistry::MemoryRegistry() {
  for (int index = 0; index <= static_cast<int>(RootKey::CurrentConfig); ++index) {
    auto node = std::make_unique<Node>();
    node->name = rootName(static_cast<RootKey>(index));
    roots_[static_cast<RootKey>(index)] = std::move(node);
  }
}

RegistryAccess::Key MemoryRegistry::root(RootKey which) { return static_cast<Key>(which) + 1; }

const MemoryRegistry::Handle* MemoryRegistry::handle(Key key) const {
  static Handle rootHandles[7];
  if (key >= 1 && key <= 7) {
    rootHandles[key - 1] = Handle{roots_.at(static_cast<RootKey>(key - 1)).get(), true};
    return &rootHandles[key - 1];
  }
  const auto found = handles_.find(key);
  return found == handles_.end() ? nullptr : &found->second;
}

RegistryAccess::Key MemoryRegistry::newHandle(Node* node, bool writable) {
  const Key key = nextHandle_++;
  handles_[key] = Handle{node, writable};
  return key;
}

long MemoryRegistry::openKey(Key parent, const std::string& name, Access access, Key* out) {
  const Handle* owner = handle(parent);
  if (owner == nullptr) return kInvalidHandle;
  const auto child = owner->node->children.find(lower(name));
  if (child == owner->node->children.end()) return kNotFound;
  const bool writable = access != Access::Read;
  if (writable && child->second->readOnly) return kAccessDenied;
  *out = newHandle(child->second.get(), writable);
  return 0;
}

long MemoryRegistry::createKey(Key parent, const std::string& name, Key* out) {
  const Handle* owner = handle(parent);
  if (owner == nullptr) return kInvalidHandle;
  auto& children = owner->node->children;
  auto child = children.find(lower(name));
  if (child == children.end()) {
    if (owner->node->refuseNewSubkeys) return kAccessDenied;
    auto node = std::make_unique<Node>();
    node->name = name;
    child = children.emplace(lower(name), std::move(node)).first;
  }
  if (child->second->readOnly) return kAccessDenied;
  *out = newHandle(child->second.get(), true);
  return 0;
}

long MemoryRegistry::closeKey(Key key) {
  if (key >= 1 && key <= 7) return 0;
  return handles_.erase(key) == 1 ? 0 : kInvalidHandle;
}

long MemoryRegistry::setValue(Key key, const std::string* name, std::uint32_t type,
                              const std::vector<unsigned char>& data) {
  const Handle* owner = handle(key);
  if (owner == nullptr) return kInvalidHandle;
  if (!owner->writable) return kAccessDenied;
  owner->node->values[lower(name ? *name : std::string())] = Value{type, data};
  return 0;
}

long MemoryRegistry::deleteValue(Key key, const std::string& name) {
  const Handle* owner = handle(key);
  if (owner == nullptr) return kInvalidHandle;
  if (!owner->writable) return kAccessDenied;
  return owner->node->values.erase(lower(name)) == 1 ? 0 : kNotFound;
}

long MemoryRegistry::deleteKey(Key parent, const std::string& name) {
  const Handle* owner = handle(parent);
  if (owner == nullptr) return kInvalidHandle;
  const auto child = owner->node->children.find(lower(name));
  if (child == owner->node->children.end()) return kNotFound;
  if (child->second->readOnly || !child->second->children.empty()) return kAccessDenied;
  for (const auto& open : handles_) {
    if (open.second.node == child->second.get()) return kAccessDenied;  // keep the model simple
  }
  owner->node->children.erase(child);
  return 0;
}

long MemoryRegistry::enumerateKey(Key key, std::uint32_t index, std::string* name) {
  const Handle* owner = handle(key);
  if (owner == nullptr) return kInvalidHandle;
  if (index >= owner->node->children.size()) return kNoMoreItems;
  auto child = owner->node->children.begin();
  std::advance(child, index);
  *name = child->second->name;
  return 0;
}

long MemoryRegistry::countSubkeys(Key key, std::uint32_t* count) {
  const Handle* owner = handle(key);
  if (owner == nullptr) return kInvalidHandle;
  *count = static_cast<std::uint32_t>(owner->node->children.size());
  return 0;
}

MemoryRegistry::Node* MemoryRegistry::find(const std::string& path) const {
  const std::vector<std::string> parts = split(path);
  const std::optional<RootKey> root = rootKeyFromName(parts[0]);
  if (!root) return nullptr;
  Node* node = roots_.at(*root).get();
  for (size_t index = 1; index < parts.size() && node != nullptr; ++index) {
    const auto child = node->children.find(lower(parts[index]));
    node = child == node->children.end() ? nullptr : child->second.get();
  }
  return node;
}

MemoryRegistry::Node* MemoryRegistry::make(const std::string& path) {
  const std::vector<std::string> parts = split(path);
  Node* node = roots_.at(*rootKeyFromName(parts[0])).get();
  for (size_t index = 1; index < parts.size(); ++index) {
    auto& slot = node->children[lower(parts[index])];
    if (!slot) {
      slot = std::make_unique<Node>();
      slot->name = parts[index];
    }
    node = slot.get();
  }
  return node;
}

void MemoryRegistry::addKey(const std::string& path) { make(path); }

void MemoryRegistry::setString(const std::string& path, const std::string& name, const std::string& value) {
  std::vector<unsigned char> data(value.begin(), value.end());
  data.push_back(0);
  make(path)->values[lower(name)] = Value{1, data};
}

bool MemoryRegistry::exists(const std::string& path) const { return find(path) != nullptr; }

std::optional<MemoryRegistry::Value> MemoryRegistry::value(const std::string& path, const std::string& name) const {
  const Node* node = find(path);
  if (node == nullptr) return std::nullopt;
  const auto found = node->values.find(lower(name));
  if (found == node->values.end()) return std::nullopt;
  return found->second;
}

std::optional<std::string> MemoryRegistry::stringValue(const std::string& path, const std::string& name) const {
  const std::optional<Value> found = value(path, name);
  if (!found || found->type != 1 || found->data.empty()) return std::nullopt;
  return std::string(found->data.begin(), found->data.end() - 1);
}

std::vector<std::string> MemoryRegistry::subkeys(const std::string& path) const {
  std::vector<std::string> names;
  if (const Node* node = find(path)) {
    for (const auto& child : node->children) names.push_back(child.second->name);
  }
  return names;
}

size_t MemoryRegistry::valueCount(const std::string& path) const {
  const Node* node = find(path);
  return node ? node->values.size() : 0;
}

void MemoryRegistry::makeReadOnly(const std::string& path) { make(path)->readOnly = true; }
void MemoryRegistry::refuseNewSubkeys(const std::string& path) { make(path)->refuseNewSubkeys = true; }

void MemoryRegistry::dumpNode(const Node& node, const std::string& path, std::string& out) {
  out += path + "\n";
  for (const auto& value : node.values) {
    out += path + " [" + value.first + "] type " + std::to_string(value.second.type) + ":";
    for (unsigned char byte : value.second.data) {
      char hex[4];
      std::snprintf(hex, sizeof hex, " %02x", byte);
      out += hex;
    }
    out += "\n";
  }
  for (const auto& child : node.children) dumpNode(*child.second, path + "\\" + child.second->name, out);
}

std::string MemoryRegistry::dump() const {
  std::string out;
  for (const auto& root : roots_) dumpNode(*root.second, root.second->name, out);
  return out;
}

}  // namespace corvane::testing
