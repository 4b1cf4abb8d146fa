// UpdateComponents' job end to end: the reference component server on 127.0.0.1,
// cabinets made by gcab, component libraries loaded and registered by Wine.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <cstdint>
#include <optional>

#include "base/unique_resource.h"

#include "tests/driver/driver_fixture.h"
#include "support/server_client.h"
#include "update/update_driver.h"

namespace corvane::testing {
namespace {

// A fresh directory made the current one for the life of the object.
class ScratchCurrentDirectory {
 public:
  explicit ScratchCurrentDirectory(const std::string& name) {
    char previous[MAX_PATH + 1] = {}, temporary[MAX_PATH + 1] = {};
    ::GetCurrentDirectoryA(MAX_PATH, previous);
    previous_ = previous;
    ::GetTempPathA(MAX_PATH, temporary);
    path_ = std::string(temporary) + name + "\\";
    ::CreateDirectoryA(path_.c_str(), nullptr);
    ::SetCurrentDirectoryA(path_.c_str());
  }
  ~ScratchCurrentDirectory() { ::SetCurrentDirectoryA(previous_.c_str()); }
  const std::string& path() const { return path_; }
  bool isEmpty() const {
    WIN32_FIND_DATAA entry;
    HANDLE search = ::FindFirstFileA((path_ + "*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return true;
    bool empty = true;
    do {
      const std::string name = entry.cFileName;
      if (name != "." && name != "..") empty = false;
    } while (::FindNextFileA(search, &entry));
    ::FindClose(search);
    return empty;
  }

 private:
  std::string previous_;
  std::string path_;
};

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
    return runUpdate(UpdateRequest{installPath, names, baseUrl, auth, std::nullopt});
  }
  UpdateOutcome update(const std::string& names) { return update(names, served.url, authPath); }
  std::string localList() const { return readFile(listPath); }
  size_t registrations(const std::string& library) const {
    return countLines(readFile(installPath + library + ".ran"));
  }
  void expectNoTemporaryFileLeft() const { EXPECT_EQ(temporaryBefore, temporaryFileNames()); }
  static void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  }
  // Sorted, without letter case.
  std::vector<std::string> installedFileNames() const {
    std::vector<std::string> names = testing::fileNamesIn(installPath);
    for (std::string& name : names) {
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    std::sort(names.begin(), names.end());
    return names;
  }

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

// When the list file was last written (to the platform's full resolution): a rewrite puts
// a freshly written file in its place.
std::optional<uint64_t> lastWritten(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  return (uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
}

TEST_F(UpdateJob, CallThatChangesNothingLeavesTheListFileAlone) {
  update("ok,data");
  update("ok,data");  // marks both current: the text changes once more
  const auto before = lastWritten(listPath);
  ASSERT_TRUE(before.has_value());
  update("ok,data");
  update("");
  EXPECT_EQ(before, lastWritten(listPath)) << "the list was rewritten with the same text";
  EXPECT_EQ("ok,,registers_ok.dll,1.0.0.1,1,1\ndata,,data.txt,2.0.0.0,2,1\n", localList());
  EXPECT_EQ(4u, registrations("registers_ok.dll"));
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

// The catalog comes unauthenticated: before its first deletion the call makes the server
// pass the handshake, and when it fails the catalog counts as unreadable. A call with
// nothing to delete asks nothing more of the server.
TEST_F(UpdateJob, OnlyAServerThatPassesTheHandshakeRetiresComponents) {
  const std::string ownAuth = "/" + served.url.substr(testing::componentServerUrl().size()) + "auth";
  const auto posts = [&] { return testing::serverRequestsContaining("POST " + ownAuth).size(); };
  update("ok,data", served.url, ownAuth);
  ASSERT_EQ(2u, posts()) << "one handshake per package";
  update("ok,data", served.url, ownAuth);
  EXPECT_EQ(2u, posts()) << "nothing stale, no handshake";

  const std::string listBefore = localList();
  publishCatalog("");
  for (const char* fault : {"wrong-key", "auth-error-signed", "auth-redirect"}) {
    SCOPED_TRACE(fault);
    const UpdateOutcome outcome = update("ok", served.url, std::string("/_fault/") + fault + ownAuth);
    EXPECT_FALSE(outcome.choseComponents);
    EXPECT_TRUE(fileExists(installPath + "data.txt"));
    EXPECT_TRUE(fileExists(installPath + "registers_ok.dll"));
    EXPECT_EQ(listBefore, localList());
  }
  update("", served.url, ownAuth);
  EXPECT_EQ(3u, posts());
  EXPECT_FALSE(fileExists(installPath + "data.txt"));
  EXPECT_EQ("", localList());
  expectNoTemporaryFileLeft();

  // A stale record whose file another record still needs only loses its line: nothing is
  // deleted, so no handshake is asked for, and one that would fail changes nothing.
  const std::string failing = std::string("/_fault/wrong-key") + ownAuth;
  const size_t failingBefore = testing::serverRequestsContaining("POST " + failing).size();
  writeFile(installPath + "data.txt", "component data, first edition\n");
  writeFile(listPath, "data,,data.txt,2.0.0.0,2,1\nalias,,data.txt,2.0.0.0,2,1\n");
  publishCatalog("data,data.cab,data.txt,2.0.0.0,2,0\n");
  update("", served.url, failing);
  EXPECT_EQ("data,,data.txt,2.0.0.0,2,1\n", localList());
  EXPECT_EQ("component data, first edition\n", readFile(installPath + "data.txt"));
  EXPECT_EQ(failingBefore, testing::serverRequestsContaining("POST " + failing).size());
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
    runUpdate(UpdateRequest{std::string(token) + "\\" + folder + "\\", std::string("data"), served.url, authPath, std::nullopt});
    EXPECT_TRUE(fileExists(expanded + "data.txt"));
    EXPECT_EQ("data,,data.txt,2.0.0.0,2,0\n", readFile(expanded + "components.txt"));
  }
}

TEST_F(UpdateJob, PathsAreJoinedByPlainConcatenation) {
  // Without a trailing backslash the list and the files sit beside the folder.
  const std::string bare = installPath.substr(0, installPath.size() - 1) + "%x";
  runUpdate(UpdateRequest{bare, std::string("data"), served.url, authPath, std::nullopt});
  EXPECT_TRUE(fileExists(bare + "data.txt"));
  EXPECT_EQ("data,,data.txt,2.0.0.0,2,0\n", readFile(bare + "components.txt"));
}

TEST_F(UpdateJob, NamesAreNotTrimmedAndEachRecordIsChosenOnce) {
  EXPECT_FALSE(update(" data").choseComponents);
  EXPECT_FALSE(fileExists(installPath + "data.txt"));
  EXPECT_TRUE(update("ok,data,ok,data,ok").choseComponents);
  EXPECT_EQ("ok,,registers_ok.dll,1.0.0.1,1,0\ndata,,data.txt,2.0.0.0,2,0\n", localList());
  EXPECT_EQ(1u, registrations("registers_ok.dll")) << "one record, registered once";
}

TEST_F(UpdateJob, InstallationPathThatIsNotAbsoluteAndLocalTouchesNothing) {
  // Relative to the current directory, which is the one place it could have written to.
  const ScratchCurrentDirectory here("relative-" + std::to_string(::GetCurrentProcessId()));
  for (const char* path : {"acc\\", "", "C:acc\\", "\\\\127.0.0.1\\c$\\acc\\"}) {
    SCOPED_TRACE(path);
    const UpdateOutcome outcome = runUpdate(UpdateRequest{std::string(path), std::string("data"), served.url, authPath, std::nullopt});
    EXPECT_EQ(UpdateStatus::InstallPathNotAllowed, outcome.status);
    EXPECT_FALSE(outcome.choseComponents);
    EXPECT_TRUE(here.isEmpty());
  }
}

TEST_F(UpdateJob, LibraryFindsItsSiblingInTheInstallationFolder) {
  publish("needs.cab");
  publish("sibling.cab");
  publishCatalog("sibling,sibling.cab,sibling_lib.dll,1.0.0.0,2,0\nneeds,needs.cab,needs_sibling.dll,1.0.0.0,1,0\n");
  EXPECT_TRUE(update("sibling,needs").choseComponents);
  EXPECT_EQ("sibling,,sibling_lib.dll,1.0.0.0,2,0\nneeds,,needs_sibling.dll,1.0.0.0,1,0\n", localList());
  EXPECT_EQ(1u, registrations("needs_sibling.dll"));
  EXPECT_EQ(1u, countLines(readFile(installPath + "sibling_lib.dll.loaded")));
}

TEST_F(UpdateJob, LibraryNeverLoadsASiblingPlantedInTheCurrentDirectory) {
  publish("needs.cab");
  publishCatalog("needs,needs.cab,needs_sibling.dll,1.0.0.0,1,0\n");
  const ScratchCurrentDirectory here("planted-" + std::to_string(::GetCurrentProcessId()));
  const std::string planted = here.path() + "sibling_lib.dll";
  ::DeleteFileA((planted + ".loaded").c_str());
  ASSERT_TRUE(::CopyFileA(builtArtefact("sibling\\sibling_lib.dll").c_str(), planted.c_str(), FALSE));
  EXPECT_TRUE(update("needs").choseComponents);
  EXPECT_FALSE(fileExists(planted + ".loaded")) << "the planted copy was loaded";
  EXPECT_EQ(0u, registrations("needs_sibling.dll")) << "without its sibling the library cannot load";
  EXPECT_EQ("", localList());
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

// Lists that name a file the driver must not trust: the same stale record twice (a name
// given twice by an earlier call, or a hand edit), or a stale record whose file is gone
// (deleted by hand, or a call killed between the deletion and the list's rewrite).
TEST_F(UpdateJob, StaleRecordsNeverTakeTheFreshCopyWithThem) {
  publish("data2.cab");
  const std::string stale = "data,,data.txt,2.0.0.0,2,1\n";
  const struct {
    const char* what;
    std::string list;
    bool fileThere;
  } cases[] = {
      {"duplicated stale record", stale + stale, true},
      {"stale record with its file missing", stale, false},
      {"stale records in other letter cases", stale + "data,,DATA.TXT,2.0.0.0,2,1\n", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    writeFile(listPath, c.list);
    ::DeleteFileA((installPath + "data.txt").c_str());
    if (c.fileThere) writeFile(installPath + "data.txt", "component data, first edition\n");
    publishCatalog("data,data2.cab,data.txt,2.0.0.10,2,0\n");
    EXPECT_TRUE(update("data").choseComponents);
    EXPECT_EQ("component data, second edition\n", readFile(installPath + "data.txt"));
    EXPECT_EQ("data,,data.txt,2.0.0.10,2,0\n", localList());
    // Later calls, named or not, find the fresh copy current and keep it.
    EXPECT_FALSE(update("data").choseComponents);
    EXPECT_FALSE(update("").choseComponents);
    EXPECT_EQ("component data, second edition\n", readFile(installPath + "data.txt"));
    EXPECT_EQ("data,,data.txt,2.0.0.10,2,1\n", localList());
  }
  // Not named, a stale record with its file gone is dropped instead of kept for ever.
  writeFile(listPath, stale);
  ::DeleteFileA((installPath + "data.txt").c_str());
  update("");
  EXPECT_EQ("", localList());
}

// A list that cannot be replaced (held open without delete sharing by another program)
// keeps what it says true: a file it names as stale is not replaced behind its back, so
// no later call deletes a fresh copy it took for the stale one.
TEST_F(UpdateJob, ListThatCannotBeWrittenNeverMisdescribesAFile) {
  update("data");
  const std::string listBefore = localList();
  publish("data2.cab");
  publishCatalog("data,data2.cab,data.txt,2.0.0.10,2,0\n");
  {
    UniqueHandle held(::CreateFileA(listPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                    nullptr));
    ASSERT_TRUE(held.valid());
    // The premise: the platform refuses to replace a file held this way.
    const std::string probe = installPath + "probe.txt";
    writeFile(probe, "x");
    ASSERT_FALSE(::MoveFileExA(probe.c_str(), listPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    ::DeleteFileA(probe.c_str());

    update("data");
    EXPECT_EQ(listBefore, localList());
    EXPECT_EQ("component data, first edition\n", readFile(installPath + "data.txt"))
        << "replaced while the list still calls it 2.0.0.0";
    EXPECT_EQ((std::vector<std::string>{"components.txt", "data.txt"}), installedFileNames())
        << "no temporary list left";
  }
  update("");
  EXPECT_FALSE(fileExists(installPath + "data.txt")) << "stale and not named";
  EXPECT_EQ("", localList());
  EXPECT_TRUE(update("data").choseComponents);
  EXPECT_EQ("component data, second edition\n", readFile(installPath + "data.txt"));
  EXPECT_EQ("data,,data.txt,2.0.0.10,2,0\n", localList());
}

TEST_F(UpdateJob, LeftoverTemporaryListsAreRemovedAndNothingElse) {
  update("data");
  for (const char* name : {"~cvlist-components.txt-0000abcd.tmp", "~CVLIST-components.txt-FFFFFFFF.TMP",
                           "~cvlist-components.txt-keep.tmp", "cvl1234.tmp"}) {
    writeFile(installPath + name, "half a list");
  }
  update("data");
  EXPECT_EQ((std::vector<std::string>{"components.txt", "cvl1234.tmp", "data.txt", "~cvlist-components.txt-keep.tmp"}),
            installedFileNames());
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
