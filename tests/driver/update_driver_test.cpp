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

  EXPECT_EQ(readFile(builtArtefact("registers_ok.dll")), readFile(installPath + "registers_ok.dll"));
  EXPECT_EQ("component data, first edition\n", readFile(installPath + "data.txt"));
  EXPECT_FALSE(fileExists(installPath + "other.txt")) << "only the named file leaves the cabinet";
  // Libraries whose registration fails keep their file but lose their line.
  EXPECT_EQ(readFile(builtArtefact("registers_one.dll")), readFile(installPath + "registers_one.dll"));
  EXPECT_EQ(readFile(builtArtefact("no_register_export.dll")), readFile(installPath + "no_register_export.dll"));
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

// The package's own file for an edition of note.txt, as it went into the cabinet.
std::string noteEdition(const std::string& edition) { return readFile(builtArtefact("editions/" + edition + "/note.txt")); }

// Each step publishes the next edition at a higher version: the length falls, rises, goes
// to nothing and back, and changes content at the same length.
TEST_F(UpdateJob, EveryUpdateLeavesExactlyThePackagesBytes) {
  const char* const editions[] = {"long", "short", "long", "empty", "same", "long", "short", "empty"};
  int version = 0;
  for (const char* edition : editions) {
    SCOPED_TRACE(edition);
    const std::string cabinet = std::string("note-") + edition + ".cab";
    const std::string versionText = "1.0.0." + std::to_string(++version);
    publish(cabinet);
    publishCatalog("note," + cabinet + ",note.txt," + versionText + ",2,0\n");
    EXPECT_TRUE(update("note").choseComponents);
    EXPECT_EQ(noteEdition(edition), readFile(installPath + "note.txt"));
    EXPECT_EQ("note,,note.txt," + versionText + ",2,0\n", localList());
    EXPECT_EQ((std::vector<std::string>{"components.txt", "note.txt"}), installedFileNames());
  }
  expectNoTemporaryFileLeft();
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

// Not even the folder is made, nor a leftover removed, for a catalog that cannot be read.
TEST_F(UpdateJob, CatalogThatCannotBeReadChangesNothingOnDisk) {
  ::RemoveDirectoryA(installPath.c_str());
  const std::string fresh = installPath + "not-yet\\";
  EXPECT_FALSE(update("data", served.faultUrl("not-found"), authPath).choseComponents);
  runUpdate(UpdateRequest{fresh, std::string("data"), served.faultUrl("html-page"), authPath, std::nullopt});
  EXPECT_FALSE(pathExists(fresh));
  EXPECT_FALSE(pathExists(installPath)) << "made for a catalog that could not be read";
  ::CreateDirectoryA(installPath.c_str(), nullptr);
  const std::string leftover = installPath + "~cvlist-components.txt-0000abcd.tmp";
  writeFile(leftover, "half a list");
  update("data", served.faultUrl("not-found"), authPath);
  EXPECT_EQ("half a list", readFile(leftover));
  update("data");
  EXPECT_FALSE(fileExists(leftover)) << "removed once a catalog is read";
  EXPECT_EQ("data,,data.txt,2.0.0.0,2,0\n", localList());
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

// A folder so deep that the list's temporary name would pass the path limit: refused
// before anything is made, so no file is installed that its list could never record.
TEST_F(UpdateJob, InstallationPathWithoutRoomForItsListIsRefused) {
  const std::string deep = installPath + std::string(250 - installPath.size() - 1, 'd') + "\\";
  ASSERT_EQ(250u, deep.size());
  const UpdateOutcome outcome = runUpdate(UpdateRequest{deep, std::string("data"), served.url, authPath, std::nullopt});
  EXPECT_EQ(UpdateStatus::InstallPathNotAllowed, outcome.status);
  EXPECT_FALSE(outcome.choseComponents);
  EXPECT_FALSE(pathExists(deep));
  EXPECT_FALSE(fileExists(deep + "data.txt"));
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

// A stale line that names an installed file by another spelling: the platform reaches the
// same file, so deleting by it would take a file a current line still needs.
TEST_F(UpdateJob, AnotherSpellingOfAnInstalledFileDeletesNothing) {
  update("data");
  const std::string current = "data,,data.txt,2.0.0.0,2,1\n";
  for (const char* alias : {"data.txt.", "data.txt ", ".\\data.txt", "./data.txt", "DATA~1.TXT", "data.txt..",
                            "~cvlist-components.txt-0000abcd.tmp"}) {
    SCOPED_TRACE(alias);
    writeFile(listPath, current + "alias,," + alias + ",1.0.0.0,2,1\n");
    update("");
    EXPECT_EQ("component data, first edition\n", readFile(installPath + "data.txt"));
    EXPECT_EQ(current, localList()) << "the line with the other spelling is dropped";
  }
  // A catalog record spelt so is never installed either.
  publishCatalog("alias,data.cab,data.txt.,3.0.0.0,2,0\n" + std::string(kFullCatalog));
  EXPECT_FALSE(update("alias").choseComponents);
  EXPECT_EQ(current, localList());
}

// Two names of one file (a hard link): the stale name is not deleted while a current
// record reaches the same file.
TEST_F(UpdateJob, StaleNameOfAFileACurrentRecordReachesIsKept) {
  publishCatalog(std::string(kFullCatalog) + "other,data.cab,other.txt,1.0.0.0,2,0\n");
  update("data,other");
  ASSERT_EQ("data,,data.txt,2.0.0.0,2,0\nother,,other.txt,1.0.0.0,2,0\n", localList());
  ASSERT_TRUE(::DeleteFileA((installPath + "other.txt").c_str()));
  ASSERT_TRUE(::CreateHardLinkA((installPath + "other.txt").c_str(), (installPath + "data.txt").c_str(), nullptr));
  publishCatalog(kFullCatalog);
  update("");
  EXPECT_TRUE(fileExists(installPath + "other.txt")) << "deleted a name of a file a current record needs";
  EXPECT_EQ("component data, first edition\n", readFile(installPath + "data.txt"));
  EXPECT_EQ("data,,data.txt,2.0.0.0,2,1\n", localList());
}

// The ledger holds what the control installed. A library planted beside a list, or a
// vouched one whose bytes were replaced, never runs; a planted list deletes nothing; what
// the control installed still registers on every call.
TEST_F(UpdateJob, PlantedListsAndLibrariesRunNothingAndDeleteNothing) {
  update("ok,data");
  ASSERT_EQ(1u, registrations("registers_ok.dll"));
  const std::string plantedList = "ok,,registers_ok.dll,1.0.0.1,1,1\nvictim,,victim.txt,1.0.0.0,2,1\n";
  const struct {
    const char* what;
    std::string folder;
    std::string library;  // the planted library's bytes
    std::string baseUrl;  // where the call reads its catalog
  } cases[] = {
      {"planted in a folder the control never installed to", folderBeside(installPath, "planted"),
       readFile(builtArtefact("registers_ok.dll")), served.url},
      {"the same with an unreadable catalog", folderBeside(installPath, "unread"),
       readFile(builtArtefact("registers_ok.dll")), served.faultUrl("not-found")},
      {"a copy of a vouched library under a line added by hand", folderBeside(installPath, "copied"),
       readFile(installPath + "registers_ok.dll"), served.url},
      {"a vouched library replaced by other bytes", installPath, readFile(builtArtefact("registers_one.dll")),
       served.url},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t installedRuns = registrations("registers_ok.dll");
    ASSERT_FALSE(c.library.empty());
    writeFile(c.folder + "registers_ok.dll", c.library);
    writeFile(c.folder + "victim.txt", "keep me");
    if (c.folder != installPath) writeFile(c.folder + "components.txt", plantedList);
    const std::string listBefore = readFile(c.folder + "components.txt");

    runUpdate(UpdateRequest{c.folder, std::string(""), c.baseUrl, authPath, std::nullopt});
    EXPECT_EQ("keep me", readFile(c.folder + "victim.txt"));
    EXPECT_TRUE(fileExists(c.folder + "registers_ok.dll"));
    if (c.folder == installPath) {
      EXPECT_EQ(installedRuns, registrations("registers_ok.dll")) << "the replacement ran";
      EXPECT_EQ(listBefore, localList()) << "an unvouched library keeps its record";
    } else {
      EXPECT_FALSE(fileExists(c.folder + "registers_ok.dll.ran")) << "the planted library ran";
      if (c.baseUrl == served.url) {
        EXPECT_EQ(std::string::npos, readFile(c.folder + "components.txt").find("victim"))
            << "a line the catalog retired stays";
      }
      update("");
      EXPECT_EQ(installedRuns + 1, registrations("registers_ok.dll")) << "the installed library stops registering";
    }
  }
}

// Each Windows user keeps a ledger of their own; an administrator's install (here: every
// Wine process) also records in the machine's, which vouches for the other users.
class SecondUser {
 public:
  SecondUser() {
    ::RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Corvane\\Tests\\SecondUser", 0, nullptr, 0, KEY_ALL_ACCESS,
                      nullptr, hive_.put(), nullptr);
    ::RegOverridePredefKey(HKEY_CURRENT_USER, hive_.get());
  }
  ~SecondUser() {
    ::RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    ::RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Corvane\\Tests\\SecondUser");
  }
  bool active() const { return hive_.valid(); }

 private:
  UniqueRegistryKey hive_;
};

std::string ledgerValueName(const std::string& path) {
  std::string name = path;
  ::CharUpperBuffA(name.data(), static_cast<DWORD>(name.size()));
  return name;
}

TEST_F(UpdateJob, AnotherUserMeetsFilesVouchedByTheMachinesLedger) {
  update("ok");
  const std::string library = installPath + "registers_ok.dll";
  {
    const SecondUser other;
    ASSERT_TRUE(other.active());
    update("ok");
    EXPECT_EQ(2u, registrations("registers_ok.dll")) << "the machine's ledger vouches";
  }
  // Had the first user not been able to write the machine's ledger:
  UniqueRegistryKey machine;
  ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Corvane\\Installer\\InstalledFiles", 0,
                                           KEY_SET_VALUE, machine.put()));
  ASSERT_EQ(ERROR_SUCCESS, ::RegDeleteValueA(machine.get(), ledgerValueName(library).c_str()));
  {
    const SecondUser other;
    update("ok");
    EXPECT_EQ(2u, registrations("registers_ok.dll")) << "only the first user's ledger knows the file";
    publishCatalog("");
    update("");
    EXPECT_TRUE(fileExists(library)) << "deleted a file this user's ledger does not know";
    publishCatalog(kFullCatalog);
  }
  update("ok");
  EXPECT_EQ(3u, registrations("registers_ok.dll")) << "the first user's own ledger still vouches";
}

