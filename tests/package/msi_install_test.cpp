// The package's MSI under Wine's msiexec: what it registers equals what regsvr32 writes for
// the same file, the control it installs runs an install through installer-host, a newer
// release replaces an older one, and uninstalling leaves none of the control's keys.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "support/text.h"
#include "tests/driver/driver_fixture.h"
#include "tests/package/package_paths.h"
#include "tests/shell/server_support.h"

namespace corvane::testing {
namespace {

std::string controlFolder() {
  char programFiles[MAX_PATH] = {};
  ::SHGetSpecialFolderPathA(nullptr, programFiles, CSIDL_PROGRAM_FILES, FALSE);
  return std::string(programFiles) + "\\Corvane\\Control\\";
}
std::string installedControl() { return controlFolder() + "VARuDevavuzez.dll"; }

// msiexec's exit code (with /qn it prints nothing).
DWORD msiexec(const char* option, const std::string& package) {
  return runProcess(L"\"" + systemProgram(L"msiexec.exe") + L"\" " + widen(option) + L" \"" + widen(package) +
                    L"\" /qn")
      .exitCode;
}
std::string currentMsi() { return packagedFile("VARuDevavuzez-" PROJECT_VERSION "-" TEST_PACKAGE_ARCH ".msi"); }
std::string previousMsi() { return previousPackagedFile("VARuDevavuzez-0.9.0.0-" TEST_PACKAGE_ARCH ".msi"); }

// The version of each installed release of the control, as Programs and Features lists
// them.
std::vector<std::wstring> installedReleases() {
  const std::wstring uninstall = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
  std::vector<std::wstring> versions;
  UniqueRegistryKey products;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, uninstall.c_str(), 0, KEY_READ, products.put()) != ERROR_SUCCESS) {
    return versions;
  }
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD length = 256;
    if (::RegEnumKeyExW(products.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      break;
    }
    const std::wstring product = uninstall + L"\\" + name;
    if (stringValue(HKEY_LOCAL_MACHINE, product, L"DisplayName") == std::wstring(L"Corvane Installer control")) {
      versions.push_back(stringValue(HKEY_LOCAL_MACHINE, product, L"DisplayVersion").value_or(L"(none)"));
    }
  }
  return versions;
}

class MsiPackage : public ::testing::Test {
 protected:
  void SetUp() override { removeEverything(); }
  void TearDown() override { removeEverything(); }
  static void removeEverything() {
    msiexec("/x", currentMsi());
    msiexec("/x", previousMsi());
    regsvr32(widen(installedControl()), true);
    ::DeleteFileA(installedControl().c_str());
    ::RemoveDirectoryA(controlFolder().c_str());
    for (const wchar_t* key : kRegistrationKeys) deleteTree(HKEY_CLASSES_ROOT, key);
  }
  void install(const std::string& package) {
    ASSERT_EQ(0u, msiexec("/i", package)) << package;
  }
  // The installed file is the one the package carries (compared as a whole: a diff of two
  // images would take gtest minutes).
  void expectInstalledControl(const std::string& packaged = packagedFile("VARuDevavuzez.dll")) {
    EXPECT_TRUE(fileBytes(packaged) == readFile(installedControl())) << "installed control differs from " << packaged;
    EXPECT_EQ(widen(installedControl()), stringValue(HKEY_CLASSES_ROOT, std::wstring(kClassKey) + L"\\InprocServer32",
                                                     nullptr).value_or(L""));
  }
  void expectNothingLeft() {
    EXPECT_EQ(L"", registrationState());
    EXPECT_FALSE(pathExists(installedControl()));
    EXPECT_FALSE(pathExists(controlFolder()));
    EXPECT_TRUE(installedReleases().empty());
  }
};

TEST_F(MsiPackage, RegistersWhatRegsvr32WouldAndUninstallsCleanly) {
  install(currentMsi());
  expectInstalledControl();
  const std::wstring byMsi = registrationState();
  ASSERT_EQ(0u, msiexec("/x", currentMsi()));
  expectNothingLeft();

  // The same file at the same place, registered by the control itself.
  ::CreateDirectoryA(controlFolder().substr(0, controlFolder().size() - 9).c_str(), nullptr);
  ::CreateDirectoryA(controlFolder().c_str(), nullptr);
  ASSERT_TRUE(::CopyFileA(packagedFile("VARuDevavuzez.dll").c_str(), installedControl().c_str(), FALSE));
  ASSERT_EQ(0u, regsvr32(widen(installedControl())));
  EXPECT_EQ(registrationState(), byMsi);
}

TEST_F(MsiPackage, InstalledControlRunsAnInstallThroughTheSignedHost) {
  JobTest job("MsiInstalledControl");
  job.publish("data.cab");
  job.publishCatalog("data,data.cab,data.txt,2.0.0.0,2,0\n");
  install(currentMsi());
  const ProcessResult run = runProcess(L"\"" + widen(packagedFile("installer-host.exe")) + L"\" update --base-url " +
                                       widen(job.served.url) + L" --auth-path /auth --install-path " +
                                       widen(job.installPath) + L" data");
  EXPECT_EQ(0u, run.exitCode) << run.output;
  EXPECT_NE(std::string::npos, run.output.find("result: 1")) << run.output;
  EXPECT_TRUE(fileExists(job.installPath + "data.txt"));

  ASSERT_EQ(0u, msiexec("/x", currentMsi()));
  expectNothingLeft();
  EXPECT_TRUE(fileExists(job.installPath + "data.txt")) << "the installed components stay";
  EXPECT_EQ("data,,data.txt,2.0.0.0,2,0\n", readFile(job.listPath));
}

TEST_F(MsiPackage, NewerReleaseReplacesTheEarlierOne) {
  install(previousMsi());
  EXPECT_EQ(std::vector<std::wstring>{L"0.9.0.0"}, installedReleases());
  expectInstalledControl(previousPackagedFile("VARuDevavuzez.dll"));
  install(currentMsi());
  EXPECT_EQ(std::vector<std::wstring>{widen(PROJECT_VERSION)}, installedReleases());
  expectInstalledControl();

  EXPECT_NE(0u, msiexec("/i", previousMsi())) << "an older release does not replace a newer one";
  EXPECT_EQ(std::vector<std::wstring>{widen(PROJECT_VERSION)}, installedReleases());

  ASSERT_EQ(0u, msiexec("/x", currentMsi()));
  expectNothingLeft();
}

}  // namespace
}  // namespace corvane::testing
