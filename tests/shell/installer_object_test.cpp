// The Installer object's settings and refusals, on Wine's OLE Automation runtime.
#include <gtest/gtest.h>

#include "shell/installer.h"
#include "support/wine_support.h"

namespace corvane::testing {
namespace {

class InstallerObject : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, Installer::createInstance(IID_IInstaller, installer.putVoid()));
    ::SetErrorInfo(0, nullptr);
  }
  void setAll() {
    auto value = makeBstr(L"x");
    ASSERT_EQ(S_OK, installer->put_BaseURL(value.get()));
    ASSERT_EQ(S_OK, installer->put_AuthPath(value.get()));
    ASSERT_EQ(S_OK, installer->put_InstallPath(value.get()));
  }
  // Runs a refused UpdateComponents and returns its message; the result slot must end at 0.
  std::wstring refusalOfUpdate() {
    int result = 7;
    auto names = makeBstr(L"a");
    EXPECT_EQ(DISP_E_EXCEPTION, installer->UpdateComponents(names.get(), &result));
    EXPECT_EQ(0, result);
    return takeThreadErrorInfo().description;
  }
  std::wstring refusalOfCertificate(BSTR fileName) {
    EXPECT_EQ(DISP_E_EXCEPTION, installer->InstallCertificate(fileName));
    return takeThreadErrorInfo().description;
  }

  ComPtr<IInstaller> installer;
};

TEST_F(InstallerObject, PropertiesStartAbsentAndKeepWhatWasStored) {
  UniqueBstr value;
  ASSERT_EQ(S_OK, installer->get_BaseURL(value.put()));
  EXPECT_FALSE(value.present());
  ASSERT_EQ(S_OK, installer->get_AuthPath(value.put()));
  EXPECT_FALSE(value.present());
  ASSERT_EQ(S_OK, installer->get_InstallPath(value.put()));
  EXPECT_FALSE(value.present());

  auto first = makeBstr(L"http://127.0.0.1/a/");
  auto second = makeBstr(L"https://example.test/b/");
  ASSERT_EQ(S_OK, installer->put_BaseURL(first.get()));
  ASSERT_EQ(S_OK, installer->put_BaseURL(second.get()));
  ASSERT_EQ(S_OK, installer->get_BaseURL(value.put()));
  ASSERT_TRUE(value.present());
  EXPECT_STREQ(L"https://example.test/b/", value.get());
  EXPECT_NE(second.get(), value.get()) << "the caller must get its own copy";
}

TEST_F(InstallerObject, EachPropertyIsIndependent) {
  auto base = makeBstr(L"base"), auth = makeBstr(L"auth"), path = makeBstr(L"path");
  installer->put_BaseURL(base.get());
  installer->put_AuthPath(auth.get());
  installer->put_InstallPath(path.get());
  UniqueBstr value;
  installer->get_BaseURL(value.put());
  EXPECT_STREQ(L"base", value.get());
  installer->get_AuthPath(value.put());
  EXPECT_STREQ(L"auth", value.get());
  installer->get_InstallPath(value.put());
  EXPECT_STREQ(L"path", value.get());
}

TEST_F(InstallerObject, NullMakesAPropertyAbsentAndEmptyStaysPresent) {
  auto empty = makeBstr(L"");
  ASSERT_EQ(S_OK, installer->put_AuthPath(empty.get()));
  UniqueBstr value;
  ASSERT_EQ(S_OK, installer->get_AuthPath(value.put()));
  ASSERT_TRUE(value.present());
  EXPECT_EQ(0u, ::SysStringLen(value.get()));

  ASSERT_EQ(S_OK, installer->put_AuthPath(nullptr));
  ASSERT_EQ(S_OK, installer->get_AuthPath(value.put()));
  EXPECT_FALSE(value.present());
}

TEST_F(InstallerObject, AValueIsStoredOnlyUpToAnEmbeddedNull) {
  const wchar_t text[] = L"C:\\ok\0C:\\hidden";
  auto withNull = makeBstr(text, static_cast<UINT>(sizeof(text) / sizeof(wchar_t) - 1));
  ASSERT_EQ(S_OK, installer->put_InstallPath(withNull.get()));
  UniqueBstr value;
  ASSERT_EQ(S_OK, installer->get_InstallPath(value.put()));
  EXPECT_EQ(5u, ::SysStringLen(value.get()));
  EXPECT_STREQ(L"C:\\ok", value.get());
}

