// Planted files as a hostile page meets them: the registered control in Wine's cscript, set
// up and called by JScript, pointed at folders holding files it never installed.
#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>

#include "support/files.h"
#include "support/text.h"
#include "tests/driver/driver_fixture.h"
#include "tests/shell/server_support.h"

namespace corvane::testing {
namespace {

const char kCatalog[] =
    "ok,ok.cab,registers_ok.dll,1.0.0.1,1,0\n"
    "data,data.cab,data.txt,2.0.0.0,2,0\n";
// A list a page got into a folder: a library line and a line for a file to be deleted.
const char kPlantedList[] = "ok,,registers_ok.dll,1.0.0.1,1,1\nvictim,,victim.txt,1.0.0.0,2,1\n";

class PlantedFilesFromAPage : public ::testing::Test, public JobTest {
 protected:
  PlantedFilesFromAPage() : JobTest(::testing::UnitTest::GetInstance()->current_test_info()->name()) {}
  static void SetUpTestSuite() { ASSERT_EQ(0u, regsvr32(serverDllPath())); }
  void SetUp() override {
    for (const char* cabinet : {"ok.cab", "data.cab"}) publish(cabinet);
    publishCatalog(kCatalog);
  }

  // One page: the three properties, then UpdateComponents(names); what the call returned,
  // or the refusal's description.
  std::string page(const std::string& folder, const std::string& baseUrl, const std::string& names) const {
    const std::string script = installPath.substr(0, installPath.size() - 1) + "-page.js";
    std::ofstream(script, std::ios::binary | std::ios::trunc)
        << "var installer = new ActiveXObject(\"VARuDevavuzez.Installer\");\n"
        << "installer.BaseURL = " << jsString(widen(baseUrl)) << ";\n"
        << "installer.AuthPath = " << jsString(widen(authPath)) << ";\n"
        << "installer.InstallPath = " << jsString(widen(folder)) << ";\n"
        << "try { WScript.Echo(\"result \" + installer.UpdateComponents(" << jsString(widen(names)) << ")); }\n"
        << "catch (e) { WScript.Echo(\"refused \" + e.description); }\n";
    const ProcessResult result =
        runProcess(L"\"" + systemProgram(L"cscript.exe") + L"\" //nologo \"" + widen(script) + L"\"");
    EXPECT_EQ(0u, result.exitCode) << result.output;
    ::DeleteFileA(script.c_str());
    return result.output.substr(0, result.output.find_first_of("\r\n"));
  }
  // Each DllRegisterServer of a test library adds a line to "<library>.ran" beside it.
  static size_t registrations(const std::string& folder) { return countLines(readFile(folder + "registers_ok.dll.ran")); }
};

// None of the planted libraries runs, nothing a planted list names is deleted, and the
// library the control installed still registers on the next call.
TEST_F(PlantedFilesFromAPage, PlantedLibrariesNeverRunAndPlantedListsDeleteNothing) {
  ASSERT_EQ("result 1", page(installPath, served.url, "ok,data"));
  ASSERT_EQ(1u, registrations(installPath));
  const std::string installed = readFile(installPath + "registers_ok.dll");
  const struct {
    const char* what;
    std::string folder;
    std::string library;  // the planted bytes under registers_ok.dll
    std::string baseUrl;
  } cases[] = {
      {"a list and library in a folder the control never installed to", folderBeside(installPath, "planted"),
       readFile(builtArtefact("registers_ok.dll")), served.url},
      {"the same, the catalog unreadable", folderBeside(installPath, "unread"), readFile(builtArtefact("registers_ok.dll")),
       served.faultUrl("not-found")},
      {"a copy of the installed library under a line added by hand", folderBeside(installPath, "copied"), installed, served.url},
      {"the installed library replaced by other bytes", installPath, readFile(builtArtefact("registers_one.dll")),
       served.url},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_FALSE(c.library.empty());
    const size_t installedRuns = registrations(installPath);
    writeWholeFile(c.folder + "registers_ok.dll", c.library);
    writeWholeFile(c.folder + "victim.txt", "keep me");
    if (c.folder != installPath) writeWholeFile(c.folder + "components.txt", kPlantedList);
    const std::vector<std::string> filesBefore = fileNamesIn(c.folder);

    page(c.folder, c.baseUrl, "");
    EXPECT_EQ("keep me", readFile(c.folder + "victim.txt"));
    EXPECT_EQ(c.library, readFile(c.folder + "registers_ok.dll"));
    if (c.folder == installPath) {
      EXPECT_EQ(installedRuns, registrations(installPath)) << "the replacement ran";
      writeWholeFile(installPath + "registers_ok.dll", installed);  // as the control installed it
    } else {
      EXPECT_EQ(0u, registrations(c.folder)) << "the planted library ran";
      EXPECT_EQ(filesBefore, fileNamesIn(c.folder)) << "a file was made or deleted in the planted folder";
    }
    page(installPath, served.url, "");
    EXPECT_EQ(installedRuns + 1, registrations(installPath)) << "the installed library stopped registering";
  }
}

}  // namespace
}  // namespace corvane::testing
