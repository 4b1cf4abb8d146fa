#include "shell/registry_script.h"

#include <new>

#include "base/ascii.h"

namespace corvane {
namespace {

// The token buffer holds 4096 bytes with its null; a quoted token stops two short of it.
constexpr std::size_t kQuotedTokenLimit = 4094;
constexpr std::size_t kUnquotedTokenLimit = 4095;
constexpr std::size_t kValueNameLimit = 259;
constexpr std::size_t kVariableNameLimit = 31;

bool isWhitespace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool isProtectedName(const std::string& name) {
  return equalsIgnoringAsciiCase(name, "CLSID") || equalsIgnoringAsciiCase(name, "TYPELIB");
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;  // anything else counts as 0
}

// Strict unsigned 32-bit decimal: digits only, no sign, no spaces, no overflow.
std::optional<std::uint32_t> parseDword(const std::string& text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > 0xFFFFFFFFu) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

#define SCRIPT_TRY(expression)                         \
  do {                                                 \
    const ScriptResult scriptResult_ = (expression);   \
    if (scriptResult_ != kScriptOk) return scriptResult_; \
  } while (false)

// An opened key of the walk, closed when the entry is done.
class WalkKey {
 public:
  explicit WalkKey(RegistryAccess& registry) : registry_(registry) {}
  ~WalkKey() { close(); }
  WalkKey(const WalkKey&) = delete;
  WalkKey& operator=(const WalkKey&) = delete;
  RegistryAccess::Key* put() { return &key_; }
  RegistryAccess::Key get() const { return key_; }
  void markOpen() { open_ = true; }
  long close() {
    if (!open_) return 0;
    open_ = false;
    return registry_.closeKey(key_);
  }

 private:
  RegistryAccess& registry_;
  RegistryAccess::Key key_ = 0;
  bool open_ = false;
};

class ScriptWalker {
 public:
  ScriptWalker(const std::string& text, RegistryAccess& registry, const CodePage& codePage)
      : text_(text), registry_(registry), codePage_(codePage) {}

  ScriptResult walk(bool registering) {
    while (!atEnd()) {
      SCRIPT_TRY(readToken());
      const std::optional<RootKey> root = rootKeyFromName(token_);
      if (!root) return kScriptSyntax;
      SCRIPT_TRY(readToken());
      if (token_.empty() || token_[0] != '{') return kScriptSyntax;
      const std::size_t blockStart = position_;
      const RegistryAccess::Key rootKey = registry_.root(*root);
      if (registering) {
        const ScriptResult result = registerBlock(rootKey);
        if (result != kScriptOk) {
          // Undo what this root block describes, as far as the removal pass reaches.
          position_ = blockStart;
          removeBlock(rootKey, false);
          return result;
        }
      } else {
        SCRIPT_TRY(removeBlock(rootKey, false));
      }
      skipWhitespace();
    }
    return kScriptOk;
  }

 private:
  bool atEnd() const { return position_ >= text_.size() || text_[position_] == '\0'; }

  // Length of the character at the position: a lead byte takes its trail byte along.
  std::size_t characterLength() const {
    const auto byte = static_cast<unsigned char>(text_[position_]);
    if (codePage_.isLeadByte && codePage_.isLeadByte(byte) && position_ + 1 < text_.size() &&
        text_[position_ + 1] != '\0') {
      return 2;
    }
    return 1;
  }

  void skipWhitespace() {
    while (!atEnd() && isWhitespace(text_[position_])) ++position_;
  }

  ScriptResult readToken() {
    skipWhitespace();
    if (atEnd()) return kScriptSyntax;
    token_.clear();
    if (text_[position_] == '\'') {
      ++position_;
      for (;;) {
        if (atEnd()) return kScriptSyntax;
        std::size_t length = 1;
        if (text_[position_] == '\'') {
          if (position_ + 1 < text_.size() && text_[position_ + 1] == '\'') {
            if (token_.size() + 1 > kQuotedTokenLimit) return kScriptSyntax;
            token_.push_back('\'');
            position_ += 2;
            continue;
          }
          ++position_;
          return kScriptOk;
        }
        length = characterLength();
        if (token_.size() + length > kQuotedTokenLimit) return kScriptSyntax;
        token_.append(text_, position_, length);
        position_ += length;
      }
    }
    while (!atEnd() && !isWhitespace(text_[position_])) {
      const std::size_t length = characterLength();
      if (token_.size() + length > kUnquotedTokenLimit) return kScriptSyntax;
      token_.append(text_, position_, length);
      position_ += length;
    }
    return kScriptOk;
  }

  bool tokenIs(const char* word) const { return equalsIgnoringAsciiCase(token_, word); }
  bool blockEnds() const { return !token_.empty() && token_[0] == '}'; }

  ScriptResult skipAssignment() {
    if (token_ != "=") return kScriptOk;
    SCRIPT_TRY(readToken());
    SCRIPT_TRY(readToken());
    return readToken();
  }