TEST_F(InstallerObject, NullOutPointersAreRefusedWithoutWriting) {
  EXPECT_EQ(E_POINTER, installer->get_BaseURL(nullptr));
  EXPECT_EQ(E_POINTER, installer->get_AuthPath(nullptr));
  EXPECT_EQ(E_POINTER, installer->get_InstallPath(nullptr));
  setAll();
  auto names = makeBstr(L"a");
  EXPECT_EQ(E_POINTER, installer->UpdateComponents(names.get(), nullptr));
}

TEST_F(InstallerObject, UpdateChecksSettingsInOrderAndReportsOnlyTheFirst) {
  EXPECT_EQ(L"CodebaseURL is not initialized", refusalOfUpdate());
  auto value = makeBstr(L"");
  installer->put_BaseURL(value.get());
  EXPECT_EQ(L"AuthURL is not initialized", refusalOfUpdate());
  installer->put_AuthPath(value.get());
  EXPECT_EQ(L"Installation path is not specified", refusalOfUpdate());
  installer->put_BaseURL(nullptr);
  EXPECT_EQ(L"CodebaseURL is not initialized", refusalOfUpdate());
}

TEST_F(InstallerObject, CertificateChecksUseTheirOwnWords) {
  auto file = makeBstr(L"server.cer");
  EXPECT_EQ(L"BaseURL is not initialized", refusalOfCertificate(file.get()));
  auto value = makeBstr(L"x");
  installer->put_BaseURL(value.get());
  EXPECT_EQ(L"AuthURL is not initialized", refusalOfCertificate(file.get()));
  installer->put_AuthPath(value.get());
  installer->put_InstallPath(value.get());
  // A missing file name is reported with the installation-path message, even with the path set.
  EXPECT_EQ(L"Installation path is not specified", refusalOfCertificate(nullptr));
}

TEST_F(InstallerObject, CertificateDoesNotNeedTheInstallPath) {
  auto base = makeBstr(L"http://127.0.0.1:9/"), auth = makeBstr(L"/auth");
  installer->put_BaseURL(base.get());
  installer->put_AuthPath(auth.get());
  auto file = makeBstr(L"");
  EXPECT_EQ(S_OK, installer->InstallCertificate(file.get()));
  EXPECT_FALSE(takeThreadErrorInfo().present);
}

// Empty settings are present, so the presence checks pass them; the checks on what
// reaches the wire and on the installation path do not.
TEST_F(InstallerObject, EmptySettingsPassThePresenceChecksOnly) {
  auto empty = makeBstr(L"");
  installer->put_BaseURL(empty.get());
  installer->put_AuthPath(empty.get());
  installer->put_InstallPath(empty.get());
  EXPECT_EQ(L"Server is not allowed", refusalOfUpdate());
  auto base = makeBstr(L"http://127.0.0.1:9/"), auth = makeBstr(L"/auth");
  installer->put_BaseURL(base.get());
  installer->put_AuthPath(auth.get());
  EXPECT_EQ(L"Installation path is not allowed", refusalOfUpdate());
}

