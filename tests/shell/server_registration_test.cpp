// Self-registration through Wine's own regsvr32, and the script interpreter against
// the real registry.
#include <gtest/gtest.h>


#include <algorithm>
#include <vector>

#include "generated/installer_idl.h"
#include "shell/registrar.h"
#include "tests/shell/server_support.h"
#include "support/files.h"
#include "shell/win32_registry.h"

namespace corvane::testing {
namespace {

const std::wstring kClass = testing::kClassKey;

std::vector<std::wstring> subkeysOf(HKEY root, const std::wstring& path) {
  std::vector<std::wstring> names;
  UniqueRegistryKey key;
  if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return names;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD length = 256;
    if (::RegEnumKeyExW(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(name, length);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void setString(HKEY root, const std::wstring& path, const wchar_t* name, const wchar_t* value) {
  UniqueRegistryKey key;
  ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                                             nullptr));
  ::RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                   static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
}

class ServerRegistration : public ::testing::Test {
 protected:
  void SetUp() override { clean(); }
  void TearDown() override { clean(); }
  static void clean() {
    regsvr32(serverDllPath(), true);
    for (const wchar_t* path : {L"VARuDevavuzez.Installer.1", L"VARuDevavuzez.Installer", testing::kClassKey,
                                testing::kTypeLibKey}) {
      testing::deleteTree(HKEY_CLASSES_ROOT, path);
    }
  }
  void expectKeyTable(const std::wstring& modulePath) {
    const std::wstring clsid = L"{5A3C1E77-2B94-4D0F-9C61-0E8B47D2A913}";
    EXPECT_EQ(L"Installer Class", stringValue(HKEY_CLASSES_ROOT, L"VARuDevavuzez.Installer.1", nullptr));
    EXPECT_EQ(clsid, stringValue(HKEY_CLASSES_ROOT, L"VARuDevavuzez.Installer.1\\CLSID", nullptr));
    EXPECT_EQ(L"Installer Class", stringValue(HKEY_CLASSES_ROOT, L"VARuDevavuzez.Installer", nullptr));
    EXPECT_EQ(clsid, stringValue(HKEY_CLASSES_ROOT, L"VARuDevavuzez.Installer\\CLSID", nullptr));
    EXPECT_EQ(L"VARuDevavuzez.Installer.1", stringValue(HKEY_CLASSES_ROOT, L"VARuDevavuzez.Installer\\CurVer", nullptr));
    EXPECT_EQ(L"Installer Class", stringValue(HKEY_CLASSES_ROOT, kClass, nullptr));
    EXPECT_EQ(L"VARuDevavuzez.Installer.1", stringValue(HKEY_CLASSES_ROOT, kClass + L"\\ProgID", nullptr));
    EXPECT_EQ(L"VARuDevavuzez.Installer",
              stringValue(HKEY_CLASSES_ROOT, kClass + L"\\VersionIndependentProgID", nullptr));
    EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, kClass + L"\\Programmable"));
    EXPECT_EQ(modulePath, stringValue(HKEY_CLASSES_ROOT, kClass + L"\\InprocServer32", nullptr));
    EXPECT_EQ(L"Apartment", stringValue(HKEY_CLASSES_ROOT, kClass + L"\\InprocServer32", L"ThreadingModel"));
    EXPECT_EQ(L"{7E20B4D9-61C3-4A85-8F17-D93A0C5E2B64}", stringValue(HKEY_CLASSES_ROOT, kClass + L"\\TypeLib", nullptr));
    EXPECT_EQ((std::vector<std::wstring>{L"InprocServer32", L"ProgID", L"Programmable", L"TypeLib",
                                         L"VersionIndependentProgID"}),
              subkeysOf(HKEY_CLASSES_ROOT, kClass));
    EXPECT_EQ(std::vector<std::wstring>{L"CLSID"}, subkeysOf(HKEY_CLASSES_ROOT, L"VARuDevavuzez.Installer.1"));
    EXPECT_EQ((std::vector<std::wstring>{L"CLSID", L"CurVer"}),
              subkeysOf(HKEY_CLASSES_ROOT, L"VARuDevavuzez.Installer"));
  }
  void expectNoKeys() {
    EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, L"VARuDevavuzez.Installer.1"));
    EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, L"VARuDevavuzez.Installer"));
    EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kClass));
    EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, L"CLSID"));
  }
};

