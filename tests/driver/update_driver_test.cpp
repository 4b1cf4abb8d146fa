// UpdateComponents' job end to end: the reference component server on 127.0.0.1,
// cabinets made by gcab, component libraries loaded and registered by Wine.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <cstdio>

#include "tests/driver/driver_fixture.h"
#include "update/update_driver.h"

namespace corvane::testing {
namespace {

const char kFullCatalog[] =
    "ok,ok.cab,registers_ok.dll,1.0.0.1,1,0\n"
    "data,data.cab,data.txt,2.0.0.0,2,0\r\n"
    "fails,fail.cab,registers_one.dll,1.0.0.0,1,0\n"
    "noexport,noexport.cab,no_register_export.dll,1.0.0.0,1,0\n";

class UpdateJob : public ::testing::Test, public testing::JobTest {
 protected:
  UpdateJob() : JobTest(::testing::UnitTest::GetInstance()->current_test_info()->name()) {}

  void SetUp() override {
    for (const char* cabinet : {"ok.cab", "data.cab", "fail.cab", "noexport.cab"}) publish(cabinet);
    publishCatalog(kFullCatalog);
    temporaryBefore = temporaryFileNames();
  }

  UpdateOutcome update(const std::string& names, const std::string& baseUrl, const std::string& auth) {
    return runUpdate(UpdateRequest{installPath, names, baseUrl, auth});
  }
  UpdateOutcome update(const std::string& names) { return update(names, served.url, authPath); }
  std::string localList() const { return readFile(listPath); }
  size_t registrations(const std::string& library) const {
    return countLines(readFile(installPath + library + ".ran"));
  }
  void expectNoTemporaryFileLeft() const { EXPECT_EQ(temporaryBefore, temporaryFileNames()); }