  // Reads "type value" and writes it; the token after the value becomes current.
  ScriptResult setValue(RegistryAccess::Key key, const std::string* name) {
    SCRIPT_TRY(readToken());
    const std::string type = token_;
    if (!equalsIgnoringAsciiCase(type, "S") && !equalsIgnoringAsciiCase(type, "D") && !equalsIgnoringAsciiCase(type, "B")) {
      return kScriptSyntax;
    }
    SCRIPT_TRY(readToken());
    const std::string& value = token_;
    std::vector<unsigned char> data;
    std::uint32_t kind = kValueString;
    if (equalsIgnoringAsciiCase(type, "S")) {
      data.assign(value.begin(), value.end());
      data.push_back(0);
    } else if (equalsIgnoringAsciiCase(type, "D")) {
      const std::optional<std::uint32_t> number = parseDword(value);
      if (!number) return kScriptSyntax;
      kind = kValueDword;
      for (int shift = 0; shift < 32; shift += 8) data.push_back(static_cast<unsigned char>(*number >> shift));
    } else {
      if (value.size() % 2 != 0) return kScriptFail;
      kind = kValueBinary;
      for (std::size_t i = 0; i < value.size(); i += 2) {
        data.push_back(static_cast<unsigned char>(hexDigit(value[i]) << 4 | hexDigit(value[i + 1])));
      }
    }
    // A key opened only for reading cannot take the value; that is not an error.
    registry_.setValue(key, name, kind, data);
    return readToken();
  }

  ScriptResult readValueNameAndEquals(std::string* name) {
    SCRIPT_TRY(readToken());
    if (token_.size() > kValueNameLimit) return kScriptSyntax;
    *name = token_;
    SCRIPT_TRY(readToken());
    return token_ == "=" ? kScriptOk : kScriptSyntax;
  }

  // A block right after a "Val" (or, when registering, a "Delete") entry has no key to
  // belong to; it would otherwise be read as entries of the enclosing block. Refused.
  ScriptResult refuseStrayBlock() const { return token_ == "{" ? kScriptSyntax : kScriptOk; }

  long deleteTree(RegistryAccess::Key parent, const std::string& name) {
    WalkKey key(registry_);
    const long opened = registry_.openKey(parent, name, RegistryAccess::Access::ReadWrite, key.put());
    if (opened != 0) return opened;
    key.markOpen();
    std::string child;
    while (registry_.enumerateKey(key.get(), 0, &child) == 0) {
      const long deleted = deleteTree(key.get(), child);
      if (deleted != 0) return deleted;
    }
    key.close();
    return registry_.deleteKey(parent, name);
  }

  ScriptResult registerBlock(RegistryAccess::Key parent) {
    SCRIPT_TRY(readToken());
    while (!blockEnds()) {
      const bool forceRemove = tokenIs("ForceRemove");
      const bool remove = tokenIs("Delete");
      if (forceRemove || remove) {
        SCRIPT_TRY(readToken());
        if (token_.find('\\') != std::string::npos) return kScriptSyntax;
        if (!isProtectedName(token_)) deleteTree(parent, token_);
        if (remove) {
          SCRIPT_TRY(readToken());
          SCRIPT_TRY(skipAssignment());
          SCRIPT_TRY(refuseStrayBlock());
          continue;
        }
      } else if (tokenIs("NoRemove")) {
        SCRIPT_TRY(readToken());
      } else if (tokenIs("Val")) {
        std::string name;
        SCRIPT_TRY(readValueNameAndEquals(&name));
        SCRIPT_TRY(setValue(parent, &name));
        SCRIPT_TRY(refuseStrayBlock());
        continue;
      }
      if (token_.find('\\') != std::string::npos) return kScriptSyntax;
      WalkKey key(registry_);
      if (registry_.openKey(parent, token_, RegistryAccess::Access::All, key.put()) != 0 &&
          registry_.openKey(parent, token_, RegistryAccess::Access::Read, key.put()) != 0 &&
          registry_.createKey(parent, token_, key.put()) != 0) {
        return kScriptSyntax;
      }
      key.markOpen();
      SCRIPT_TRY(readToken());
      if (token_ == "=") SCRIPT_TRY(setValue(key.get(), nullptr));
      if (token_ == "{") {
        SCRIPT_TRY(registerBlock(key.get()));
        SCRIPT_TRY(readToken());
      }
    }
    return kScriptOk;
  }

