// The registry script language the module registers itself with: variable
// substitution, tokens, and the register and removal walks. No platform headers:
// the walk talks to a RegistryAccess, the real registry under Windows or an
// in-memory one in native tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvane {

// Results as the platform spells them, so both sides agree without its headers.
using ScriptResult = std::int32_t;
inline constexpr ScriptResult kScriptOk = 0;
inline constexpr ScriptResult kScriptFail = static_cast<ScriptResult>(0x80004005u);         // E_FAIL
inline constexpr ScriptResult kScriptOutOfMemory = static_cast<ScriptResult>(0x8007000Eu);  // E_OUTOFMEMORY
inline constexpr ScriptResult kScriptSyntax = static_cast<ScriptResult>(0x80020009u);       // DISP_E_EXCEPTION

// Registry value types the script writes (REG_SZ, REG_DWORD, REG_BINARY).
inline constexpr std::uint32_t kValueString = 1;
inline constexpr std::uint32_t kValueDword = 4;
inline constexpr std::uint32_t kValueBinary = 3;

enum class RootKey { ClassesRoot, CurrentUser, LocalMachine, Users, PerformanceData, DynData, CurrentConfig };

// Looks up one of the 14 root names, ignoring case.
std::optional<RootKey> rootKeyFromName(const std::string& name);

// The registry as the walk needs it. Results are platform error codes: 0 is success.
class RegistryAccess {
 public:
  using Key = std::uintptr_t;
  enum class Access { All, Read, ReadWrite };

  virtual ~RegistryAccess() = default;
  virtual Key root(RootKey which) = 0;
  virtual long openKey(Key parent, const std::string& name, Access access, Key* out) = 0;
  virtual long createKey(Key parent, const std::string& name, Key* out) = 0;
  virtual long closeKey(Key key) = 0;
  // A null name is the key's default value.
  virtual long setValue(Key key, const std::string* name, std::uint32_t type,
                        const std::vector<unsigned char>& data) = 0;
  virtual long deleteValue(Key key, const std::string& name) = 0;
  // Deletes a subkey that has no subkeys of its own.
  virtual long deleteKey(Key parent, const std::string& name) = 0;
  virtual long enumerateKey(Key key, std::uint32_t index, std::string* name) = 0;
  virtual long countSubkeys(Key key, std::uint32_t* count) = 0;
};

// Name -> value pairs for the "%name%" variables of one run. Values are wide text;
// the run converts them to 8-bit text when it substitutes them.
class ReplacementMap {
 public:
  ReplacementMap() { pairs_.reserve(10); }
  void add(std::u16string name, std::u16string value) {
    if (pairs_.size() == pairs_.capacity()) pairs_.reserve(pairs_.capacity() * 2);
    pairs_.emplace_back(std::move(name), std::move(value));
  }
  const std::vector<std::pair<std::u16string, std::u16string>>& pairs() const { return pairs_; }

 private:
  std::vector<std::pair<std::u16string, std::u16string>> pairs_;
};

// How the host's ANSI code page reads and writes 8-bit text.
struct CodePage {
  // True for the first byte of a double-byte character.
  std::function<bool(unsigned char)> isLeadByte;
  // Wide text to 8-bit text.
  std::function<std::string(const std::u16string&)> narrow;
};

// A code page of single bytes where wide text narrows unit by unit ('?' beyond 0xFF).
CodePage singleByteCodePage();

// Replaces every "%name%" by its value and "%%" by "%". On failure `out` is untouched.
ScriptResult preprocessScript(const std::string& text, const ReplacementMap& map, const CodePage& codePage,
                              std::string* out);

// Walks a preprocessed script in the register pass (`registering`) or the removal pass.
ScriptResult walkScript(const std::string& text, RegistryAccess& registry, bool registering,
                        const CodePage& codePage);

// Result of a failed module or resource load given the thread's last error code.
ScriptResult resultFromSystemError(std::uint32_t error);

}  // namespace corvane