  std::vector<std::string> temporaryBefore;
};

TEST_F(UpdateJob, FreshInstallPutsFilesInPlaceAndRecordsWhatRegistered) {
  const UpdateOutcome outcome = update("ok,data,fails,noexport");
  EXPECT_EQ(UpdateStatus::Completed, outcome.status);
  EXPECT_TRUE(outcome.choseComponents);

  EXPECT_TRUE(fileExists(installPath + "registers_ok.dll"));
  EXPECT_EQ("component data, first edition\n", readFile(installPath + "data.txt"));
  EXPECT_FALSE(fileExists(installPath + "other.txt")) << "only the named file leaves the cabinet";
  // Libraries whose registration fails keep their file but lose their line.
  EXPECT_TRUE(fileExists(installPath + "registers_one.dll"));
  EXPECT_TRUE(fileExists(installPath + "no_register_export.dll"));
  EXPECT_EQ("ok,,registers_ok.dll,1.0.0.1,1,0\ndata,,data.txt,2.0.0.0,2,0\n", localList());
  EXPECT_EQ(1u, registrations("registers_ok.dll"));
  EXPECT_EQ(1u, registrations("registers_one.dll"));
  expectNoTemporaryFileLeft();
}

TEST_F(UpdateJob, SecondCallChoosesNothingAndRegistersAgain) {
  update("ok,data");
  const UpdateOutcome again = update("ok,data");
  EXPECT_FALSE(again.choseComponents);
  EXPECT_EQ("ok,,registers_ok.dll,1.0.0.1,1,1\ndata,,data.txt,2.0.0.0,2,1\n", localList());
  EXPECT_EQ(2u, registrations("registers_ok.dll"));
  expectNoTemporaryFileLeft();
}

TEST_F(UpdateJob, NewerCatalogVersionReplacesTheInstalledFile) {
  update("data");
  publish("data2.cab");
  publishCatalog("data,data2.cab,data.txt,2.0.0.10,2,0\n");
  // Not named: the stale file goes and nothing replaces it.
  EXPECT_FALSE(update("").choseComponents);
  EXPECT_FALSE(fileExists(installPath + "data.txt"));
  EXPECT_EQ("", localList());
  // Named: installed again at the new version.
  EXPECT_TRUE(update("data").choseComponents);
  EXPECT_EQ("component data, second edition\n", readFile(installPath + "data.txt"));
  EXPECT_EQ("data,,data.txt,2.0.0.10,2,0\n", localList());
}

TEST_F(UpdateJob, LocalCopyNewerThanTheCatalogStays) {
  update("data");
  publishCatalog("data,data.cab,data.txt,1.9.9.9,2,0\n");
  EXPECT_FALSE(update("data").choseComponents);
  EXPECT_TRUE(fileExists(installPath + "data.txt"));
  EXPECT_EQ("data,,data.txt,2.0.0.0,2,1\n", localList());
}

TEST_F(UpdateJob, ComponentsTheCatalogNoLongerListsAreRemoved) {
  update("ok,data");
  publishCatalog("ok,ok.cab,registers_ok.dll,1.0.0.1,1,0\n");
  update("");
  EXPECT_FALSE(fileExists(installPath + "data.txt"));
  EXPECT_EQ("ok,,registers_ok.dll,1.0.0.1,1,1\n", localList());
}

TEST_F(UpdateJob, AnEmptyCatalogRetiresEverything) {
  update("data");
  publishCatalog("");
  update("");
  EXPECT_FALSE(fileExists(installPath + "data.txt"));
  EXPECT_EQ("", localList());
}

TEST_F(UpdateJob, CatalogThatCannotBeReadDeletesNothing) {
  update("ok,data");
  const std::string listBefore = localList();
  for (const char* fault : {"file-error", "not-found", "short-body", "drop-mid-body", "html-page"}) {
    SCOPED_TRACE(fault);
    const UpdateOutcome outcome = update("data", served.faultUrl(fault), authPath);
    EXPECT_EQ(UpdateStatus::Completed, outcome.status);
    EXPECT_FALSE(outcome.choseComponents);
    EXPECT_TRUE(fileExists(installPath + "data.txt"));
    EXPECT_TRUE(fileExists(installPath + "registers_ok.dll"));
    EXPECT_EQ(listBefore, localList());
  }
  EXPECT_EQ(6u, registrations("registers_ok.dll")) << "registration still runs on every call";
}

TEST_F(UpdateJob, UnauthenticatedServerInstallsAndRecordsNothing) {
  for (const char* fault : {"wrong-key", "sign-hex-text", "sha256", "lowercase-echo", "no-equals", "auth-error"}) {
    SCOPED_TRACE(fault);
    const UpdateOutcome outcome = update("data,ok", served.url, std::string("/_fault/") + fault + authPath);
    EXPECT_TRUE(outcome.choseComponents) << "chosen, though not installed";
    EXPECT_FALSE(fileExists(installPath + "data.txt"));
    EXPECT_FALSE(fileExists(installPath + "registers_ok.dll"));
    EXPECT_EQ("", localList());
    expectNoTemporaryFileLeft();
  }
}

TEST_F(UpdateJob, BrokenPackageDownloadRecordsNothing) {
  // The package name climbs out of the served directory and back in through the fault
  // prefix, so only the package request carries the fault.
  const std::string directory = served.url.substr(testing::componentServerUrl().size());
  for (const char* fault : {"file-error", "not-found", "short-body", "drop-mid-body"}) {
    SCOPED_TRACE(fault);
    publishCatalog("data,../_fault/" + std::string(fault) + "/" + directory + "data.cab,data.txt,2.0.0.0,2,0\n");
    EXPECT_TRUE(update("data").choseComponents);
    EXPECT_FALSE(fileExists(installPath + "data.txt"));
    EXPECT_EQ("", localList());
    expectNoTemporaryFileLeft();
  }
  publishCatalog("data,../_fault/slow-pieces/" + directory + "data.cab,data.txt,2.0.0.0,2,0\n");
  EXPECT_TRUE(update("data").choseComponents);
  EXPECT_EQ("data,,data.txt,2.0.0.0,2,0\n", localList()) << "a slow but whole package installs";
}

TEST_F(UpdateJob, ProgramFilesTokenExpandsInAnyLetterCase) {
  char programFiles[MAX_PATH + 1] = {};
  ASSERT_TRUE(::SHGetSpecialFolderPathA(nullptr, programFiles, 0x26 /*CSIDL_PROGRAM_FILES*/, FALSE));
  const std::string folder = "corvane-token-" + std::to_string(::GetCurrentProcessId());
  for (const char* token : {"%ProgramFiles%", "%PROGRAMFILES%", "%programfiles%"}) {
    SCOPED_TRACE(token);
    const std::string expanded = std::string(programFiles) + "\\" + folder + "\\";
    ::DeleteFileA((expanded + "data.txt").c_str());
    ::DeleteFileA((expanded + "components.txt").c_str());
    runUpdate(UpdateRequest{std::string(token) + "\\" + folder + "\\", std::string("data"), served.url, authPath});
    EXPECT_TRUE(fileExists(expanded + "data.txt"));
    EXPECT_EQ("data,,data.txt,2.0.0.0,2,0\n", readFile(expanded + "components.txt"));
  }
}

TEST_F(UpdateJob, PathsAreJoinedByPlainConcatenation) {
  // Without a trailing backslash the list and the files sit beside the folder.
  const std::string bare = installPath.substr(0, installPath.size() - 1) + "%x";
  runUpdate(UpdateRequest{bare, std::string("data"), served.url, authPath});
  EXPECT_TRUE(fileExists(bare + "data.txt"));
  EXPECT_EQ("data,,data.txt,2.0.0.0,2,0\n", readFile(bare + "components.txt"));
}

TEST_F(UpdateJob, NamesAreNotTrimmedAndRepeatsInstallTwice) {
  EXPECT_FALSE(update(" data").choseComponents);
  EXPECT_FALSE(fileExists(installPath + "data.txt"));
  EXPECT_TRUE(update("data,data").choseComponents);
  EXPECT_EQ("data,,data.txt,2.0.0.0,2,0\ndata,,data.txt,2.0.0.0,2,0\n", localList());
}

TEST_F(UpdateJob, RecordsOutsideTheInstallationDirectoryAreNeverTouched) {
  const std::string victim = installPath + "..\\victim-" + std::to_string(::GetCurrentProcessId()) + ".txt";
  ::CreateDirectoryA(installPath.c_str(), nullptr);
  {
    FILE* file = std::fopen(victim.c_str(), "wb");
    ASSERT_NE(nullptr, file);
    std::fputs("keep me", file);
    std::fclose(file);
  }
  const std::string victimName = victim.substr(installPath.size());
  FILE* list = std::fopen(listPath.c_str(), "wb");
  ASSERT_NE(nullptr, list);
  std::fprintf(list, "evil,,%s,1.0.0.0,1,0\n", victimName.c_str());
  std::fclose(list);
  publishCatalog("evil,data.cab,..\\data.txt,9.0.0.0,2,0\n");

  EXPECT_FALSE(update("evil").choseComponents);
  EXPECT_EQ("keep me", readFile(victim));
  EXPECT_FALSE(fileExists(installPath + "..\\data.txt"));
  EXPECT_EQ("", localList()) << "the unsafe line is dropped at the next rewrite";
  ::DeleteFileA(victim.c_str());
}

TEST_F(UpdateJob, StaleFileInUseIsKeptAndRetriedNextCall) {
  update("data");
  publishCatalog("");
  {
    // Open without delete sharing, as a running program would hold it.
    HANDLE held = ::CreateFileA((installPath + "data.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    update("");
    ::CloseHandle(held);
  }
  EXPECT_TRUE(fileExists(installPath + "data.txt"));
  EXPECT_EQ("data,,data.txt,2.0.0.0,2,2\n", localList());
  update("");
  EXPECT_FALSE(fileExists(installPath + "data.txt"));
  EXPECT_EQ("", localList());
}

}  // namespace
}  // namespace corvane::testing