TEST_F(ServerRegistration, Regsvr32WritesTheKeyTableAndTheLibrary) {
  ASSERT_EQ(0u, regsvr32(serverDllPath()));
  expectKeyTable(serverDllPath());
  ComPtr<ITypeLib> library;
  ASSERT_EQ(S_OK, ::LoadRegTypeLib(LIBID_VARUDEVAVUZEZLib, 1, 0, 0x0409, library.put()))
      << "the registered library must be found by its LIBID";
  const wchar_t* platform = sizeof(void*) == 8 ? L"\\1.0\\409\\win64" : L"\\1.0\\409\\win32";
  EXPECT_EQ(serverDllPath(), stringValue(HKEY_CLASSES_ROOT, testing::kTypeLibKey + std::wstring(platform), nullptr));

  const std::wstring once = registrationState();
  ASSERT_EQ(0u, regsvr32(serverDllPath()));
  EXPECT_EQ(once, registrationState()) << "registering twice leaves the same state";
}

TEST_F(ServerRegistration, ReregistrationCleansTheClassKeyButKeepsProgIdExtras) {
  ASSERT_EQ(0u, regsvr32(serverDllPath()));
  setString(HKEY_CLASSES_ROOT, kClass + L"\\Extra\\Deeper", nullptr, L"x");
  setString(HKEY_CLASSES_ROOT, kClass, L"Stale", L"x");
  setString(HKEY_CLASSES_ROOT, kClass + L"\\Programmable", L"Leftover", L"y");
  setString(HKEY_CLASSES_ROOT, L"VARuDevavuzez.Installer.1", L"Kept", L"z");
  ASSERT_EQ(0u, regsvr32(serverDllPath()));
  expectKeyTable(serverDllPath());
  EXPECT_FALSE(stringValue(HKEY_CLASSES_ROOT, kClass, L"Stale"));
  EXPECT_FALSE(stringValue(HKEY_CLASSES_ROOT, kClass + L"\\Programmable", L"Leftover"));
  EXPECT_EQ(L"z", stringValue(HKEY_CLASSES_ROOT, L"VARuDevavuzez.Installer.1", L"Kept"));
}

TEST_F(ServerRegistration, UnregisterRemovesTheKeysAndCanRunTwice) {
  ASSERT_EQ(0u, regsvr32(serverDllPath()));
  setString(HKEY_CLASSES_ROOT, kClass + L"\\InprocServer32", L"Added", L"value");
  ASSERT_EQ(0u, regsvr32(serverDllPath(), true));
  expectNoKeys();
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, testing::kTypeLibKey + std::wstring(L"\\1.0")));
  ComPtr<ITypeLib> library;
  EXPECT_NE(S_OK, ::LoadRegTypeLib(LIBID_VARUDEVAVUZEZLib, 1, 0, 0x0409, library.put()));
  EXPECT_EQ(0u, regsvr32(serverDllPath(), true)) << "unregistering again is fine";
  expectNoKeys();
}

TEST_F(ServerRegistration, UnregisterCopesWithMissingAndExtraKeys) {
  ASSERT_EQ(0u, regsvr32(serverDllPath()));
  testing::deleteTree(HKEY_CLASSES_ROOT, L"VARuDevavuzez.Installer.1");
  setString(HKEY_CLASSES_ROOT, kClass + L"\\Implemented Categories", nullptr, L"");
  ASSERT_EQ(0u, regsvr32(serverDllPath(), true));
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, L"VARuDevavuzez.Installer"));
  // The class key keeps the subkey nobody listed, and only that.
  EXPECT_EQ(std::vector<std::wstring>{L"Implemented Categories"}, subkeysOf(HKEY_CLASSES_ROOT, kClass));
}

TEST_F(ServerRegistration, ModulePathWithApostrophes) {
  testing::ScratchDirectory directory("o'brien's 'copy'");
  const std::wstring copy = directory.widePath() + L"\\VARuDevavuzez.dll";
  ASSERT_TRUE(::CopyFileW(serverDllPath().c_str(), copy.c_str(), FALSE));
  ASSERT_EQ(0u, regsvr32(copy));
  expectKeyTable(copy);
  ASSERT_EQ(0u, regsvr32(copy, true));
  expectNoKeys();
}

// A folder holding one copy of the module, named in UTF-16: the ANSI helpers cannot make
// a folder whose name the code page lacks a character of.
class ModuleCopyFolder {
 public:
  explicit ModuleCopyFolder(const std::wstring& name) {
    wchar_t temporary[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH, temporary);
    folder_ = std::wstring(temporary) + name;
    ::CreateDirectoryW(folder_.c_str(), nullptr);
  }
  ~ModuleCopyFolder() {
    ::DeleteFileW(module().c_str());
    ::RemoveDirectoryW(folder_.c_str());
  }
  ModuleCopyFolder(const ModuleCopyFolder&) = delete;
  ModuleCopyFolder& operator=(const ModuleCopyFolder&) = delete;
  std::wstring module() const { return folder_ + L"\\VARuDevavuzez.dll"; }

 private:
  std::wstring folder_;
};