TEST_F(UpdateJob, FileHeldOpenKeepsItsBytesAndRecordUntilReleased) {
  publish("note-long.cab");
  publishCatalog("note,note-long.cab,note.txt,1.0.0.1,2,0\n");
  update("note");
  publish("note-short.cab");
  publishCatalog("note,note-short.cab,note.txt,1.0.0.2,2,0\n");
  {
    // Without delete sharing the file cannot even be renamed aside.
    const UniqueHandle held(::CreateFileA((installPath + "note.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    update("note");
    EXPECT_EQ(noteEdition("long"), readFile(installPath + "note.txt"));
    EXPECT_EQ("note,,note.txt,1.0.0.1,2,2\n", localList()) << "the old record, marked stale";
  }
  update("note");
  EXPECT_EQ(noteEdition("short"), readFile(installPath + "note.txt"));
  EXPECT_EQ("note,,note.txt,1.0.0.2,2,0\n", localList());
  EXPECT_EQ((std::vector<std::string>{"components.txt", "note.txt"}), installedFileNames());
  expectNoTemporaryFileLeft();
}

// The last line the library's DllRegisterServer appended: which edition ran.
std::string lastRegistration(const std::string& markerPath) {
  std::string text = readFile(markerPath);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  const size_t lineEnd = text.rfind('\n');
  return text.substr(lineEnd == std::string::npos ? 0 : lineEnd + 1);
}

TEST_F(UpdateJob, LibraryLoadedByAnotherProcessIsReplacedAndItsOldCopyGoesLater) {
  publish("held-first.cab");
  publish("held-second.cab");
  publishCatalog("held,held-first.cab,held.dll,1.0.0.1,1,0\n");
  update("held");
  ASSERT_EQ("DllRegisterServer first", lastRegistration(installPath + "held.dll.ran"));
  {
    LibraryHolder holder(installPath + "held.dll");
    ASSERT_TRUE(holder.loaded());
    publishCatalog("held,held-second.cab,held.dll,1.0.0.2,1,0\n");
    EXPECT_TRUE(update("held").choseComponents);
    EXPECT_EQ(readFile(builtArtefact("second/held.dll")), readFile(installPath + "held.dll"));
    EXPECT_EQ("held,,held.dll,1.0.0.2,1,0\n", localList());
    EXPECT_EQ("DllRegisterServer second", lastRegistration(installPath + "held.dll.ran"));
  }
  update("held");
  EXPECT_EQ(readFile(builtArtefact("second/held.dll")), readFile(installPath + "held.dll"));
  EXPECT_EQ((std::vector<std::string>{"components.txt", "held.dll", "held.dll.ran"}), installedFileNames())
      << "the aside copy is gone once its holder let go";
  expectNoTemporaryFileLeft();
}

// A library that pins itself stays in this process whatever the installer frees: loading
// its path again gives back the old image. The new copy is put in place, but registered
// (and recorded) only by a call from a process without the old one.
TEST_F(UpdateJob, LibraryPinnedInThisProcessIsRegisteredByTheNextProcess) {
  publish("pinned-first.cab");
  publish("pinned-second.cab");
  publishCatalog("pinned,pinned-first.cab,pinned.dll,1.0.0.1,1,0\n");
  update("pinned");
  ASSERT_EQ("DllRegisterServer first", lastRegistration(installPath + "pinned.dll.ran"));
  publishCatalog("pinned,pinned-second.cab,pinned.dll,1.0.0.2,1,0\n");
  EXPECT_TRUE(update("pinned").choseComponents);
  EXPECT_EQ(readFile(builtArtefact("second/pinned.dll")), readFile(installPath + "pinned.dll"));
  EXPECT_EQ(1u, registrations("pinned.dll")) << "the old image registered in the new copy's place";
  EXPECT_EQ("", localList());

  const UniqueHandle call = startProcess("\"" + windowsPathOf(CALL_RUNNER_EXE) + "\" update " + served.url + " " +
                                         authPath + " " + installPath + " pinned");
  ASSERT_TRUE(call);
  ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(call.get(), 60000));
  DWORD exitCode = 0;
  ::GetExitCodeProcess(call.get(), &exitCode);
  EXPECT_EQ(11u, exitCode) << "the call chose the component again";
  EXPECT_EQ(readFile(builtArtefact("second/pinned.dll")), readFile(installPath + "pinned.dll"));
  EXPECT_EQ("DllRegisterServer second", lastRegistration(installPath + "pinned.dll.ran"));
  EXPECT_EQ("pinned,,pinned.dll,1.0.0.2,1,0\n", localList());
  expectNoTemporaryFileLeft();
}

}  // namespace
}  // namespace corvane::testing
