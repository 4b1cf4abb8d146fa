// The update driver's decisions, natively under the sanitizers.
#include <gtest/gtest.h>

#include "update/update_rules.h"

namespace corvane::testing {
namespace {

std::shared_ptr<ComponentRecord> record(const std::string& name, std::array<int32_t, 4> version,
                                        const std::string& file = "f.dll", int state = New) {
  auto made = std::make_shared<ComponentRecord>();
  made->name = name;
  made->file = file;
  made->version = version;
  made->state = state;
  return made;
}

TEST(CompareVersions, FirstDifferingNumberDecidesAsSignedValue) {
  EXPECT_LT(compareVersions(*record("a", {1, 2, 3, 4}), *record("a", {1, 2, 3, 10})), 0);
  EXPECT_GT(compareVersions(*record("a", {1, 2, 3, 10}), *record("a", {1, 2, 3, 4})), 0);
  EXPECT_EQ(compareVersions(*record("a", {1, 2, 3, 4}), *record("a", {1, 2, 3, 4})), 0);
  EXPECT_GT(compareVersions(*record("a", {2, 0, 0, 0}), *record("a", {1, 99, 99, 99})), 0);
  EXPECT_LT(compareVersions(*record("a", {-1, 9, 9, 9}), *record("a", {0, 0, 0, 0})), 0);
}

TEST(ExpandInstallPath, TokenInAnyCaseIsReplacedOnce) {
  EXPECT_EQ("C:\\Program Files\\Corvane\\", expandInstallPath("%ProgramFiles%\\Corvane\\", "C:\\Program Files"));
  EXPECT_EQ("C:\\PF\\x\\C:\\PF\\", expandInstallPath("%PROGRAMFILES%\\x\\%programfiles%\\", "C:\\PF"));
  // Inserted text is not searched again, even when it holds the token itself.
  EXPECT_EQ("%ProgramFiles%\\a", expandInstallPath("%programFILES%\\a", "%ProgramFiles%"));
  // The token with nothing after it.
  EXPECT_EQ("C:\\PF", expandInstallPath("%ProgramFiles%", "C:\\PF"));
}

TEST(ExpandInstallPath, StrayPercentSignsStay) {
  EXPECT_EQ("C:\\100%\\x\\", expandInstallPath("C:\\100%\\x\\", "C:\\PF"));
  EXPECT_EQ("C:\\%PF\\", expandInstallPath("C:\\%%ProgramFiles%\\", "PF"));
  EXPECT_EQ("%ProgramFile", expandInstallPath("%ProgramFile", "PF"));
}

TEST(SplitComponentNames, CommasSplitWithoutTrimming) {
  using Names = std::vector<std::string>;
  const std::string list = "a, b,,c,";
  EXPECT_EQ((Names{"a", " b", "", "c"}), splitComponentNames(&list));
  const std::string empty;
  EXPECT_TRUE(splitComponentNames(&empty).empty());
  EXPECT_TRUE(splitComponentNames(nullptr).empty());
  const std::string comma = ",";
  EXPECT_EQ((Names{""}), splitComponentNames(&comma));
}

TEST(MarkLocalRecords, OlderIsStaleEqualOrNewerIsCurrentOnBothSides) {
  ComponentList local, catalog;
  local.append(record("old", {1, 2, 3, 4}));
  local.append(record("same", {1, 0, 0, 0}));
  local.append(record("newer", {3, 0, 0, 0}));
  local.append(record("gone", {1, 0, 0, 0}));
  local.append(record("same", {1, 0, 0, 0}));  // a second line of a name, sharing its file
  catalog.append(record("old", {1, 2, 3, 10}));
  catalog.append(record("same", {1, 0, 0, 0}));
  catalog.append(record("newer", {2, 0, 0, 0}));
  markLocalRecords(local, catalog);
  EXPECT_EQ(Stale, local.at(0)->state);
  EXPECT_EQ(Current, local.at(1)->state);
  EXPECT_EQ(Current, local.at(2)->state);
  EXPECT_EQ(Stale, local.at(3)->state);
  EXPECT_EQ(Current, local.at(4)->state);
  EXPECT_EQ(New, catalog.at(0)->state);
  EXPECT_EQ(Current, catalog.at(1)->state);
  EXPECT_EQ(Current, catalog.at(2)->state);
}

TEST(MarkLocalRecords, FirstCatalogRecordOfANameDecides) {
  ComponentList local, catalog;
  local.append(record("a", {2, 0, 0, 0}));
  local.append(record("b", {2, 0, 0, 0}));
  catalog.append(record("a", {1, 0, 0, 0}));
  catalog.append(record("a", {9, 0, 0, 0}));
  catalog.append(record("b", {3, 0, 0, 0}));
  catalog.append(record("b", {1, 0, 0, 0}));
  markLocalRecords(local, catalog);
  EXPECT_EQ(Current, local.at(0)->state);
  EXPECT_EQ(Stale, local.at(1)->state);
  EXPECT_EQ(Current, catalog.at(0)->state);
  EXPECT_EQ(New, catalog.at(1)->state);
  EXPECT_EQ(New, catalog.at(3)->state) << "a later record of the name is never looked at";
}

TEST(MarkLocalRecords, EmptyCatalogMakesEverythingStale) {
  ComponentList local, catalog;
  local.append(record("a", {1, 0, 0, 0}, "a.dll", Current));
  markLocalRecords(local, catalog);
  EXPECT_EQ(Stale, local.at(0)->state);
}

TEST(SelectComponents, FirstNewRecordPerNameInNameOrderSharedNotCopied) {
  ComponentList catalog;
  catalog.append(record("a", {1, 0, 0, 0}, "a1.dll", Current));
  catalog.append(record("a", {2, 0, 0, 0}, "a2.dll"));
  catalog.append(record("b", {1, 0, 0, 0}, "b.dll"));
  catalog.append(record("a", {3, 0, 0, 0}, "a3.dll"));  // offered again: the first one wins
  const ComponentList chosen = selectComponents({"b", "a", "zzz"}, catalog, "C:\\x\\", 1252);
  ASSERT_EQ(2u, chosen.length());
  EXPECT_EQ(catalog.at(2).get(), chosen.at(0).get());
  EXPECT_EQ(catalog.at(1).get(), chosen.at(1).get());
}

TEST(SelectComponents, EachRecordIsChosenOnceHoweverOftenItIsNamed) {
  ComponentList catalog;
  catalog.append(record("a", {1, 0, 0, 0}, "a.dll"));
  catalog.append(record("a", {2, 0, 0, 0}, "a2.dll"));
  catalog.append(record("b", {1, 0, 0, 0}, "b.dll"));
  std::vector<std::string> names(300000, "a");
  names.insert(names.begin() + 1, "b");
  names.push_back("b");
  const ComponentList chosen = selectComponents(names, catalog, "C:\\x\\", 1252);
  ASSERT_EQ(2u, chosen.length()) << "one record per name, in the order of first mention";
  EXPECT_EQ(catalog.at(0).get(), chosen.at(0).get());
  EXPECT_EQ(catalog.at(2).get(), chosen.at(1).get());
}

TEST(SelectComponents, FilesThatWouldLeaveTheDirectoryOrPathLimitAreNotChosen) {
  ComponentList catalog;
  catalog.append(record("up", {1, 0, 0, 0}, "..\\evil.dll"));
  catalog.append(record("abs", {1, 0, 0, 0}, "C:\\evil.dll"));
  catalog.append(record("long", {1, 0, 0, 0}, std::string(250, 'x') + ".dll"));
  catalog.append(record("up", {1, 0, 0, 0}, "fine.dll"));
  const ComponentList chosen = selectComponents({"up", "abs", "long"}, catalog, "C:\\install\\", 1252);
  ASSERT_EQ(1u, chosen.length());
  EXPECT_EQ("fine.dll", chosen.at(0)->file);
}

// The list's temporary name, "~cvlist-components.txt-XXXXXXXX.tmp", is the longest path a
// call makes in the folder itself: 35 bytes, and the terminator.
TEST(InstallPathLeavesRoom, ForTheListsTemporaryName) {
  const struct {
    size_t length;
    bool leavesRoom;
  } rows[] = {{3, true}, {100, true}, {224, true}, {225, false}, {250, false}};
  for (const auto& row : rows) {
    const std::string path = "C:\\" + std::string(row.length - 3, 'p');
    EXPECT_EQ(row.leavesRoom, installPathLeavesRoom(path, "components.txt")) << row.length;
  }
}

TEST(InstalledPathUsable, PathLimitCountsTheTerminator) {
  const std::string base = "C:\\i\\";
  EXPECT_TRUE(installedPathUsable(base, std::string(259 - base.size(), 'a'), 1252));
  EXPECT_FALSE(installedPathUsable(base, std::string(260 - base.size(), 'a'), 1252));
}

}  // namespace
}  // namespace corvane::testing
