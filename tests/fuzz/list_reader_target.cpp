// The list reader and line parser. The same bytes are read once through a source that
// hands them out in pieces of fuzzer-chosen sizes with a fuzzer-chosen buffer, and once
// in one piece; lines and records must not depend on the pieces, and must match the
// lines cut straight from the whole text.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "update/component_list.h"
#include "tests/fuzz/fuzz_targets.h"

namespace corvane::testing {
namespace {

constexpr const char* kTarget = "list_reader";

class PiecedSource final : public LineSource {
 public:
  PiecedSource(std::string text, std::vector<size_t> pieces, std::optional<size_t> buffer)
      : text_(std::move(text)), pieces_(std::move(pieces)), buffer_(buffer) {}

 protected:
  size_t read(char* out, size_t count) override {
    FUZZ_REQUIRE(kTarget, !dry_, "the reader asked a source again after it returned 0");
    FUZZ_REQUIRE(kTarget, count > 0, "the reader asked for 0 bytes");
    size_t piece = pieces_.empty() ? count : pieces_[reads_ % pieces_.size()];
    ++reads_;
    piece = std::min({piece, count, text_.size() - offset_});
    std::memcpy(out, text_.data() + offset_, piece);
    offset_ += piece;
    if (piece == 0) dry_ = true;
    return piece;
  }
  size_t bufferSize() const override { return buffer_ ? *buffer_ : LineSource::bufferSize(); }

 private:
  std::string text_;
  std::vector<size_t> pieces_;
  std::optional<size_t> buffer_;
  size_t offset_ = 0;
  size_t reads_ = 0;
  bool dry_ = false;
};

// Lines as the reader documents them: cut at every line feed, each line's text ends at
// its first carriage return, unfinished text at the end is a last line.
std::vector<std::string> expectedLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    const bool finished = end != std::string::npos;
    if (!finished) end = text.size();
    std::string line = text.substr(start, end - start);
    const size_t ret = line.find('\r');
    if (ret != std::string::npos) line.resize(ret);
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

bool sameRecord(const ComponentRecord& a, const ComponentRecord& b, bool withPackage) {
  return a.name == b.name && (!withPackage || a.package == b.package) && a.file == b.file &&
         a.version == b.version && a.kind == b.kind && a.state == b.state;
}

std::vector<std::string> readAll(LineSource& source) {
  std::vector<std::string> lines;
  while (std::optional<std::string> line = source.readLine()) lines.push_back(std::move(*line));
  FUZZ_REQUIRE(kTarget, !source.readLine(), "a line after the end of input");
  return lines;
}

}  // namespace

void listReaderTarget(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  std::optional<size_t> buffer;
  if (input.ConsumeBool()) buffer = input.ConsumeIntegralInRange<size_t>(0, 80);
  std::vector<size_t> pieces(input.ConsumeIntegralInRange<size_t>(0, 8));
  for (size_t& piece : pieces) piece = input.ConsumeIntegralInRange<size_t>(1, 300);
  const std::string text = input.ConsumeRemainingBytesAsString();

  const std::vector<std::string> expected = expectedLines(text);
  PiecedSource pieced(text, pieces, buffer);
  FUZZ_REQUIRE(kTarget, readAll(pieced) == expected, "lines differ from the text's own lines");

  PiecedSource whole(text, {}, text.size() + 2);
  size_t nonBlank = 0;
  const ComponentList records = parseComponentLines(whole, nonBlank);
  PiecedSource piecedAgain(text, pieces, buffer);
  size_t piecedNonBlank = 0;
  const ComponentList piecedRecords = parseComponentLines(piecedAgain, piecedNonBlank);
  FUZZ_REQUIRE(kTarget, nonBlank == piecedNonBlank, "pieces changed the count of non-blank lines");
  FUZZ_REQUIRE(kTarget, records.length() == piecedRecords.length(), "pieces changed the number of records");
  for (size_t i = 0; i < records.length(); ++i)
    FUZZ_REQUIRE(kTarget, sameRecord(*records.at(i), *piecedRecords.at(i), true), "pieces changed a record");

  size_t expectedNonBlank = 0;
  size_t next = 0;
  for (const std::string& line : expected) {
    if (line.find_first_not_of(" \t\n\v\f\r") != std::string::npos) ++expectedNonBlank;
    const std::optional<ComponentRecord> record = parseComponentLine(line);
    if (!record) continue;
    FUZZ_REQUIRE(kTarget, next < records.length() && sameRecord(*record, *records.at(next), true),
                 "the list's records are not the valid lines' records in order");
    ++next;
    // What the writer makes of a record reads back as the same record.
    const std::string written = formatComponentLine(*record);
    FUZZ_REQUIRE(kTarget, !written.empty() && written.back() == '\n' &&
                              written.find('\n') == written.size() - 1,
                 "a written record is not exactly one line");
    const std::optional<ComponentRecord> reread = parseComponentLine(written.substr(0, written.size() - 1));
    FUZZ_REQUIRE(kTarget, reread && sameRecord(*reread, *record, false) && reread->package.empty(),
                 "a written record does not read back the same");
    FUZZ_REQUIRE(kTarget, record->kind == SelfRegistering || record->kind == PlainFile, "kind out of range");
    FUZZ_REQUIRE(kTarget, record->state >= New && record->state <= Stale, "state out of range");
  }
  FUZZ_REQUIRE(kTarget, next == records.length(), "the list holds records of no valid line");
  FUZZ_REQUIRE(kTarget, expectedNonBlank == nonBlank, "wrong count of non-blank lines");
}

}  // namespace corvane::testing
