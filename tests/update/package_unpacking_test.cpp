// Directory creation and cabinet extraction on Wine's real file system and SetupAPI, with
// cabinets made by gcab at build time.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <stdexcept>

#include "base/file_removal.h"
#include "base/unique_resource.h"
#include "update/file_placement.h"
#include "update/package_unpacking.h"
#include "support/files.h"

namespace corvane::testing {
namespace {

const std::string kLongName = "a-rather-long-component-file-name-0123456789.txt";

std::string cabinet(const std::string& name) { return testing::windowsPathOf(TEST_CABINET_DIR "/" + name); }

std::string sourceBytes(const std::string& name) {
  std::string bytes;
  if (!readWholeFile(testing::windowsPathOf(TEST_CABINET_DIR "/src/" + name), bytes))
    throw std::runtime_error("missing cabinet source " + name);
  return bytes;
}

TEST(DirectoryChain, CreatesWhatIsMissingBelowAnExistingPrefix) {
  ScratchDirectory scratch;
  const std::string chain = scratch.path() + "A\\B\\";
  EXPECT_TRUE(createDirectoryChain(chain));
  EXPECT_TRUE(isDirectory(scratch.path() + "A"));
  EXPECT_TRUE(isDirectory(scratch.path() + "A\\B"));
  EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, ::GetFileAttributesA((scratch.path() + "A\\B").c_str()));
  EXPECT_TRUE(createDirectoryChain(chain)) << "a second call finds everything in place";
  EXPECT_EQ(std::vector<std::string>{"B"}, entriesOf(scratch.path() + "A"));
}

TEST(DirectoryChain, DoubledBackslashesDoNoHarm) {
  ScratchDirectory scratch;
  std::string doubled = scratch.path() + "\\C\\\\D\\\\";
  EXPECT_TRUE(createDirectoryChain(doubled));
  EXPECT_TRUE(isDirectory(scratch.path() + "C\\D"));
  EXPECT_EQ(std::vector<std::string>{"C"}, entriesOf(scratch.path()));
}

TEST(DirectoryChain, AFileInTheWay) {
  ScratchDirectory scratch;
  testing::writeWholeFile(scratch.path() + "F", "not a directory");
  EXPECT_FALSE(createDirectoryChain(scratch.path() + "F\\G\\"));
  EXPECT_TRUE(createDirectoryChain(scratch.path() + "F")) << "an existing file counts as existing";
  EXPECT_EQ("not a directory", fileBytes(scratch.path() + "F"));
}

TEST(DirectoryChain, StopsAtAPieceThatCannotBeCreated) {
  ScratchDirectory scratch;
  EXPECT_FALSE(createDirectoryChain(scratch.path() + "ok\\bad|name\\below"));
  EXPECT_TRUE(isDirectory(scratch.path() + "ok")) << "what was made before stays";
  EXPECT_TRUE(entriesOf(scratch.path() + "ok").empty());
  EXPECT_FALSE(createDirectoryChain(""));
}

struct Extraction {
  bool result = false;
  size_t requested = 0;
  size_t confirmed = 0;
  std::optional<Placement> placement;  // set when the checked file was moved into place
};

// As the driver puts a package's file in place: the checked temporary file is moved over
// the target, any other is removed.
Extraction installFromCabinet(const std::string& cab, CabinetFileFilter& filter) {
  Extraction extraction;
  extraction.result = extractComponentFile(cab, filter);
  extraction.requested = filter.extractionsRequested();
  extraction.confirmed = filter.extractionsConfirmed();
  EXPECT_EQ(extraction.confirmed > 0, filter.extractedWantedFile());
  ScopedFileRemoval temporary(filter.temporaryPath());
  if (extraction.result) {
    extraction.placement = moveIntoPlace(temporary.path(), filter.targetPath());
    if (isPlaced(*extraction.placement)) temporary.keep();
  }
  return extraction;
}

Extraction extract(const std::string& cab, const std::string& installPath, const std::string& wanted,
                   uint64_t maxFileBytes = kMaxPackageBytes) {
  CabinetFileFilter filter(installPath, wanted, maxFileBytes);
  return installFromCabinet(cab, filter);
}

class CabinetExtraction : public ::testing::TestWithParam<const char*> {};

TEST_P(CabinetExtraction, OnlyTheWantedNameInAnyLetterCase) {
  for (const char* wanted : {"b.dll", "B.DLL", "B.dll"}) {
    ScratchDirectory install;
    const Extraction extraction = extract(cabinet(GetParam()), install.path(), wanted);
    EXPECT_TRUE(extraction.result) << wanted;
    EXPECT_EQ(1u, extraction.requested);
    EXPECT_EQ(1u, extraction.confirmed);
    // Written under the cabinet's own spelling, with the cabinet's bytes.
    EXPECT_EQ(std::vector<std::string>{"B.DLL"}, entriesOf(install.path())) << wanted;
    EXPECT_EQ(sourceBytes("B.DLL"), fileBytes(install.path() + "B.DLL"));
  }
}

TEST_P(CabinetExtraction, ANameWithAFolderPart) {
  ScratchDirectory install;
  // Only the installation directory is made for the package; without the folder the
  // platform cannot write the file, and the filter says so.
  Extraction extraction = extract(cabinet(GetParam()), install.path(), "SUB\\B.DLL");
  EXPECT_FALSE(extraction.result);
  EXPECT_EQ(1u, extraction.requested);
  EXPECT_EQ(0u, extraction.confirmed);
  EXPECT_TRUE(entriesOf(install.path()).empty());

  ASSERT_TRUE(::CreateDirectoryA((install.path() + "sub").c_str(), nullptr));
  extraction = extract(cabinet(GetParam()), install.path(), "Sub\\B.dll");
  EXPECT_TRUE(extraction.result);
  EXPECT_EQ(std::vector<std::string>{"sub"}, entriesOf(install.path()));
  EXPECT_EQ(std::vector<std::string>{"b.dll"}, entriesOf(install.path() + "sub"));
  EXPECT_EQ(sourceBytes("sub\\b.dll"), fileBytes(install.path() + "sub\\b.dll"));
  // The bare name does not match an entry with a folder part.
  ScratchDirectory other;
  ::CreateDirectoryA((other.path() + "sub").c_str(), nullptr);
  extraction = extract(cabinet("only-a.cab"), other.path(), "b.dll");
  EXPECT_FALSE(extraction.result);
  EXPECT_EQ(std::vector<std::string>{"sub"}, entriesOf(other.path()));
}

TEST_P(CabinetExtraction, ACabinetWithoutTheNameWritesNothing) {
  ScratchDirectory install;
  for (const char* wanted : {"c.dll", "A.DL", "A.DLLX", "", "readme"}) {
    const Extraction extraction = extract(cabinet(GetParam()), install.path(), wanted);
    EXPECT_FALSE(extraction.result) << wanted;
    EXPECT_EQ(0u, extraction.requested) << wanted;
  }
  EXPECT_TRUE(entriesOf(install.path()).empty());
}

// Whatever the old copy's length, content or attributes, the new one holds exactly the
// cabinet's bytes and nothing else is left beside it.
TEST_P(CabinetExtraction, ReplacesAnInstalledFileWhole) {
  const std::string packaged = sourceBytes("A.DLL");
  const std::string oldCopies[] = {packaged + std::string(5120, 'x'), "shorter", "", std::string(packaged.size(), 'y')};
  const DWORD attributes[] = {FILE_ATTRIBUTE_NORMAL, FILE_ATTRIBUTE_READONLY,
                              FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY};
  for (const std::string& oldCopy : oldCopies) {
    for (DWORD oldAttributes : attributes) {
      SCOPED_TRACE(std::to_string(oldCopy.size()) + " bytes, attributes " + std::to_string(oldAttributes));
      ScratchDirectory install;
      testing::writeWholeFile(install.path() + "A.DLL", oldCopy);
      ASSERT_TRUE(::SetFileAttributesA((install.path() + "A.DLL").c_str(), oldAttributes));
      const Extraction extraction = extract(cabinet(GetParam()), install.path(), "a.dll");
      EXPECT_TRUE(extraction.result);
      EXPECT_EQ(Placement::Replaced, extraction.placement);
      EXPECT_EQ(packaged, fileBytes(install.path() + "A.DLL"));
      EXPECT_EQ(std::vector<std::string>{"A.DLL"}, entriesOf(install.path()));
      EXPECT_EQ(0u, ::GetFileAttributesA((install.path() + "A.DLL").c_str()) & FILE_ATTRIBUTE_READONLY);
    }
  }
}

// Targets of 259 bytes fit the platform's buffer with their terminator; 260 do not and
// the entry is skipped rather than written past the buffer.
TEST_P(CabinetExtraction, TargetsTooLongForTheBufferAreSkipped) {
  ScratchDirectory scratch;
  for (size_t targetLength : {size_t{259}, size_t{260}, size_t{300}}) {
    const size_t folderLength = targetLength - scratch.path().size() - 1 - kLongName.size();
    const std::string install = scratch.path() + std::string(folderLength, 'p') + "\\";
    ASSERT_EQ(targetLength, install.size() + kLongName.size());
    const bool fits = targetLength < MAX_PATH;
    if (fits) {
      ASSERT_TRUE(::CreateDirectoryA(install.c_str(), nullptr));
    }
    const Extraction extraction = extract(cabinet(GetParam()), install, kLongName);
    EXPECT_EQ(fits, extraction.result) << targetLength;
    EXPECT_EQ(fits ? 1u : 0u, extraction.requested) << targetLength;
    if (fits) {
      EXPECT_EQ(sourceBytes(kLongName), fileBytes(install + kLongName));
    }
  }
}

// The size the cabinet gives for a file decides, before a byte is written: a small
// package can unpack to gigabytes.
TEST_P(CabinetExtraction, FilesLargerThanTheLimitAreSkipped) {
  const uint64_t size = sourceBytes("B.DLL").size();
  for (uint64_t limit : {size - 1, size, size + 1}) {
    ScratchDirectory install;
    const Extraction extraction = extract(cabinet(GetParam()), install.path(), "b.dll", limit);
    const bool fits = size <= limit;
    EXPECT_EQ(fits, extraction.result) << limit;
    EXPECT_EQ(fits ? 1u : 0u, extraction.requested) << limit;
    EXPECT_EQ(fits ? std::vector<std::string>{"B.DLL"} : std::vector<std::string>{}, entriesOf(install.path()));
  }
}

INSTANTIATE_TEST_SUITE_P(Gcab, CabinetExtraction, ::testing::Values("several.cab", "several-z.cab"));

TEST(CabinetExtractionFailures, AFileThatIsNotACabinet) {
  ScratchDirectory install;
  const Extraction extraction = extract(cabinet("not-a-cabinet.cab"), install.path(), "A.DLL");
  EXPECT_FALSE(extraction.result);
  EXPECT_EQ(0u, extraction.requested);
  EXPECT_TRUE(entriesOf(install.path()).empty());
  EXPECT_FALSE(extract(install.path() + "missing.cab", install.path(), "A.DLL").result);
}

TEST(CabinetExtractionFailures, NamesLeavingTheInstallationDirectoryAreSkippedEvenWhenWanted) {
  ScratchDirectory scratch;
  const std::string install = scratch.path() + "outer\\inner\\";
  ASSERT_TRUE(createDirectoryChain(install));
  for (const char* wanted : {"..\\evil1.dll", "..\\..\\evil2.dll", "C:evil3.dll", "\\evil4.dll", "evil5.dll:s"}) {
    const Extraction extraction = extract(cabinet("hostile.cab"), install, wanted);
    EXPECT_FALSE(extraction.result) << wanted;
    EXPECT_EQ(0u, extraction.requested) << wanted;
  }
  EXPECT_EQ(std::vector<std::string>{"outer"}, entriesOf(scratch.path()));
  EXPECT_EQ(std::vector<std::string>{"inner"}, entriesOf(scratch.path() + "outer"));
  EXPECT_TRUE(entriesOf(install).empty());
  EXPECT_FALSE(pathExists("C:evil3.dll"));
  EXPECT_FALSE(pathExists("C:\\evil4.dll"));
  // The same cabinet still yields its ordinary entry.
  EXPECT_TRUE(extract(cabinet("hostile.cab"), install, "GOOD.DLL").result);
  EXPECT_EQ(std::vector<std::string>{"good.dll"}, entriesOf(install));
}

// Claims another size for the wanted entry than the cabinet gives.
class MisstatingFilter final : public CabinetFileFilter {
 public:
  MisstatingFilter(std::string installPath, std::string file, int64_t sizeChange)
      : CabinetFileFilter(std::move(installPath), std::move(file)), sizeChange_(sizeChange) {}
  UINT handleNotification(UINT notification, UINT_PTR param1, UINT_PTR param2) override {
    if (notification == SPFILENOTIFY_FILEINCABINET) {
      reinterpret_cast<FILE_IN_CABINET_INFO_A*>(param1)->FileSize += static_cast<DWORD>(sizeChange_);
    }
    return CabinetFileFilter::handleNotification(notification, param1, param2);
  }

