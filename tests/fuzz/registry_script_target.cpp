// The registry script preprocessor, tokenizer and both passes against the in-memory
// registry (names compared without regard to case). Scripts come raw from the fuzzer
// or are generated from its bytes by a small grammar of the language. Every pass must
// end with a result and close every key it opened; a script free of "NoRemove" and
// "Delete" that registers into an empty registry must take everything out again in
// its removal pass.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>

#include "tests/fuzz/fuzz_targets.h"
#include "tests/shell/memory_registry.h"
#include "shell/registry_script.h"

namespace corvane::testing {
namespace {

constexpr const char* kTarget = "registry_script";

std::string lowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool resultKnown(ScriptResult result) {
  return result == kScriptOk || result == kScriptSyntax || result == kScriptFail;
}

class ScriptGenerator {
 public:
  explicit ScriptGenerator(FuzzedDataProvider& input) : input_(input) {}

  std::string script() {
    const int blocks = input_.ConsumeIntegralInRange<int>(1, 3);
    for (int i = 0; i < blocks; ++i) {
      static const char* const roots[] = {"HKCR", "HKCU", "hkey_current_user", "HKLM", "HKU", "HKCC"};
      text_ += pick(roots);
      text_ += " {";
      block(0);
      text_ += " }\n";
    }
    return text_;
  }

 private:
  template <size_t N>
  const char* pick(const char* const (&words)[N]) {
    return words[input_.ConsumeIntegralInRange<size_t>(0, N - 1)];
  }

  void word(const std::string& token) { text_ += ' ' + token; }

  std::string name() {
    static const char* const names[] = {"a", "A", "b", "B", "c", "CLSID", "clsid", "TypeLib", "Programmable",
                                        "{5A3C1E77-2B94-4D0F-9C61-0E8B47D2A913}", "'two words'", "''",
                                        "'it''s'", "%MODULE%", "x%%y", "'='", "'{'"};
    if (input_.ConsumeIntegralInRange<int>(0, 15) == 0) return input_.ConsumeRandomLengthString(12);
    return pick(names);
  }

  void value() {
    switch (input_.ConsumeIntegralInRange<int>(0, 6)) {
      case 0: word("s"); word("'" + std::string(pick({"text", "", "it''s", "%MODULE%", "Apartment"})) + "'"); break;
      case 1: word("S"); word(pick({"plain", "%MODULE%", "{x}"})); break;
      case 2: word("d"); word(std::to_string(input_.ConsumeIntegral<std::uint32_t>())); break;
      case 3: word("D"); word(pick({"4294967296", "-1", "12a", "''"})); break;
      case 4: word("b"); word(pick({"00ff", "DEADBEEF", "''", "0g"})); break;
      case 5: word("B"); word(pick({"abc", "0"})); break;
      default: word(pick({"x", "q"})); word("1"); break;
    }
  }

  void block(int depth) {
    const int entries = input_.ConsumeIntegralInRange<int>(0, 4);
    for (int i = 0; i < entries && input_.remaining_bytes() > 0; ++i) {
      switch (input_.ConsumeIntegralInRange<int>(0, 15)) {
        case 0: word("Val"); word(name()); word("="); value(); continue;
        case 1: word("ForceRemove"); break;
        case 2: word("NoRemove"); break;
        case 3: word("Delete"); break;
        case 4: word(pick({"{", "}", "=", "Val", "forceremove"})); break;
        default: break;
      }
      word(name());
      if (input_.ConsumeBool()) {
        word("=");
        value();
      }
      if (depth < 4 && input_.ConsumeBool()) {
        text_ += " {";
        block(depth + 1);
        text_ += " }";
      }
    }
  }

  static const char* pick(std::initializer_list<const char*> words, size_t index) {
    return *(words.begin() + std::min(index, words.size() - 1));
  }
  const char* pick(std::initializer_list<const char*> words) {
    return pick(words, input_.ConsumeIntegralInRange<size_t>(0, words.size() - 1));
  }

  FuzzedDataProvider& input_;
  std::string text_;
};

}  // namespace

void registryScriptTarget(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const bool generated = input.ConsumeBool();
  const bool doubleByte = input.ConsumeBool();
  ReplacementMap map;
  map.add(u"MODULE", u"C:\\Program Files\\Corvane\\it's.dll");
  map.add(u"empty", u"");
  map.add(u"wide", u"\u4E2D\u6587");

  CodePage codePage = singleByteCodePage();
  if (doubleByte) codePage.isLeadByte = [](unsigned char byte) { return (byte >= 0x81 && byte <= 0x9F) || byte >= 0xE0; };

  const std::string source = generated ? ScriptGenerator(input).script() : input.ConsumeRemainingBytesAsString();
  const std::string untouched = "\x01untouched";
  std::string text = untouched;
  const ScriptResult preprocessed = preprocessScript(source, map, codePage, &text);
  FUZZ_REQUIRE(kTarget, resultKnown(preprocessed), "unexpected preprocessing result");
  if (preprocessed != kScriptOk) {
    FUZZ_REQUIRE(kTarget, text == untouched, "failed preprocessing changed its output");
    return;
  }

  testing::MemoryRegistry registry;
  const std::string emptyRegistry = registry.dump();
  const ScriptResult registered = walkScript(text, registry, true, codePage);
  FUZZ_REQUIRE(kTarget, resultKnown(registered), "unexpected register result");
  FUZZ_REQUIRE(kTarget, registry.openHandles() == 0, "the register pass left keys open");

  const std::string lowered = lowerAscii(text);
  const bool mayKeep = lowered.find("noremove") != std::string::npos || lowered.find("delete") != std::string::npos;
  const ScriptResult removed = walkScript(text, registry, false, codePage);
  FUZZ_REQUIRE(kTarget, resultKnown(removed), "unexpected removal result");
  FUZZ_REQUIRE(kTarget, registry.openHandles() == 0, "the removal pass left keys open");
  if (registered == kScriptOk && !mayKeep) {
    FUZZ_REQUIRE(kTarget, removed == kScriptOk, "removal refused a script that registered");
    FUZZ_REQUIRE(kTarget, registry.dump() == emptyRegistry,
                 "removal left entries of a script that registered:\n" + registry.dump());
  }
}

}  // namespace corvane::testing
