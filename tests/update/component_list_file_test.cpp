// The local list on Wine's real file system: reading it, and the writer's
// replace-whole-file behaviour.
#include <gtest/gtest.h>

#include <windows.h>

#include "base/unique_resource.h"
#include "update/component_list_io.h"
#include "tests/update/memory_line_source.h"
#include "support/files.h"

namespace corvane::testing {
namespace {

std::shared_ptr<ComponentRecord> record(std::string name, std::string file, std::array<int32_t, 4> version, int kind,
                                        int state) {
  return std::make_shared<ComponentRecord>(ComponentRecord{std::move(name), "pkg.cab", std::move(file), version, kind, state});
}

TEST(LocalListReading, AMissingFileReadsAsEmpty) {
  ScratchDirectory scratch;
  EXPECT_TRUE(readLocalList(scratch.path() + "components.txt").empty());
  EXPECT_TRUE(readLocalList(scratch.path()).empty()) << "a directory is no list";
}

// A file with lines around every fill boundary of the reader reads as the same records
// as the plain split of its text.
TEST(LocalListReading, LinesAcrossFillBoundariesOfARealFile) {
  ScratchDirectory scratch;
  std::string text;
  for (size_t i = 0; text.size() < 5000; ++i) {
    const size_t padding = (i * 37) % 1100;
    text += std::string(padding % 3, ' ') + "n" + std::to_string(i) + ",p,f" + std::string(padding, 'x') + ".dll," +
            std::to_string(i) + ".2.3.4," + (i % 2 ? "1" : "2") + "," + std::to_string(i % 3) + (i % 4 ? "\r\n" : "\n");
  }
  text += "last,,last.dll,9.9.9.9,2,0";  // no line feed at the end
  const std::string path = scratch.path() + "components.txt";
  writeWholeFile(path, text);

  std::vector<ComponentRecord> expected;
  for (const std::string& line : testing::expectedLines(text))
    if (auto parsed = parseComponentLine(line)) expected.push_back(*parsed);
  const ComponentList list = readLocalList(path);
  ASSERT_EQ(expected.size(), list.length());
  ASSERT_GT(expected.size(), 8u);
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(expected[i].name, list.at(i)->name);
    EXPECT_EQ(expected[i].file, list.at(i)->file);
    EXPECT_EQ(expected[i].version, list.at(i)->version);
    EXPECT_EQ(expected[i].kind, list.at(i)->kind);
    EXPECT_EQ(expected[i].state, list.at(i)->state);
  }
  EXPECT_EQ("last", list.at(list.length() - 1)->name);
}

TEST(LocalListWriting, WritesTheFixedLineFormat) {
  ScratchDirectory scratch;
  const std::string path = scratch.path() + "components.txt";
  ComponentList list;
  list.append(record("a", "c", {1, 2, 3, 4}, SelfRegistering, New));
  list.append(record("b", "sub\\d.txt", {-1, 0, 10, 2147483647}, PlainFile, Stale));
  ASSERT_TRUE(writeComponentList(path, list));
  EXPECT_EQ("a,,c,1.2.3.4,1,0\nb,,sub\\d.txt,-1.0.10.2147483647,2,2\n", fileBytes(path));
}

TEST(LocalListWriting, WriteThenReadGivesTheSameRecords) {
  ScratchDirectory scratch;
  const std::string path = scratch.path() + "components.txt";
  ComponentList list;
  list.append(record("first", "first.dll", {1, 2, 3, 4}, SelfRegistering, Current));
  list.append(record(std::string(1500, 'L'), std::string(900, 'f'), {0, 0, 0, -3}, PlainFile, Stale));
  list.append(record("third", "x\\y.txt", {7, 7, 7, 7}, PlainFile, New));
  ASSERT_TRUE(writeComponentList(path, list));
  const ComponentList back = readLocalList(path);
  ASSERT_EQ(list.length(), back.length());
  for (size_t i = 0; i < list.length(); ++i) {
    EXPECT_EQ(list.at(i)->name, back.at(i)->name) << "line " << i << " is written whole";
    EXPECT_EQ("", back.at(i)->package);
    EXPECT_EQ(list.at(i)->file, back.at(i)->file);
    EXPECT_EQ(list.at(i)->version, back.at(i)->version);
    EXPECT_EQ(list.at(i)->kind, back.at(i)->kind);
    EXPECT_EQ(list.at(i)->state, back.at(i)->state);
  }
}

TEST(LocalListWriting, AnEmptyListLeavesAnEmptyFileAndNothingElse) {
  ScratchDirectory scratch;
  const std::string path = scratch.path() + "components.txt";
  writeWholeFile(path, "old,,old.dll,1.1.1.1,1,1\n");
  ASSERT_TRUE(writeComponentList(path, ComponentList()));
  EXPECT_EQ("", fileBytes(path));
  EXPECT_EQ(std::vector<std::string>{"components.txt"}, entriesOf(scratch.path())) << "no temporary file is left";
}

TEST(LocalListWriting, AShorterListReplacesALongerFileWhole) {
  ScratchDirectory scratch;
  const std::string path = scratch.path() + "components.txt";
  writeWholeFile(path, std::string(10000, 'z') + "\n");
  ComponentList list;
  list.append(record("a", "c", {1, 2, 3, 4}, SelfRegistering, New));
  ASSERT_TRUE(writeComponentList(path, list));
  EXPECT_EQ("a,,c,1.2.3.4,1,0\n", fileBytes(path));
}

TEST(LocalListWriting, WhenTheListCannotBeWrittenTheOldFileStays) {
  ScratchDirectory scratch;
  ComponentList list;
  list.append(record("new", "new.dll", {2, 0, 0, 0}, SelfRegistering, New));

  EXPECT_FALSE(writeComponentList(scratch.path() + "missing\\components.txt", list));
  EXPECT_TRUE(entriesOf(scratch.path()).empty());

  // A directory where the list should be.
  ASSERT_TRUE(::CreateDirectoryA((scratch.path() + "components.txt").c_str(), nullptr));
  EXPECT_FALSE(writeComponentList(scratch.path() + "components.txt", list));
  EXPECT_TRUE(testing::isDirectory(scratch.path() + "components.txt"));
  EXPECT_EQ(std::vector<std::string>{"components.txt"}, entriesOf(scratch.path())) << "no temporary file is left";

  // A list that another process holds open without letting it be replaced.
  ScratchDirectory other;
  const std::string path = other.path() + "components.txt";
  const std::string old = "old,,old.dll,1.1.1.1,1,1\n";
  writeWholeFile(path, old);
  {
    UniqueHandle reader(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(reader.valid());
    EXPECT_FALSE(writeComponentList(path, list));
  }
  EXPECT_EQ(old, fileBytes(path));
  EXPECT_EQ(std::vector<std::string>{"components.txt"}, entriesOf(other.path()));
  EXPECT_TRUE(writeComponentList(path, list)) << "once the reader is gone the write goes through";
  EXPECT_EQ("new,,new.dll,2.0.0.0,1,0\n", fileBytes(path));
}

}  // namespace
}  // namespace corvane::testing