// What the ANSI code page (1252 here) cannot carry exactly is refused with the message
// of the value's absence; a component name that cannot be converted only chooses nothing.
TEST_F(InstallerObject, ValuesTheCodePageCannotCarryAreRefused) {
  auto base = makeBstr(L"http://127.0.0.1:9/"), auth = makeBstr(L"/auth"), path = makeBstr(L"C:\\corvane-x\\");
  auto lookAlike = makeBstr(L"C:\\Users\\Public\\\uFF0E\uFF0E\uFF3C\uFF0E\uFF0E\uFF3Cacc\uFF3C");
  auto foreign = makeBstr(L"http://127.0.0.1:9/\u4E00/");
  installer->put_BaseURL(foreign.get());
  installer->put_AuthPath(auth.get());
  installer->put_InstallPath(path.get());
  EXPECT_EQ(L"CodebaseURL is not initialized", refusalOfUpdate());
  auto file = makeBstr(L"c.cer");
  EXPECT_EQ(L"BaseURL is not initialized", refusalOfCertificate(file.get()));
  installer->put_BaseURL(base.get());
  auto foreignAuth = makeBstr(L"/\u0100uth");
  installer->put_AuthPath(foreignAuth.get());
  EXPECT_EQ(L"AuthURL is not initialized", refusalOfUpdate());
  EXPECT_EQ(L"AuthURL is not initialized", refusalOfCertificate(file.get()));
  installer->put_AuthPath(auth.get());
  auto foreignFile = makeBstr(L"\u4E00.cer");
  EXPECT_EQ(L"Installation path is not specified", refusalOfCertificate(foreignFile.get()));
  installer->put_InstallPath(lookAlike.get());
  EXPECT_EQ(L"Installation path is not allowed", refusalOfUpdate());
  installer->put_InstallPath(path.get());
  int result = 7;
  auto names = makeBstr(L"\u4E00,\u0100");
  EXPECT_EQ(S_OK, installer->UpdateComponents(names.get(), &result));
  EXPECT_EQ(0, result);
}

TEST_F(InstallerObject, ErrorInfoCarriesInterfaceAndNoSourceWhenClassIsUnregistered) {
  ::RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + testing::guidText(CLSID_Installer)).c_str());
  int result = 0;
  ASSERT_EQ(DISP_E_EXCEPTION, installer->UpdateComponents(nullptr, &result));
  const auto info = takeThreadErrorInfo();
  ASSERT_TRUE(info.present);
  EXPECT_EQ(L"CodebaseURL is not initialized", info.description);
  EXPECT_TRUE(IsEqualGUID(IID_IInstaller, info.guid));
  EXPECT_EQ(L"", info.source);
}

TEST_F(InstallerObject, ErrorInfoNamesTheRegisteredProgId) {
  testing::ScopedProgIdRegistration registration(CLSID_Installer, L"VARuDevavuzez.Installer.1");
  ASSERT_EQ(DISP_E_EXCEPTION, installer->InstallCertificate(nullptr));
  const auto info = takeThreadErrorInfo();
  ASSERT_TRUE(info.present);
  EXPECT_EQ(L"BaseURL is not initialized", info.description);
  EXPECT_EQ(L"VARuDevavuzez.Installer.1", info.source);
  EXPECT_TRUE(IsEqualGUID(IID_IInstaller, info.guid));
}

TEST_F(InstallerObject, IdentityAnswersTheDualInterfaceOnly) {
  ComPtr<IUnknown> unknown;
  ComPtr<IDispatch> dispatch;
  ASSERT_EQ(S_OK, installer.queryInterface(IID_IUnknown, unknown));
  ASSERT_EQ(S_OK, installer.queryInterface(IID_IDispatch, dispatch));
  EXPECT_EQ(static_cast<void*>(installer.get()), static_cast<void*>(unknown.get()));
  EXPECT_EQ(static_cast<void*>(installer.get()), static_cast<void*>(dispatch.get()));
  ComPtr<IPersist> persist;
  EXPECT_EQ(E_NOINTERFACE, installer.queryInterface(IID_IPersist, persist));
  EXPECT_FALSE(persist);
  EXPECT_EQ(E_POINTER, installer->QueryInterface(IID_IUnknown, nullptr));
}

TEST_F(InstallerObject, EveryLiveObjectHoldsTheModule) {
  const LONG before = moduleLockCount();
  ComPtr<IInstaller> second;
  ASSERT_EQ(S_OK, Installer::createInstance(IID_IInstaller, second.putVoid()));
  EXPECT_EQ(before + 1, moduleLockCount());
  second.reset();
  EXPECT_EQ(before, moduleLockCount());
  ComPtr<IPersist> refused;
  EXPECT_EQ(E_NOINTERFACE, Installer::createInstance(IID_IPersist, refused.putVoid()));
  EXPECT_EQ(before, moduleLockCount()) << "a failed creation must leave no lock behind";
}

}  // namespace
}  // namespace corvane::testing
