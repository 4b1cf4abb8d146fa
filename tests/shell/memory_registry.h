// An in-memory registry for the script walk: names compare without regard to case,
// keys can be made read-only or refuse new subkeys, and every handle is counted so a
// test can see that the walk closed what it opened.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "shell/registry_script.h"

namespace corvane::testing {

class MemoryRegistry final : public RegistryAccess {
 public:
  struct Value {
    std::uint32_t type;
    std::vector<unsigned char> data;
  };

  MemoryRegistry();

  Key root(RootKey which) override;
  long openKey(Key parent, const std::string& name, Access access, Key* out) override;
  long createKey(Key parent, const std::string& name, Key* out) override;
  long closeKey(Key key) override;
  long setValue(Key key, const std::string* name, std::uint32_t type,
                const std::vector<unsigned char>& data) override;
  long deleteValue(Key key, const std::string& name) override;
  long deleteKey(Key parent, const std::string& name) override;
  long enumerateKey(Key key, std::uint32_t index, std::string* name) override;
  long countSubkeys(Key key, std::uint32_t* count) override;

  // Paths are "HKCR\a\b"; an empty value name is the default value.
  void addKey(const std::string& path);
  void setString(const std::string& path, const std::string& name, const std::string& value);
  bool exists(const std::string& path) const;
  std::optional<Value> value(const std::string& path, const std::string& name) const;
  std::optional<std::string> stringValue(const std::string& path, const std::string& name) const;
  std::vector<std::string> subkeys(const std::string& path) const;
  size_t valueCount(const std::string& path) const;
  void makeReadOnly(const std::string& path);
  void refuseNewSubkeys(const std::string& path);
  // Every key and value below the roots, one line each, for whole-state comparisons.
  std::string dump() const;
  size_t openHandles() const { return handles_.size(); }

 private:
  struct Node {
    std::string name;
    std::map<std::string, std::unique_ptr<Node>> children;  // by lower-case name
    std::map<std::string, Value> values;                    // by lower-case name
    bool readOnly = false;
    bool refuseNewSubkeys = false;
  };
  struct Handle {
    Node* node;
    bool writable;
  };

  Node* find(const std::string& path) const;
  Node* make(const std::string& path);
  const Handle* handle(Key key) const;
  Key newHandle(Node* node, bool writable);
  static void dumpNode(const Node& node, const std::string& path, std::string& out);

  std::map<RootKey, std::unique_ptr<Node>> roots_;
  std::map<Key, Handle> handles_;
  Key nextHandle_ = 1000;
};

}  // namespace corvane::testing
