// Stale handling, list writes and temporary list names, natively under the sanitizers.
#include <gtest/gtest.h>

#include "update/consistency_rules.h"

namespace corvane {
namespace {

std::shared_ptr<ComponentRecord> record(const std::string& name, const std::string& file, int state) {
  auto made = std::make_shared<ComponentRecord>();
  made->name = name;
  made->file = file;
  made->version = {1, 0, 0, 0};
  made->state = state;
  return made;
}

struct Line {
  const char* name;
  const char* file;
  int state;
};

ComponentList listOf(std::initializer_list<Line> lines) {
  ComponentList list;
  for (const Line& line : lines) list.append(record(line.name, line.file, line.state));
  return list;
}

struct StaleCase {
  const char* what;
  std::initializer_list<Line> local;
  size_t index;  // the stale record asked about
  std::initializer_list<Line> selection;
  StaleStep expected;
};

TEST(StaleStepFor, DeletesOnlyWhatNoOtherRecordNeeds) {
  const StaleCase cases[] = {
      {"alone", {{"a", "a.dll", Stale}}, 0, {}, StaleStep::DeleteFile},
      {"duplicate stale records both delete (the second finds it gone)",
       {{"a", "a.dll", Stale}, {"a", "a.dll", Stale}}, 1, {}, StaleStep::DeleteFile},
      {"a current record names the file", {{"a", "a.dll", Stale}, {"b", "a.dll", Current}}, 0, {},
       StaleStep::DropRecord},
      {"same file in another letter case", {{"a", "A.DLL", Stale}, {"b", "a.dll", Current}}, 0, {},
       StaleStep::DropRecord},
      {"a current record before it", {{"b", "x.txt", Current}, {"a", "X.txt", Stale}}, 1, {},
       StaleStep::DropRecord},
      {"another file", {{"a", "a.dll", Stale}, {"b", "b.dll", Current}}, 0, {}, StaleStep::DeleteFile},
      {"installed in this call", {{"a", "a.dll", Stale}}, 0, {{"a", "A.dll", New}}, StaleStep::AwaitInstallation},
      {"current record wins over installation", {{"a", "a.dll", Stale}, {"c", "a.dll", Current}}, 0,
       {{"a", "a.dll", New}}, StaleStep::DropRecord},
      {"the selection installs another file", {{"a", "a.dll", Stale}}, 0, {{"a", "a2.dll", New}},
       StaleStep::DeleteFile},
      {"outside the directory", {{"a", "..\\a.dll", Stale}}, 0, {}, StaleStep::Keep},
      {"past the path limit", {{"a", "", Stale}}, 0, {}, StaleStep::Keep},
  };
  for (const StaleCase& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.expected, staleStepFor(listOf(c.local), c.index, listOf(c.selection), "C:\\i\\", 1252, foldAsciiCase));
  }
  ComponentList longName;
  longName.append(record("a", std::string(300, 'x'), Stale));
  EXPECT_EQ(StaleStep::Keep, staleStepFor(longName, 0, {}, "C:\\i\\", 1252, foldAsciiCase));
}

TEST(DeletionResultFor, OnlyAMissingFileOrFolderCountsAsRemoved) {
  const struct {
    bool deleted;
    unsigned long error;
    DeletionResult expected;
  } cases[] = {
      {true, 0, DeletionResult::Deleted},          {false, 2, DeletionResult::AlreadyMissing},
      {false, 3, DeletionResult::AlreadyMissing},  {false, 5, DeletionResult::Refused},
      {false, 32, DeletionResult::Refused},        {false, 0, DeletionResult::Refused},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    EXPECT_EQ(c.expected, deletionResultFor(c.deleted, c.error));
  }
  EXPECT_TRUE(staleRecordGoes(DeletionResult::AlreadyMissing));
  EXPECT_FALSE(staleRecordGoes(DeletionResult::Refused));
}

TEST(DropStaleRecordsNaming, DropsEveryStaleCopyAndKeepsTheOrderOfTheRest) {
  ComponentList local = listOf({{"a", "a.dll", Stale},
                                {"b", "b.dll", Current},
                                {"a", "A.DLL", Stale},
                                {"c", "a.dll", Current},
                                {"d", "d.dll", Stale}});
  EXPECT_EQ(2u, dropStaleRecordsNaming(local, "a.Dll", foldAsciiCase));
  ASSERT_EQ(3u, local.length());
  EXPECT_EQ("b", local.at(0)->name);
  EXPECT_EQ("c", local.at(1)->name) << "a record that is not stale stays";
  EXPECT_EQ("d", local.at(2)->name);
  EXPECT_EQ(0u, dropStaleRecordsNaming(local, "zzz", foldAsciiCase));
}

TEST(ListFileContent, WritesOnlyWhenTheTextDiffersFromTheFile) {
  const ComponentList one = listOf({{"a", "a.dll", Current}});
  const std::string oneText = "a,,a.dll,1.0.0.0,2,1\n";
  const struct {
    const char* what;
    std::optional<std::string> held;
    const ComponentList* list;
    std::optional<std::string> expected;
  } cases[] = {
      {"same text", oneText, &one, std::nullopt},
      {"state differs", std::string("a,,a.dll,1.0.0.0,2,0\n"), &one, oneText},
      {"carriage returns in the file", std::string("a,,a.dll,1.0.0.0,2,1\r\n"), &one, oneText},
      {"no file yet", std::nullopt, &one, oneText},
      {"no file, nothing to record: an empty file, as a rewrite leaves", std::nullopt, nullptr, std::string()},
      {"empty file, empty list", std::string(), nullptr, std::nullopt},
  };
  const ComponentList empty;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ListFileContent content(c.held);
    EXPECT_EQ(c.expected, content.textToWrite(c.list ? *c.list : empty));
  }
  // A write that failed is not recorded, so the next step tries again.
  ListFileContent content(std::string{});
  ASSERT_TRUE(content.textToWrite(one));
  EXPECT_TRUE(content.textToWrite(one)) << "nothing was written yet";
  content.written(*content.textToWrite(one));
  EXPECT_FALSE(content.textToWrite(one));
}

