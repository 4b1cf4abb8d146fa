// Directory creation and cabinet extraction on Wine's real file system and SetupAPI, with
// cabinets made by gcab at build time.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

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
};

Extraction extract(const std::string& cab, const std::string& installPath, const std::string& wanted,
                   uint64_t maxFileBytes = kMaxPackageBytes) {
  CabinetFileFilter filter(installPath, wanted, maxFileBytes);
  Extraction extraction;
  extraction.result = extractComponentFile(cab, filter);
  extraction.requested = filter.extractionsRequested();
  extraction.confirmed = filter.extractionsConfirmed();
  EXPECT_EQ(extraction.confirmed > 0, filter.extractedWantedFile());
  return extraction;
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

TEST_P(CabinetExtraction, ReplacesAnInstalledFile) {
  ScratchDirectory install;
  testing::writeWholeFile(install.path() + "A.DLL", "an older copy that is longer than nothing at all");
  EXPECT_TRUE(extract(cabinet(GetParam()), install.path(), "a.dll").result);
  EXPECT_EQ(sourceBytes("A.DLL"), fileBytes(install.path() + "A.DLL"));
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