  // In recovery the walk only reads the text: the key is absent or out of reach.
  ScriptResult removeBlock(RegistryAccess::Key parent, bool recovery) {
    bool deletionAllowed = true;
    SCRIPT_TRY(readToken());
    while (!blockEnds()) {
      if (tokenIs("ForceRemove") || tokenIs("Delete")) {
        SCRIPT_TRY(readToken());
      } else if (tokenIs("NoRemove")) {
        deletionAllowed = false;  // for the rest of this block
        SCRIPT_TRY(readToken());
      } else if (tokenIs("Val")) {
        std::string name;
        SCRIPT_TRY(readValueNameAndEquals(&name));
        if (!recovery) registry_.deleteValue(parent, name);
        SCRIPT_TRY(skipAssignment());
        SCRIPT_TRY(refuseStrayBlock());
        continue;
      }
      if (token_.find('\\') != std::string::npos) return kScriptSyntax;
      const std::string name = token_;
      WalkKey key(registry_);
      bool entryRecovery = recovery;
      if (!recovery) {
        if (registry_.openKey(parent, name, RegistryAccess::Access::Read, key.put()) == 0) {
          key.markOpen();
        } else {
          entryRecovery = true;
        }
      }
      SCRIPT_TRY(readToken());
      SCRIPT_TRY(skipAssignment());
      if (token_ == "{") {
        SCRIPT_TRY(removeBlock(key.get(), entryRecovery));
        SCRIPT_TRY(readToken());
      }
      if (entryRecovery) continue;
      std::uint32_t subkeys = 0;
      const bool empty = registry_.countSubkeys(key.get(), &subkeys) == 0 && subkeys == 0;
      // A key that still holds subkeys the script does not list is left in place with
      // them: they belong to someone else, and removal takes only what the script names.
      if (!empty) continue;
      if (key.close() != 0) return kScriptSyntax;
      if (deletionAllowed) registry_.deleteKey(parent, name);
    }
    return kScriptOk;
  }

  const std::string& text_;
  RegistryAccess& registry_;
  const CodePage& codePage_;
  std::size_t position_ = 0;
  std::string token_;
};

}  // namespace

std::optional<RootKey> rootKeyFromName(const std::string& name) {
  static const struct {
    const char* shortName;
    const char* longName;
    RootKey key;
  } roots[] = {
      {"HKCR", "HKEY_CLASSES_ROOT", RootKey::ClassesRoot},
      {"HKCU", "HKEY_CURRENT_USER", RootKey::CurrentUser},
      {"HKLM", "HKEY_LOCAL_MACHINE", RootKey::LocalMachine},
      {"HKU", "HKEY_USERS", RootKey::Users},
      {"HKPD", "HKEY_PERFORMANCE_DATA", RootKey::PerformanceData},
      {"HKDD", "HKEY_DYN_DATA", RootKey::DynData},
      {"HKCC", "HKEY_CURRENT_CONFIG", RootKey::CurrentConfig},
  };
  for (const auto& root : roots) {
    if (equalsIgnoringAsciiCase(name, root.shortName) || equalsIgnoringAsciiCase(name, root.longName)) return root.key;
  }
  return std::nullopt;
}

CodePage singleByteCodePage() {
  CodePage codePage;
  codePage.isLeadByte = [](unsigned char) { return false; };
  codePage.narrow = [](const std::u16string& wide) {
    std::string narrow;
    for (char16_t unit : wide) narrow.push_back(unit <= 0xFF ? static_cast<char>(unit) : '?');
    return narrow;
  };
  return codePage;
}

ScriptResult preprocessScript(const std::string& text, const ReplacementMap& map, const CodePage& codePage,
                              std::string* out) {
  try {
    std::size_t end = text.find('\0');
    if (end == std::string::npos) end = text.size();
    std::string result;
    result.reserve(2 * end);
    std::size_t i = 0;
    while (i < end) {
      const char c = text[i];
      if (c != '%') {
        std::size_t length = 1;
        if (codePage.isLeadByte && codePage.isLeadByte(static_cast<unsigned char>(c)) && i + 1 < end) length = 2;
        result.append(text, i, length);
        i += length;
        continue;
      }
      if (i + 1 < end && text[i + 1] == '%') {
        result.push_back('%');
        i += 2;
        continue;
      }
      std::size_t close = i + 1;
      while (close < end && text[close] != '%') {
        const bool lead =
            codePage.isLeadByte && codePage.isLeadByte(static_cast<unsigned char>(text[close])) && close + 1 < end;
        close += lead ? 2 : 1;
      }
      if (close >= end) return kScriptSyntax;
      const std::string name = text.substr(i + 1, close - i - 1);
      if (name.size() > kVariableNameLimit) return kScriptFail;
      const std::pair<std::u16string, std::u16string>* match = nullptr;
      for (const auto& pair : map.pairs()) {
        if (equalsIgnoringAsciiCase(codePage.narrow(pair.first), name)) {
          match = &pair;
          break;
        }
      }
      if (match == nullptr) return kScriptSyntax;
      result += codePage.narrow(match->second);
      i = close + 1;
    }
    *out = std::move(result);
    return kScriptOk;
  } catch (const std::bad_alloc&) {
    return kScriptOutOfMemory;
  }
}

ScriptResult walkScript(const std::string& text, RegistryAccess& registry, bool registering,
                        const CodePage& codePage) {
  try {
    ScriptWalker walker(text, registry, codePage);
    return walker.walk(registering);
  } catch (const std::bad_alloc&) {
    return kScriptOutOfMemory;
  }
}

ScriptResult resultFromSystemError(std::uint32_t error) {
  if (error == 0) return kScriptOk;
  return static_cast<ScriptResult>(0x80070000u | (error & 0xFFFFu));
}

}  // namespace corvane