TEST(TemporaryListName, OnlyOurOwnFormCountsAsALeftover) {
  const std::string made = temporaryListName("components.txt", 0x1a2bu);
  EXPECT_EQ("~cvlist-components.txt-00001a2b.tmp", made);
  EXPECT_EQ("~cvlist-components.txt-*.tmp", temporaryListPattern("components.txt"));
  const struct {
    const char* candidate;
    bool leftover;
  } cases[] = {
      {"~cvlist-components.txt-00001a2b.tmp", true},
      {"~CVLIST-Components.TXT-FFFFFFFF.TMP", true},
      {"~cvlist-components.txt-0001a2b.tmp", false},
      {"~cvlist-components.txt-00001a2g.tmp", false},
      {"~cvlist-components.txt-00001a2b.tmp.keep", false},
      {"~cvlist-other.txt-00001a2b.tmp", false},
      {"components.txt", false},
      {"cvl1a2b.tmp", false},
      {"~cvlist-components.txt-00001a2b.txt", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.candidate);
    EXPECT_EQ(c.leftover, isTemporaryListName("components.txt", c.candidate));
  }
  // A list beside its folder (no trailing separator) has a name of its own.
  EXPECT_FALSE(isTemporaryListName("Xcomponents.txt", made));
}

TEST(LeftoverFileNames, EachKindKnowsOnlyItsOwnForm) {
  EXPECT_EQ("~cvnew-00001a2b.tmp", temporaryFileName(0x1a2bu));
  EXPECT_EQ("~cvold-note.txt-0000000a.tmp", asideFileName("note.txt", 10));
  const struct {
    const char* candidate;
    bool temporary;
    const char* asideOf;  // nullptr: not an aside copy
    uint32_t number;
  } cases[] = {
      {"~cvnew-00001a2b.tmp", true, nullptr, 0},
      {"~CVNEW-FFFFFFFF.TMP", true, nullptr, 0},
      {"~cvnew-x-00001a2b.tmp", false, nullptr, 0},
      {"~cvnew-0001a2b.tmp", false, nullptr, 0},
      {"~cvold-note.txt-0000000a.tmp", false, "note.txt", 10},
      {"~CVOLD-Note.TXT-FFFFFFFF.tmp", false, "Note.TXT", 0xffffffffu},
      {"~cvold-a-b-00000001.tmp", false, "a-b", 1},
      {"~cvold--00000001.tmp", false, nullptr, 0},
      {"~cvold-note.txt00000001.tmp", false, nullptr, 0},
      {"~cvold-note.txt-0000001g.tmp", false, nullptr, 0},
      {"~cvold-note.txt-00000001.tmp.x", false, nullptr, 0},
      {"~cvlist-components.txt-00001a2b.tmp", false, nullptr, 0},
      {"note.txt", false, nullptr, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.candidate);
    EXPECT_EQ(c.temporary, isTemporaryFileName(c.candidate));
    const std::optional<AsideName> aside = parseAsideFileName(c.candidate);
    ASSERT_EQ(c.asideOf != nullptr, aside.has_value());
    if (!aside) continue;
    EXPECT_EQ(c.asideOf, aside->original);
    EXPECT_EQ(c.number, aside->number);
    EXPECT_FALSE(isTemporaryListName("components.txt", c.candidate));
  }
}

}  // namespace
}  // namespace corvane
