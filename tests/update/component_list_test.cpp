// The list format and the buffered line reader, over sources in memory.
#include <gtest/gtest.h>

#include <climits>
#include <random>

#include "update/component_list.h"
#include "tests/update/memory_line_source.h"

namespace corvane::testing {
namespace {

ComponentList parse(const std::string& text) {
  MemoryLineSource source(text);
  return parseComponentLines(source);
}

std::shared_ptr<ComponentRecord> only(const ComponentList& list) {
  EXPECT_EQ(1u, list.length());
  return list.empty() ? std::make_shared<ComponentRecord>() : list.at(0);
}

using Version = std::array<int32_t, 4>;

TEST(ComponentLines, CarriageReturnLineFeedLineGivesOneRecord) {
  const auto record = only(parse("a,b,c,1.2.3.4,1,0\r\n"));
  EXPECT_EQ("a", record->name);
  EXPECT_EQ("b", record->package);
  EXPECT_EQ("c", record->file);
  EXPECT_EQ((Version{1, 2, 3, 4}), record->version);
  EXPECT_EQ(SelfRegistering, record->kind);
  EXPECT_EQ(New, record->state);
}

TEST(ComponentLines, BlanksAroundFieldsAreTrimmed) {
  const auto record = only(parse(" \tname one \v, pack.cab\f,\tdir\\file.dll ,  7. 8 .9 .10  , 2 ,\t1 \n"));
  EXPECT_EQ("name one", record->name);
  EXPECT_EQ("pack.cab", record->package);
  EXPECT_EQ("dir\\file.dll", record->file);
  EXPECT_EQ((Version{7, 8, 9, 10}), record->version);
  EXPECT_EQ(PlainFile, record->kind);
  EXPECT_EQ(Current, record->state);
  // Fields of white space alone become empty but still count.
  const auto blank = only(parse("  ,   ,  ,0.0.0.0,1,2"));
  EXPECT_EQ("", blank->name);
  EXPECT_EQ("", blank->package);
  EXPECT_EQ("", blank->file);
  EXPECT_EQ(Stale, blank->state);
}

TEST(ComponentLines, FieldCountRules) {
  EXPECT_TRUE(parse("a,b,c,1.2.3.4,1\n").empty()) << "five fields";
  EXPECT_TRUE(parse("a,b,c,1.2.3.4,1,\n").empty()) << "sixth field empty after a final comma";
  EXPECT_TRUE(parse("a,b,c,1.2.3.4,1\n,0\n").empty()) << "a line end splits the record";
  const auto seven = only(parse("a,b,c,1.2.3.4,2,1,extra,more,\n"));
  EXPECT_EQ("c", seven->file);
  EXPECT_EQ(PlainFile, seven->kind);
  EXPECT_EQ(Current, seven->state);
  // An empty sixth field between commas still counts as a field.
  const auto emptySixth = only(parse("a,b,c,1.2.3.4,1,,x\n"));
  EXPECT_EQ(New, emptySixth->state);
}

TEST(ComponentLines, VersionParts) {
  auto version = [](const std::string& field) {
    const ComponentList list = parse("n,p,f," + field + ",1,0\n");
    return list.empty() ? std::optional<Version>() : std::optional<Version>(list.at(0)->version);
  };
  EXPECT_FALSE(version("1.2.3"));
  EXPECT_FALSE(version("1.2.3."));
  EXPECT_FALSE(version(""));
  EXPECT_EQ((Version{1, 2, 3, 4}), version("1.2.3.4.5"));
  EXPECT_EQ((Version{1, 2, 3, 4}), version("1.2.3.4."));
  EXPECT_EQ((Version{1, 0, 3, 4}), version("1.x.3.4"));
  EXPECT_EQ((Version{1, 2, 0, 4}), version("1.2..4"));
  EXPECT_FALSE(version("...")) << "three empty parts; a final full stop adds none";
  EXPECT_EQ((Version{0, 0, 0, 0}), version("...."));
  EXPECT_EQ((Version{-1, 2, 3, 4}), version("-1.2.3.4"));
  EXPECT_EQ((Version{5, 12, 0, 0}), version("+5.12abc.- 3.-"));
  EXPECT_EQ((Version{0, 7, 9, 10}), version("0x1F.007z.\t9 .10 "));
  // Out of range numbers stop at the 32-bit limits rather than wrapping.
  EXPECT_EQ((Version{INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN}),
            version("2147483648.-2147483649.99999999999999999999.-99999999999999999999"));
  EXPECT_EQ((Version{INT32_MAX, INT32_MIN, 0, 0}), version("2147483647.-2147483648.0.0"));
}

TEST(ComponentLines, KindAndStateComeFromTheFirstCharacter) {
  auto record = [](const std::string& kind, const std::string& state) {
    return only(parse("n,p,f,1.1.1.1," + kind + "," + state + "\n"));
  };
  EXPECT_EQ(SelfRegistering, record("12", "0")->kind);
  EXPECT_EQ(PlainFile, record("21", "0")->kind);
  EXPECT_EQ(SelfRegistering, record(" 1 ", "0")->kind);  // blanks around it are trimmed first
  EXPECT_EQ(Stale, record("1", "2x")->state);
  EXPECT_EQ(Current, record("1", " 10")->state);
  // Anything else gets the documented defaults; an unknown kind is never a library.
  for (const char* kind : {"", "0", "3", "x1", "-1", " "}) {
    EXPECT_EQ(kDefaultKind, record(kind, "0")->kind) << "kind '" << kind << "'";
    EXPECT_NE(SelfRegistering, record(kind, "0")->kind) << "kind '" << kind << "'";
  }
  for (const char* state : {"3", "x", "-1", "9"}) EXPECT_EQ(kDefaultState, record("1", state)->state) << state;
  EXPECT_EQ(kDefaultState, only(parse("n,p,f,1.1.1.1,1, ,"))->state);
}

TEST(ComponentLines, LineEndsAndBlankLines) {
  EXPECT_TRUE(parse("").empty());
  EXPECT_TRUE(parse("\n\r\n\n   \n").empty());
  const ComponentList list = parse("\n a,,a.dll,1.0.0.0,1,0\r\n\r\n\nb,,b.dll,2.0.0.0,2,1");
  ASSERT_EQ(2u, list.length());
  EXPECT_EQ("a", list.at(0)->name);
  EXPECT_EQ("b", list.at(1)->name) << "the last line needs no line feed";
  EXPECT_EQ(Current, list.at(1)->state);
}

TEST(ComponentLines, TextAfterCarriageReturnIsDropped) {
  const auto record = only(parse("a,b,c,1.2.3.4,1,0\rjunk,x,y,9.9.9.9,2,2\nnext\n"));
  EXPECT_EQ("a", record->name);
  EXPECT_EQ(New, record->state);
  // The dropped text can complete a record only before the carriage return.
  EXPECT_TRUE(parse("a,b,c,1.2.3.4\r,1,0\n").empty());
}

TEST(ComponentLines, NonBlankLinesAreCounted) {
  size_t nonBlank = 99;
  MemoryLineSource page("<html>\n\n  \t\n<body>not a list</body>\r\n\r\na,,a,1.1.1.1,1,0\n \r text after return\n");
  const ComponentList list = parseComponentLines(page, nonBlank);
  EXPECT_EQ(1u, list.length());
  EXPECT_EQ(3u, nonBlank);
  MemoryLineSource empty("");
  EXPECT_TRUE(parseComponentLines(empty, nonBlank).empty());
  EXPECT_EQ(0u, nonBlank);
}

TEST(LineReader, ReadsBufferSizeLessOneAndStopsAtTheEnd) {
  MemoryLineSource source(std::string(3000, 'x') + "\n");
  const auto lines = readAllLines(source);
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(3000u, lines[0].size());
  for (size_t count : source.requestedCounts) EXPECT_EQ(1023u, count);
  EXPECT_EQ(0u, source.readsAfterEnd);
  EXPECT_FALSE(source.readLine());
  EXPECT_EQ(0u, source.readsAfterEnd) << "a source that ran dry is not read again";
}

TEST(LineReader, EmptyLinesAreLinesNotTheEnd) {
  MemoryLineSource source("\n\nx\n\n");
  EXPECT_EQ((std::vector<std::string>{"", "", "x", ""}), readAllLines(source));
}

// Lines that begin exactly where a fill of the 1023-byte buffer ends, or one byte before
// or after, and lines much longer than the buffer, read through sources that return
// everything asked for or only small pieces.
TEST(LineReader, FillBoundariesDoNotChangeTheLines) {
  const size_t fill = 1023;
  for (size_t boundary = 1; boundary <= 3; ++boundary) {
    for (int shift = -2; shift <= 2; ++shift) {
      const size_t start = boundary * fill + shift;  // where the second line begins
      for (const char* end : {"\n", "\r\n", "\rtail\n"}) {
        std::string text(start - std::string(end).size(), 'a');
        text += end;
        text += "b,,b.dll,1.2.3.4,1,0\r\n";
        text += std::string(2 * fill + 5, 'c') + "\r" + std::string(fill, 'd') + "\n";
        text += "e";
        for (size_t piece : {size_t{0}, size_t{1}, size_t{7}, size_t{1000}}) {
          MemoryLineSource source(text, piece);
          EXPECT_EQ(expectedLines(text), readAllLines(source))
              << "second line at " << start << ", piece " << piece << ", end " << end[0];
        }
      }
    }
  }
}

TEST(LineReader, RandomTextsMatchThePlainSplitForAnyBufferSize) {
  std::mt19937 random(12345);
  const char alphabet[] = {'a', 'b', ',', '.', '1', ' ', '\r', '\n', '\n', '\0'};
  for (int round = 0; round < 300; ++round) {
    std::string text(random() % 3000, ' ');
    for (char& c : text) c = alphabet[random() % sizeof alphabet];
    const size_t capacity = 2 + random() % 40;
    const size_t piece = random() % 5;
    MemoryLineSource source(text, piece, capacity);
    ASSERT_EQ(expectedLines(text), readAllLines(source)) << "round " << round;
    for (size_t count : source.requestedCounts) ASSERT_EQ(capacity - 1, count);
  }
}

TEST(LineReader, RecordsSpanningFillsParseWhole) {
  const std::string longName(5000, 'n');
  std::string text;
  for (size_t pad = 0; pad < 1030; pad += 97) text += std::string(pad, ' ') + "p" + std::to_string(pad) + ",,f,1.2.3.4,1,0\n";
  text += longName + ",pkg," + std::string(2000, 'f') + ",4.3.2.1,2,1";
  const ComponentList list = parse(text);
  ASSERT_EQ(12u, list.length());
  for (size_t i = 0; i + 1 < list.length(); ++i) EXPECT_EQ("p" + std::to_string(i * 97), list.at(i)->name);
  EXPECT_EQ(longName, list.at(11)->name);
  EXPECT_EQ(std::string(2000, 'f'), list.at(11)->file);
  EXPECT_EQ((Version{4, 3, 2, 1}), list.at(11)->version);
}

TEST(ComponentLineFormat, WritesTheFixedFormat) {
  ComponentRecord record{"a", "b", "c", {1, 2, 3, 4}, SelfRegistering, New};
  EXPECT_EQ("a,,c,1.2.3.4,1,0\n", formatComponentLine(record));
  record = {"name", "", "dir\\x.dll", {-1, 0, INT32_MAX, INT32_MIN}, PlainFile, Stale};
  EXPECT_EQ("name,,dir\\x.dll,-1.0.2147483647.-2147483648,2,2\n", formatComponentLine(record));
  record.kind = 77;
  record.state = -5;
  EXPECT_EQ("name,,dir\\x.dll,-1.0.2147483647.-2147483648,77,-5\n", formatComponentLine(record));
}

TEST(ComponentLineFormat, LongLinesAreWrittenWhole) {
  const ComponentRecord record{std::string(3000, 'n'), "ignored", std::string(1500, 'f'), {9, 8, 7, 6}, PlainFile, Current};
  const std::string line = formatComponentLine(record);
  EXPECT_EQ(std::string(3000, 'n') + ",," + std::string(1500, 'f') + ",9.8.7.6,2,1\n", line);
}

TEST(ComponentLineFormat, WrittenLinesReadBackAsTheSameRecords) {
  const std::vector<ComponentRecord> records = {
      {"a", "b", "c", {1, 2, 3, 4}, SelfRegistering, New},
      {"second", "", "sub\\file.txt", {-7, 0, 65535, INT32_MIN}, PlainFile, Stale},
      {std::string(2100, 'x'), "", "y.dll", {0, 0, 0, 1}, SelfRegistering, Current},
  };
  std::string text;
  for (const auto& record : records) text += formatComponentLine(record);
  const ComponentList list = parse(text);
  ASSERT_EQ(records.size(), list.length());
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].name, list.at(i)->name);
    EXPECT_EQ("", list.at(i)->package);
    EXPECT_EQ(records[i].file, list.at(i)->file);
    EXPECT_EQ(records[i].version, list.at(i)->version);
    EXPECT_EQ(records[i].kind, list.at(i)->kind);
    EXPECT_EQ(records[i].state, list.at(i)->state);
  }
}

TEST(ComponentListRecords, SharedOrderedAndRemovable) {
  auto first = std::make_shared<ComponentRecord>();
  auto second = std::make_shared<ComponentRecord>();
  auto third = std::make_shared<ComponentRecord>();
  first->name = "1";
  second->name = "2";
  third->name = "3";
  ComponentList a, b;
  a.append(first);
  a.append(second);
  a.append(third);
  b.append(second);
  b.at(0)->state = Stale;
  EXPECT_EQ(Stale, a.at(1)->state) << "records are shared, not copied";

  a.removeAt(3);
  a.removeAt(static_cast<size_t>(-1));
  EXPECT_EQ(3u, a.length());
  a.removeAt(1);
  ASSERT_EQ(2u, a.length());
  EXPECT_EQ("1", a.at(0)->name);
  EXPECT_EQ("3", a.at(1)->name);
  std::string names;
  for (const auto& record : a) names += record->name;
  EXPECT_EQ("13", names);
  a.removeAt(0);
  a.removeAt(0);
  EXPECT_TRUE(a.empty());
  EXPECT_EQ(1u, b.length());
}

}  // namespace
}  // namespace corvane::testing
