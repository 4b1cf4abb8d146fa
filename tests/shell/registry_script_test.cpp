// The registry script language against an in-memory registry: substitution, tokens,
// value types, and both passes over the module's own script.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "shell/registry_script.h"
#include "tests/shell/memory_registry.h"

namespace corvane::testing {
namespace {

const char* const kClass = "HKCR\\CLSID\\{5A3C1E77-2B94-4D0F-9C61-0E8B47D2A913}";

std::string moduleScript() {
  std::ifstream file(REGISTRY_SCRIPT_FILE, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

ReplacementMap moduleMap(const std::u16string& path) {
  ReplacementMap map;
  map.add(u"Module", path);
  return map;
}

class RegistryScript : public ::testing::Test {
 protected:
  ScriptResult run(const std::string& script, bool registering = true) {
    const ScriptResult result = walkScript(script, registry, registering, codePage);
    EXPECT_EQ(0u, registry.openHandles()) << "the walk left keys open";
    return result;
  }
  ScriptResult runModuleScript(bool registering, const std::u16string& path = u"C:\\p\\VARuDevavuzez.dll") {
    std::string text;
    const ScriptResult preprocessed = preprocessScript(moduleScript(), moduleMap(path), codePage, &text);
    if (preprocessed != kScriptOk) return preprocessed;
    return run(text, registering);
  }
  std::vector<unsigned char> valueBytes(const std::string& path, const std::string& name) {
    const auto value = registry.value(path, name);
    return value ? value->data : std::vector<unsigned char>{};
  }

  MemoryRegistry registry;
  CodePage codePage = singleByteCodePage();
};

TEST(ScriptPreprocessing, ReplacesVariablesAndKeepsDoublePercent) {
  ReplacementMap map;
  map.add(u"Module", u"C:\\a%b%\\x.dll");
  map.add(u"MODULE", u"second");
  std::string out;
  ASSERT_EQ(kScriptOk, preprocessScript("'%MODULE%' '%module%' 100%% %Module%", map, singleByteCodePage(), &out));
  // The value is not scanned again, names ignore case, the first matching pair wins.
  EXPECT_EQ("'C:\\a%b%\\x.dll' 'C:\\a%b%\\x.dll' 100% C:\\a%b%\\x.dll", out);
}

TEST(ScriptPreprocessing, RefusesBadVariablesAndLeavesOutputAlone) {
  ReplacementMap map;
  map.add(u"A", u"v");
  map.add(std::u16string(31, u'n'), u"long");
  const CodePage codePage = singleByteCodePage();
  std::string out = "untouched";
  EXPECT_EQ(kScriptSyntax, preprocessScript("x %A", map, codePage, &out));
  EXPECT_EQ(kScriptSyntax, preprocessScript("%B%", map, codePage, &out));
  EXPECT_EQ(kScriptFail, preprocessScript("%" + std::string(32, 'n') + "%", map, codePage, &out));
  EXPECT_EQ("untouched", out);
  ASSERT_EQ(kScriptOk, preprocessScript("%" + std::string(31, 'N') + "%", map, codePage, &out));
  EXPECT_EQ("long", out);
  // An unclosed reference is reported before its length.
  EXPECT_EQ(kScriptSyntax, preprocessScript("%" + std::string(40, 'n'), map, codePage, &out));
}

TEST(ScriptPreprocessing, DoubleByteCharactersAreNotSplit) {
  CodePage codePage = singleByteCodePage();
  codePage.isLeadByte = [](unsigned char byte) { return byte == 0x81; };
  ReplacementMap map;
  map.add(u"A", u"v");
  std::string out;
  // 0x81 0x25 is one character: its trail byte is not a percent sign.
  ASSERT_EQ(kScriptOk, preprocessScript("\x81%x %A%", map, codePage, &out));
  EXPECT_EQ("\x81%x v", out);
  EXPECT_EQ(kScriptSyntax, preprocessScript("\x81%x %A%", map, singleByteCodePage(), &out));
}

TEST_F(RegistryScript, ModuleScriptWritesExactlyItsKeyTable) {
  ASSERT_EQ(kScriptOk, runModuleScript(true));
  const std::string clsid = "{5A3C1E77-2B94-4D0F-9C61-0E8B47D2A913}";
  EXPECT_EQ("Installer Class", registry.stringValue("HKCR\\VARuDevavuzez.Installer.1", ""));
  EXPECT_EQ(clsid, registry.stringValue("HKCR\\VARuDevavuzez.Installer.1\\CLSID", ""));
  EXPECT_EQ("Installer Class", registry.stringValue("HKCR\\VARuDevavuzez.Installer", ""));
  EXPECT_EQ(clsid, registry.stringValue("HKCR\\VARuDevavuzez.Installer\\CLSID", ""));
  EXPECT_EQ("VARuDevavuzez.Installer.1", registry.stringValue("HKCR\\VARuDevavuzez.Installer\\CurVer", ""));
  EXPECT_EQ("Installer Class", registry.stringValue(kClass, ""));
  EXPECT_EQ("VARuDevavuzez.Installer.1", registry.stringValue(std::string(kClass) + "\\ProgID", ""));
  EXPECT_EQ("VARuDevavuzez.Installer",
            registry.stringValue(std::string(kClass) + "\\VersionIndependentProgID", ""));
  EXPECT_TRUE(registry.exists(std::string(kClass) + "\\Programmable"));
  EXPECT_EQ(0u, registry.valueCount(std::string(kClass) + "\\Programmable"));
  EXPECT_EQ("C:\\p\\VARuDevavuzez.dll", registry.stringValue(std::string(kClass) + "\\InprocServer32", ""));
  EXPECT_EQ("Apartment", registry.stringValue(std::string(kClass) + "\\InprocServer32", "ThreadingModel"));
  EXPECT_EQ("{7E20B4D9-61C3-4A85-8F17-D93A0C5E2B64}", registry.stringValue(std::string(kClass) + "\\TypeLib", ""));
  EXPECT_EQ((std::vector<std::string>{"InprocServer32", "ProgID", "Programmable", "TypeLib",
                                      "VersionIndependentProgID"}),
            registry.subkeys(kClass));
  EXPECT_EQ((std::vector<std::string>{"CLSID", "VARuDevavuzez.Installer", "VARuDevavuzez.Installer.1"}),
            registry.subkeys("HKCR"));

  const std::string once = registry.dump();
  ASSERT_EQ(kScriptOk, runModuleScript(true));
  EXPECT_EQ(once, registry.dump()) << "registering twice must leave the same state";
}

TEST_F(RegistryScript, ApostrophesInTheModulePathSurviveDoubling) {
  // The caller doubles apostrophes so the value may stand inside the quoted token.
  ASSERT_EQ(kScriptOk, runModuleScript(true, u"C:\\O''Brien''s''\\VARuDevavuzez.dll"));
  EXPECT_EQ("C:\\O'Brien's'\\VARuDevavuzez.dll", registry.stringValue(std::string(kClass) + "\\InprocServer32", ""));
}

TEST_F(RegistryScript, RegisteringAgainForceRemovesTheClassKeyOnly) {
  ASSERT_EQ(kScriptOk, runModuleScript(true));
  registry.addKey(std::string(kClass) + "\\Extra\\Deep\\Deeper");
  registry.setString(kClass, "Stale", "x");
  registry.setString(std::string(kClass) + "\\Programmable", "Leftover", "y");
  registry.setString("HKCR\\VARuDevavuzez.Installer.1", "Kept", "z");
  ASSERT_EQ(kScriptOk, runModuleScript(true));
  EXPECT_FALSE(registry.exists(std::string(kClass) + "\\Extra"));
  EXPECT_FALSE(registry.value(kClass, "Stale"));
  EXPECT_EQ(0u, registry.valueCount(std::string(kClass) + "\\Programmable"));
  EXPECT_EQ("z", registry.stringValue("HKCR\\VARuDevavuzez.Installer.1", "Kept"));
}

TEST_F(RegistryScript, RemovalTakesTheListedKeysAndKeepsClsid) {
  registry.setString("HKCR\\CLSID\\{00000000-1111-2222-3333-444444444444}", "", "someone else");
  ASSERT_EQ(kScriptOk, runModuleScript(true));
  registry.setString(std::string(kClass) + "\\InprocServer32", "Added", "value");
  ASSERT_EQ(kScriptOk, runModuleScript(false));
  EXPECT_FALSE(registry.exists("HKCR\\VARuDevavuzez.Installer.1"));
  EXPECT_FALSE(registry.exists("HKCR\\VARuDevavuzez.Installer"));
  EXPECT_FALSE(registry.exists(kClass));
  EXPECT_TRUE(registry.exists("HKCR\\CLSID\\{00000000-1111-2222-3333-444444444444}"));

  const std::string after = registry.dump();
  ASSERT_EQ(kScriptOk, runModuleScript(false)) << "removing again finds nothing and still succeeds";
  EXPECT_EQ(after, registry.dump());
}

TEST_F(RegistryScript, RemovalWithKeysAlreadyMissing) {
  ASSERT_EQ(kScriptOk, runModuleScript(true));
  registry.setString("HKCR\\Other", "", "x");
  MemoryRegistry::Key root = registry.root(RootKey::ClassesRoot);
  // Take VARuDevavuzez.Installer.1 away by hand, with its subkey.
  MemoryRegistry::Key progId = 0;
  ASSERT_EQ(0, registry.openKey(root, "VARuDevavuzez.Installer.1", RegistryAccess::Access::All, &progId));
  ASSERT_EQ(0, registry.deleteKey(progId, "CLSID"));
  registry.closeKey(progId);
  ASSERT_EQ(0, registry.deleteKey(root, "VARuDevavuzez.Installer.1"));

  ASSERT_EQ(kScriptOk, runModuleScript(false));
  EXPECT_FALSE(registry.exists("HKCR\\VARuDevavuzez.Installer"));
  EXPECT_FALSE(registry.exists(kClass));
  EXPECT_TRUE(registry.exists("HKCR\\Other"));
}

// A key that keeps subkeys the script does not list stays, with them; the listed
// subkeys around them are still removed.
TEST_F(RegistryScript, RemovalLeavesAKeyHoldingUnlistedSubkeys) {
  ASSERT_EQ(kScriptOk, runModuleScript(true));
  registry.addKey(std::string(kClass) + "\\Implemented Categories");
  ASSERT_EQ(kScriptOk, runModuleScript(false));
  EXPECT_EQ(std::vector<std::string>{"Implemented Categories"}, registry.subkeys(kClass));
  EXPECT_FALSE(registry.exists("HKCR\\VARuDevavuzez.Installer"));
}

TEST_F(RegistryScript, ValueTypesAndTheirTexts) {
  ASSERT_EQ(kScriptOk, run("HKCU { T { val S1 = s 'text' val D1 = D 42 val D2 = d 4294967295 "
                           "val B1 = B 0aFF val B2 = b zz val B3 = B '' } }"));
  EXPECT_EQ(1u, registry.value("HKCU\\T", "S1")->type);
  EXPECT_EQ((std::vector<unsigned char>{'t', 'e', 'x', 't', 0}), valueBytes("HKCU\\T", "S1"));
  EXPECT_EQ(4u, registry.value("HKCU\\T", "D1")->type);
  EXPECT_EQ((std::vector<unsigned char>{0x2A, 0, 0, 0}), valueBytes("HKCU\\T", "D1"));
  EXPECT_EQ((std::vector<unsigned char>{0xFF, 0xFF, 0xFF, 0xFF}), valueBytes("HKCU\\T", "D2"));
  EXPECT_EQ(3u, registry.value("HKCU\\T", "B1")->type);
  EXPECT_EQ((std::vector<unsigned char>{0x0A, 0xFF}), valueBytes("HKCU\\T", "B1"));
  EXPECT_EQ((std::vector<unsigned char>{0x00}), valueBytes("HKCU\\T", "B2"));
  ASSERT_TRUE(registry.value("HKCU\\T", "B3"));
  EXPECT_TRUE(registry.value("HKCU\\T", "B3")->data.empty());
}

TEST_F(RegistryScript, BadValuesFailAndWriteNothingForThemselves) {
  EXPECT_EQ(kScriptFail, run("HKCU { T { val B = B abc } }"));
  EXPECT_FALSE(registry.value("HKCU\\T", "B"));
  for (const char* number : {"-1", "4294967296", "12a", "0x10", "99999999999", "' 7'"}) {
    SCOPED_TRACE(number);
    EXPECT_EQ(kScriptSyntax, run(std::string("HKCU { T { val D = d ") + number + " } }"));
    EXPECT_FALSE(registry.value("HKCU\\T", "D"));
  }
  EXPECT_EQ(kScriptSyntax, run("HKCU { T { val X = Q 1 } }"));
  EXPECT_FALSE(registry.value("HKCU\\T", "X"));
  // The same as a key's default value: the walk stops there, it does not read on.
  for (const auto& [script, expected] : {std::pair{"HKCU { T = Q x }", kScriptSyntax},
                                         std::pair{"HKCU { T = d 99999999999 }", kScriptSyntax},
                                         std::pair{"HKCU { T = b abc }", kScriptFail}}) {
    SCOPED_TRACE(script);
    EXPECT_EQ(expected, run(script));
    EXPECT_FALSE(registry.value("HKCU\\T", ""));
  }
}

TEST_F(RegistryScript, RootNames) {
  ASSERT_EQ(kScriptOk, run("HKEY_CLASSES_ROOT { A } hkcr { B } HKEY_CURRENT_USER { C } hklm { D } HKU { E } "
                           "HKEY_USERS { F } HKCC { G }"));
  EXPECT_TRUE(registry.exists("HKCR\\A"));
  EXPECT_TRUE(registry.exists("HKCR\\B"));
  EXPECT_TRUE(registry.exists("HKCU\\C"));
  EXPECT_TRUE(registry.exists("HKLM\\D"));
  EXPECT_TRUE(registry.exists("HKU\\E"));
  EXPECT_TRUE(registry.exists("HKU\\F"));
  EXPECT_TRUE(registry.exists("HKCC\\G"));
  EXPECT_EQ(kScriptSyntax, run("HKXX { A }"));
  EXPECT_EQ(kScriptSyntax, run("HKCU A"));
  // The root's "{" need only begin its token: the rest of that token goes with it.
  EXPECT_EQ(kScriptOk, run("HKCU {x }"));
  EXPECT_FALSE(registry.exists("HKCU\\x"));
}

TEST_F(RegistryScript, QuotedTokensAndTheirLimits) {
  ASSERT_EQ(kScriptOk, run("HKCU { 'it''s here' = s 'a''b' }"));
  EXPECT_EQ("a'b", registry.stringValue("HKCU\\it's here", ""));

  const std::string fits(4094, 'q');
  ASSERT_EQ(kScriptOk, run("HKCU { T { val V = s '" + fits + "' } }"));
  EXPECT_EQ(fits, registry.stringValue("HKCU\\T", "V"));
  EXPECT_EQ(kScriptSyntax, run("HKCU { T { val W = s '" + fits + "q' } }"));
  EXPECT_FALSE(registry.value("HKCU\\T", "W"));
  EXPECT_EQ(kScriptSyntax, run("HKCU { T = s 'never closed }"));
}

TEST_F(RegistryScript, UnquotedTokenAndValueNameLimits) {
  const std::string fits(4095, 'u');
  ASSERT_EQ(kScriptOk, run("HKCU { T { val V = s " + fits + " } }"));
  EXPECT_EQ(fits, registry.stringValue("HKCU\\T", "V"));
  EXPECT_EQ(kScriptSyntax, run("HKCU { T { val W = s " + fits + "u } }"));
  EXPECT_FALSE(registry.value("HKCU\\T", "W"));

  const std::string name(259, 'n');
  ASSERT_EQ(kScriptOk, run("HKCU { T { val " + name + " = s x } }"));
  EXPECT_TRUE(registry.value("HKCU\\T", name));
  EXPECT_EQ(kScriptSyntax, run("HKCU { T { val " + name + "n = s x } }"));
  EXPECT_FALSE(registry.value("HKCU\\T", name + "n"));
}

TEST_F(RegistryScript, DoubleByteCharacterHidesAQuote) {
  codePage.isLeadByte = [](unsigned char byte) { return byte == 0x81; };
  ASSERT_EQ(kScriptOk, run("HKCU { 'a\x81'b' }"));
  EXPECT_TRUE(registry.exists("HKCU\\a\x81'b"));
}

TEST_F(RegistryScript, MalformedEntries) {
  EXPECT_EQ(kScriptSyntax, run("HKCU { a\\b }"));
  EXPECT_EQ(kScriptSyntax, run("HKCU { ForceRemove a\\b }"));
  EXPECT_EQ(kScriptSyntax, run("HKCU { Delete a\\b }"));
  EXPECT_EQ(kScriptSyntax, run("HKCU { T { val V s x } }"));
  EXPECT_EQ(kScriptSyntax, run("HKCU { T"));
  EXPECT_EQ(kScriptSyntax, run("HKCU { T { val V = } }", false));
  EXPECT_FALSE(registry.exists("HKCU\\a"));
}

// A block straight after a "Val" entry (either pass) or a "Delete" entry (register
// pass) has no key of its own: refused rather than read as entries of the parent.
TEST_F(RegistryScript, StrayBlocksAreRefused) {
  EXPECT_EQ(kScriptSyntax, run("HKCU { T { val V = s x { Inner } } }"));
  EXPECT_FALSE(registry.exists("HKCU\\T\\Inner"));
  EXPECT_FALSE(registry.exists("HKCU\\Inner"));
  EXPECT_EQ(kScriptSyntax, run("HKCU { Delete T { Inner } }"));
  EXPECT_FALSE(registry.exists("HKCU\\Inner"));
  registry.addKey("HKCU\\T");
  EXPECT_EQ(kScriptSyntax, run("HKCU { T { val V = s x { Inner } } }", false));
}

TEST_F(RegistryScript, ForceRemoveAndDeleteSpareProtectedNames) {
  registry.setString("HKCU\\CLSID\\Child", "", "kept");
  registry.setString("HKCU\\TypeLib\\Child", "", "kept");
  registry.setString("HKCU\\Gone\\Child", "", "removed");
  registry.setString("HKCU\\Fresh\\Child", "", "removed");
  ASSERT_EQ(kScriptOk, run("HKCU { Delete clsid ForceRemove TYPELIB Delete Gone = s x ForceRemove Fresh = s new }"));
  EXPECT_TRUE(registry.exists("HKCU\\CLSID\\Child"));
  EXPECT_TRUE(registry.exists("HKCU\\TypeLib\\Child"));
  EXPECT_FALSE(registry.exists("HKCU\\Gone"));
  EXPECT_FALSE(registry.exists("HKCU\\Fresh\\Child"));
  EXPECT_EQ("new", registry.stringValue("HKCU\\Fresh", ""));
}

TEST_F(RegistryScript, NoRemoveKeepsTheRestOfItsBlock) {
  ASSERT_EQ(kScriptOk, run("HKCU { A { X } B NoRemove C D { Y } }"));
  ASSERT_EQ(kScriptOk, run("HKCU { A { X } B NoRemove C D { Y } }", false));
  EXPECT_FALSE(registry.exists("HKCU\\A"));
  EXPECT_FALSE(registry.exists("HKCU\\B"));
  EXPECT_TRUE(registry.exists("HKCU\\C"));
  EXPECT_TRUE(registry.exists("HKCU\\D"));
  EXPECT_FALSE(registry.exists("HKCU\\D\\Y")) << "NoRemove does not reach into nested blocks";
}

TEST_F(RegistryScript, ReadOnlyKeySkipsItsValuesSilently) {
  registry.addKey("HKCU\\Locked");
  registry.makeReadOnly("HKCU\\Locked");
  ASSERT_EQ(kScriptOk, run("HKCU { Locked = s v { val N = s w } After = s ok }"));
  EXPECT_FALSE(registry.value("HKCU\\Locked", ""));
  EXPECT_FALSE(registry.value("HKCU\\Locked", "N"));
  EXPECT_EQ("ok", registry.stringValue("HKCU\\After", ""));
}

TEST_F(RegistryScript, FailedRegisterPassUndoesItsRootBlockOnly) {
  registry.refuseNewSubkeys("HKCU\\Second\\Stuck");
  ASSERT_EQ(kScriptOk, run("HKCU { First = s 1 }"));
  EXPECT_EQ(kScriptSyntax, run("HKLM { Earlier = s e } HKCU { Second { A = s a Stuck { Cannot } } }"));
  EXPECT_TRUE(registry.exists("HKLM\\Earlier")) << "an earlier root block stays registered";
  EXPECT_FALSE(registry.exists("HKCU\\Second\\A"));
  EXPECT_FALSE(registry.exists("HKCU\\Second\\Stuck\\Cannot"));
  EXPECT_TRUE(registry.exists("HKCU\\First"));
}

TEST_F(RegistryScript, RemovalIgnoresMissingValues) {
  registry.setString("HKCU\\T", "Present", "p");
  ASSERT_EQ(kScriptOk, run("HKCU { val Missing = s x val Present = s y }", false));
  ASSERT_EQ(kScriptOk, run("HKCU { T { val Missing = s x } }", false));
  EXPECT_FALSE(registry.exists("HKCU\\T")) << "the key goes with its values";
}

// Damaged copies of the module's script, with a fixed seed: whatever the bytes, the
// walk ends with one of its results, closes every key it opened and stays in bounds.
TEST(ScriptRobustness, DamagedScriptsEndCleanly) {
  const std::string original = moduleScript();
  ASSERT_FALSE(original.empty());
  const char pieces[] = {'{', '}', '\'', '%', '=', ' ', '\t', '\r', '\n', '\\', 'x', 'D', 'B', '\0'};
  std::uint32_t state = 12345;
  auto next = [&state]() {
    state = state * 1103515245u + 12345u;
    return state >> 8;
  };
  ReplacementMap map = moduleMap(u"C:\\x.dll");
  CodePage codePage = singleByteCodePage();
  codePage.isLeadByte = [](unsigned char byte) { return byte >= 0xE0; };
  for (int round = 0; round < 3000; ++round) {
    std::string script = original;
    const int edits = 1 + static_cast<int>(next() % 6);
    for (int edit = 0; edit < edits; ++edit) {
      const size_t at = next() % (script.size() + 1);
      switch (next() % 4) {
        case 0: script.insert(at, 1, pieces[next() % sizeof pieces]); break;
        case 1: if (at < script.size()) script.erase(at, 1 + next() % 8); break;
        case 2: if (at < script.size()) script[at] = static_cast<char>(next()); break;
        default: script.insert(at, original.substr(next() % original.size(), next() % 40)); break;
      }
    }
    MemoryRegistry registry;
    std::string text;
    const ScriptResult preprocessed = preprocessScript(script, map, codePage, &text);
    ASSERT_TRUE(preprocessed == kScriptOk || preprocessed == kScriptSyntax || preprocessed == kScriptFail);
    if (preprocessed != kScriptOk) continue;
    for (bool registering : {true, false}) {
      const ScriptResult result = walkScript(text, registry, registering, codePage);
      ASSERT_TRUE(result == kScriptOk || result == kScriptSyntax || result == kScriptFail) << result;
      ASSERT_EQ(0u, registry.openHandles()) << "round " << round;
    }
  }
}

TEST(ScriptResults, SystemErrorsBecomeResults) {
  EXPECT_EQ(kScriptOk, resultFromSystemError(0));
  EXPECT_EQ(static_cast<ScriptResult>(0x80070002u), resultFromSystemError(2));
  EXPECT_EQ(static_cast<ScriptResult>(0x80070716u), resultFromSystemError(1814));
  EXPECT_EQ(static_cast<ScriptResult>(0x80072345u), resultFromSystemError(0x12345));
}

}  // namespace
}  // namespace corvane::testing