// A folder name the ANSI code page (1252) lacks a character of: its best fit would name
// the neighbouring folder, which holds another copy. Nothing may be registered then.
TEST_F(ServerRegistration, ModulePathTheCodePageCannotCarryIsNotRegistered) {
  const ModuleCopyFolder lookAlike(L"corvane-reg-A");
  const ModuleCopyFolder real(L"corvane-reg-\u0100");
  const std::wstring decoy = lookAlike.module();
  const std::wstring copy = real.module();
  ASSERT_TRUE(::CopyFileW(serverDllPath().c_str(), decoy.c_str(), FALSE));
  ASSERT_TRUE(::CopyFileW(serverDllPath().c_str(), copy.c_str(), FALSE));
  EXPECT_NE(0u, regsvr32(copy));
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kClass + L"\\InprocServer32"))
      << "registered as " << testing::narrow(stringValue(HKEY_CLASSES_ROOT, kClass + L"\\InprocServer32", nullptr)
                                                    .value_or(L""));
  regsvr32(copy, true);
}

// A copy of the module without its embedded library: registration falls back to the
// ".tlb" beside it; without that file the script's entries stay, and removal still works.
TEST_F(ServerRegistration, TypeLibraryFallsBackToTheFileBesideTheModule) {
  testing::ScratchDirectory directory("corvane-tlb-fallback");
  const std::wstring copy = directory.widePath() + L"\\VARuDevavuzez.dll";
  const std::wstring beside = directory.widePath() + L"\\VARuDevavuzez.tlb";
  ASSERT_TRUE(::CopyFileW(serverDllPath().c_str(), copy.c_str(), FALSE));
  {
    // Rebuild the copy's resources with the registry script alone.
    UniqueModule original(::LoadLibraryExW(serverDllPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(original.valid());
    HRSRC found = ::FindResourceW(original.get(), MAKEINTRESOURCEW(101), L"REGISTRY");
    ASSERT_NE(nullptr, found);
    const std::string script(static_cast<const char*>(::LockResource(::LoadResource(original.get(), found))),
                             ::SizeofResource(original.get(), found));
    HANDLE update = ::BeginUpdateResourceW(copy.c_str(), TRUE);
    ASSERT_NE(nullptr, update);
    ASSERT_TRUE(::UpdateResourceW(update, L"REGISTRY", MAKEINTRESOURCEW(101),
                                  MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), const_cast<char*>(script.data()),
                                  static_cast<DWORD>(script.size())));
    ASSERT_TRUE(::EndUpdateResourceW(update, FALSE));
  }
  {
    UniqueModule data(::LoadLibraryExW(copy.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(data.valid());
    EXPECT_EQ(nullptr, ::FindResourceW(data.get(), MAKEINTRESOURCEW(1), L"TYPELIB"));
    EXPECT_NE(nullptr, ::FindResourceW(data.get(), MAKEINTRESOURCEW(101), L"REGISTRY"));
  }
  ComPtr<ITypeLib> probe;
  ASSERT_NE(S_OK, ::LoadTypeLib(copy.c_str(), probe.put())) << "the copy must have lost its library";

  EXPECT_NE(0u, regsvr32(copy)) << "no library anywhere: registration fails";
  expectKeyTable(copy);  // the script ran first and its entries stay
  EXPECT_EQ(0u, regsvr32(copy, true)) << "removal reports nothing";
  expectNoKeys();

  ASSERT_TRUE(::CopyFileW(testing::typeLibraryFilePath().c_str(), beside.c_str(), FALSE));
  ASSERT_EQ(0u, regsvr32(copy));
  const wchar_t* platform = sizeof(void*) == 8 ? L"\\1.0\\409\\win64" : L"\\1.0\\409\\win32";
  EXPECT_EQ(beside, stringValue(HKEY_CLASSES_ROOT, testing::kTypeLibKey + std::wstring(platform), nullptr));
  EXPECT_EQ(directory.widePath() + L"\\",
            stringValue(HKEY_CLASSES_ROOT, testing::kTypeLibKey + std::wstring(L"\\1.0\\HELPDIR"), nullptr));
  ASSERT_EQ(0u, regsvr32(copy, true));
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, testing::kTypeLibKey + std::wstring(L"\\1.0")));
  expectNoKeys();
}

TEST_F(ServerRegistration, FallbackPathReplacesTheLastExtension) {
  EXPECT_EQ(L"C:\\a.b\\c.tlb", typeLibraryFallbackPath(L"C:\\a.b\\c.dll"));
  EXPECT_EQ(L"C:\\a.tlb", typeLibraryFallbackPath(L"C:\\a.b\\c"));  // the last "." of the whole path
  EXPECT_EQ(L"C:\\ab\\c.tlb", typeLibraryFallbackPath(L"C:\\ab\\c"));
  EXPECT_EQ(L"it''s", doubleApostrophes(L"it's"));
}

TEST_F(ServerRegistration, MissingModuleOrResourceReportsTheSystemError) {
  ReplacementMap map;
  map.add(u"Module", u"x");
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND),
            runRegistrar(serverDllPath(), 999, "REGISTRY", map, true));
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_RESOURCE_TYPE_NOT_FOUND),
            runRegistrar(serverDllPath(), kRegistryScriptId, "NOSUCHTYPE", map, true));
  const HRESULT missing = runRegistrar(L"C:\\no\\such\\module.dll", kRegistryScriptId, "REGISTRY", map, true);
  EXPECT_EQ(FACILITY_WIN32, HRESULT_FACILITY(missing));
  EXPECT_TRUE(FAILED(missing));
  expectNoKeys();
}