 private:
  int64_t sizeChange_;
};

TEST(CabinetExtractionFailures, AFileOfAnotherSizeThanStatedLeavesTheOldCopy) {
  for (int64_t change : {-1, 1}) {
    ScratchDirectory install;
    testing::writeWholeFile(install.path() + "A.DLL", "the old copy");
    MisstatingFilter filter(install.path(), "A.DLL", change);
    const Extraction extraction = installFromCabinet(cabinet("several-z.cab"), filter);
    EXPECT_FALSE(extraction.result) << change;
    EXPECT_EQ(1u, extraction.confirmed) << "the platform wrote it; the size check refused it";
    EXPECT_EQ("the old copy", fileBytes(install.path() + "A.DLL"));
    EXPECT_EQ(std::vector<std::string>{"A.DLL"}, entriesOf(install.path()));
  }
}

// The old copy held open by another handle: with delete sharing it is replaced; without,
// it cannot even be renamed aside, so it keeps its bytes until the holder lets go.
TEST(FileInUse, ReplacedUnlessHeldWithoutDeleteSharing) {
  const struct {
    const char* holder;
    DWORD sharing;
    bool replaced;
  } cases[] = {
      {"no sharing", 0, false},
      {"read sharing", FILE_SHARE_READ, false},
      {"read and write sharing", FILE_SHARE_READ | FILE_SHARE_WRITE, false},
      {"delete sharing", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.holder);
    ScratchDirectory install;
    const std::string target = install.path() + "A.DLL";
    testing::writeWholeFile(target, "the old copy, longer than nothing");
    UniqueHandle holder(::CreateFileA(target.c_str(), GENERIC_READ, c.sharing, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    const Extraction extraction = extract(cabinet("several.cab"), install.path(), "A.DLL");
    EXPECT_TRUE(extraction.result);
    ASSERT_TRUE(extraction.placement);
    EXPECT_EQ(c.replaced, isPlaced(*extraction.placement));
    holder.reset();
    if (c.replaced) {
      EXPECT_EQ(sourceBytes("A.DLL"), fileBytes(target));
    } else {
      EXPECT_EQ(Placement::OldInUse, extraction.placement);
      EXPECT_EQ("the old copy, longer than nothing", fileBytes(target));
      EXPECT_EQ(std::vector<std::string>{"A.DLL"}, entriesOf(install.path()));
    }
    // Once the holder let go, the next attempt replaces it, and the call's clean-up
    // removes any aside copy.
    EXPECT_TRUE(isPlaced(*extract(cabinet("several.cab"), install.path(), "A.DLL").placement));
    recoverLeftoverFiles(install.path(), ComponentList());
    EXPECT_EQ(sourceBytes("A.DLL"), fileBytes(target));
    EXPECT_EQ(std::vector<std::string>{"A.DLL"}, entriesOf(install.path()));
  }
}

// What interrupted calls leave beside installed files, and what the next call's clean-up
// makes of it: a recorded file missing with its old copy aside comes back (the newest
// copy), every other leftover of our forms goes, and other names stay.
TEST(LeftoverFiles, TheNextCallRestoresOrRemovesThem) {
  const struct {
    const char* name;
    const char* bytes;
    const char* after;  // the name it has afterwards, nullptr: gone
  } files[] = {
      {"~cvnew-0000abcd.tmp", "an interrupted extraction", nullptr},
      {"sub\\~cvnew-00000001.tmp", "an interrupted extraction in a folder", nullptr},
      {"kept.txt", "the file", "kept.txt"},
      {"~cvold-kept.txt-00000001.tmp", "its old copy", nullptr},
      {"~cvold-GONE.txt-00000002.tmp", "newest old copy", "gone.txt"},
      {"~cvold-gone.txt-00000001.tmp", "older copy", nullptr},
      {"~cvold-retired.txt-00000001.tmp", "not recorded", nullptr},
      {"sub\\~cvold-lib.dll-00000003.tmp", "a library in a folder", "sub\\lib.dll"},
      {"~cvnew-abc.tmp", "not our form", "~cvnew-abc.tmp"},
      {"~cvold-x.txt.tmp", "not our form", "~cvold-x.txt.tmp"},
  };
  ScratchDirectory install;
  ASSERT_TRUE(::CreateDirectoryA((install.path() + "sub").c_str(), nullptr));
  for (const auto& file : files) testing::writeWholeFile(install.path() + file.name, file.bytes);
  ComponentList recorded;
  for (const char* name : {"kept.txt", "gone.txt", "sub\\lib.dll"}) {
    recorded.append(std::make_shared<ComponentRecord>(ComponentRecord{"c", "", name, {1, 0, 0, 0}, 2, 1}));
  }
  recoverLeftoverFiles(install.path(), recorded);
  std::vector<std::string> expected;
  for (const auto& file : files) {
    if (!file.after) continue;
    expected.push_back(file.after);
    EXPECT_EQ(file.bytes, readFile(install.path() + file.after)) << file.name;
  }
  std::vector<std::string> found;
  for (const std::string& name : entriesOf(install.path())) {
    if (name != "sub") found.push_back(name);
  }
  for (const std::string& name : entriesOf(install.path() + "sub")) found.push_back("sub\\" + name);
  for (std::string& name : found) name = foldFileName(name);
  for (std::string& name : expected) name = foldFileName(name);
  std::sort(found.begin(), found.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, found);
}

class ThrowingFilter final : public CabinetFileFilter {
 public:
  using CabinetFileFilter::CabinetFileFilter;
  UINT handleNotification(UINT notification, UINT_PTR param1, UINT_PTR param2) override {
    ++calls;
    if (notification == SPFILENOTIFY_FILEINCABINET) throw std::runtime_error("filter failure");
    return CabinetFileFilter::handleNotification(notification, param1, param2);
  }
  int calls = 0;
};

TEST(CabinetExtractionFailures, AnExceptionInTheFilterStaysOutOfSetupApi) {
  ScratchDirectory install;
  ThrowingFilter filter(install.path(), "A.DLL");
  EXPECT_FALSE(extractComponentFile(cabinet("several-z.cab"), filter));
  EXPECT_GE(filter.calls, 5) << "every entry was offered and skipped";
  EXPECT_TRUE(entriesOf(install.path()).empty());
}

}  // namespace
}  // namespace corvane::testing