TEST_F(ServerRegistration, ScriptResourceRunsWithAVariableMap) {
  ReplacementMap map;
  map.add(u"Module", u"C:\\from''map\\server.dll");
  ASSERT_EQ(S_OK, runRegistrar(serverDllPath(), kRegistryScriptId, "REGISTRY", map, true));
  EXPECT_EQ(L"C:\\from'map\\server.dll", stringValue(HKEY_CLASSES_ROOT, kClass + L"\\InprocServer32", nullptr));
  ReplacementMap wrong;
  wrong.add(u"Other", u"x");
  EXPECT_EQ(DISP_E_EXCEPTION, runRegistrar(serverDllPath(), kRegistryScriptId, "REGISTRY", wrong, false));
  EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, kClass)) << "a failed substitution touches nothing";
  ASSERT_EQ(S_OK, runRegistrar(serverDllPath(), kRegistryScriptId, "REGISTRY", map, false));
  expectNoKeys();
}

// The interpreter on the real registry, below a scratch key of the current user.
class RealRegistryScript : public ::testing::Test {
 protected:
  static constexpr const wchar_t* kScratch = L"Software\\CorvaneShellTest";
  void SetUp() override { removeScratch(); }
  void TearDown() override { removeScratch(); }
  static void removeScratch() { testing::deleteTree(HKEY_CURRENT_USER, kScratch); }
  ScriptResult run(const std::string& script, bool registering = true) {
    ReplacementMap map;
    map.add(u"Module", u"C:\\m.dll");
    return runScriptText(script, map, registering);
  }
  std::vector<BYTE> raw(const std::wstring& path, const wchar_t* name, DWORD* type) {
    UniqueRegistryKey key;
    std::vector<BYTE> data(64);
    DWORD size = 64;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS ||
        ::RegQueryValueExW(key.get(), name, nullptr, type, data.data(), &size) != ERROR_SUCCESS) {
      return {};
    }
    data.resize(size);
    return data;
  }
  const std::wstring scratch = kScratch;
};

TEST_F(RealRegistryScript, TypesVariablesAndRoots) {
  ASSERT_EQ(S_OK, run("hkey_current_user { Software { CorvaneShellTest { T = s '%module% 100%%' "
                      "{ val D = d 42 val B = b 0aFF val Z = B zz } } } }"));
  DWORD type = 0;
  EXPECT_EQ(L"C:\\m.dll 100%", stringValue(HKEY_CURRENT_USER, scratch + L"\\T", nullptr));
  EXPECT_EQ((std::vector<BYTE>{0x2A, 0, 0, 0}), raw(scratch + L"\\T", L"D", &type));
  EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
  EXPECT_EQ((std::vector<BYTE>{0x0A, 0xFF}), raw(scratch + L"\\T", L"B", &type));
  EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
  EXPECT_EQ((std::vector<BYTE>{0x00}), raw(scratch + L"\\T", L"Z", &type));
  EXPECT_EQ(E_FAIL, run("HKCU { Software { CorvaneShellTest { U = s '%" + std::string(32, 'm') + "%' } } }"));
  EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, scratch + L"\\U")) << "nothing written";
  EXPECT_EQ(DISP_E_EXCEPTION, run("HKCU { Software { CorvaneShellTest { V { val D = d 12x } } } }"));
  EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, scratch + L"\\V")) << "the failed block was undone";
  EXPECT_EQ(DISP_E_EXCEPTION, run("HKEY_NOWHERE { A }"));

  ASSERT_EQ(S_OK, run("HKCU { Software { NoRemove CorvaneShellTest { T { val D = d 1 val B = b 00 } } } }", false));
  EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, scratch + L"\\T"));
  EXPECT_TRUE(keyExists(HKEY_CURRENT_USER, L"Software"));
  ASSERT_EQ(S_OK, run("HKCU { Software { NoRemove CorvaneShellTest { T { Gone } } } }", false))
      << "removal of keys that are already missing";
}

}  // namespace
}  // namespace corvane::testing
