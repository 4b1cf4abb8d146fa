#include "update/component_list.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string_view>

namespace corvane {
namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Splits at every separator; empty pieces count, a separator at the very end adds none.
std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find(separator, start);
    if (end == std::string_view::npos) {
      pieces.push_back(text.substr(start));
      return pieces;
    }
    pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  // Empty text, or a separator as the last byte: the piece before it is already in.
  if (text.empty()) pieces.push_back(text);
  return pieces;
}

// Reads a number the way atoi does (blanks, sign, digits up to the first non-digit), but
// saturates at the 32-bit limits instead of overflowing, as the platform's strtol does.
int32_t readNumber(std::string_view text) {
  size_t at = 0;
  while (at < text.size() && isBlank(text[at])) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  int64_t value = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    value = value * 10 + (text[at] - '0');
    if (value > int64_t{INT32_MAX} + 1) value = int64_t{INT32_MAX} + 1;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) value = INT32_MAX;
  return static_cast<int32_t>(value);
}

int kindFrom(std::string_view field) {
  if (!field.empty() && field.front() == '1') return SelfRegistering;
  if (!field.empty() && field.front() == '2') return PlainFile;
  return kDefaultKind;
}

int stateFrom(std::string_view field) {
  if (!field.empty() && field.front() >= '0' && field.front() <= '2') return field.front() - '0';
  return kDefaultState;
}

bool hasText(const std::string& line) {
  for (char c : line)
    if (!isBlank(c)) return true;
  return false;
}

}  // namespace

void ComponentList::removeAt(size_t index) {
  if (index < records_.size()) records_.erase(records_.begin() + static_cast<std::ptrdiff_t>(index));
}

size_t TextLineSource::read(char* buffer, size_t count) {
  const size_t n = std::min(count, text_.size());
  std::memcpy(buffer, text_.data(), n);
  text_.remove_prefix(n);
  return n;
}

LineSource::~LineSource() = default;

size_t LineSource::bufferSize() const { return 1024; }

size_t LineSource::refill() {
  if (!buffer_) {
    capacity_ = bufferSize();
    if (capacity_ < 2) capacity_ = 2;  // room for one byte and the terminator
    buffer_ = std::make_unique<char[]>(capacity_);
  }
  valid_ = exhausted_ ? 0 : read(buffer_.get(), capacity_ - 1);
  if (valid_ > capacity_ - 1) valid_ = capacity_ - 1;  // a source that claims more than asked
  if (valid_ == 0) exhausted_ = true;  // once dry, never asked again
  buffer_[valid_] = '\0';
  cursor_ = 0;
  return valid_;
}

std::optional<std::string> LineSource::readLine() {
  if (cursor_ >= valid_ && refill() == 0) return std::nullopt;
  std::string text;
  bool droppingAfterReturn = false;
  size_t pieceStart = cursor_;
  for (;;) {
    if (cursor_ >= valid_) {
      if (!droppingAfterReturn) text.append(buffer_.get() + pieceStart, cursor_ - pieceStart);
      if (refill() == 0) break;
      pieceStart = 0;
      continue;
    }
    const char c = buffer_[cursor_];
    if (c == '\n') {
      if (!droppingAfterReturn) text.append(buffer_.get() + pieceStart, cursor_ - pieceStart);
      ++cursor_;
      break;
    }
    if (c == '\r' && !droppingAfterReturn) {
      text.append(buffer_.get() + pieceStart, cursor_ - pieceStart);
      droppingAfterReturn = true;
    }
    ++cursor_;
  }
  return text;
}

std::optional<ComponentRecord> parseComponentLine(const std::string& line) {
  const std::vector<std::string_view> fields = split(line, ',');
  if (fields.size() < 6) return std::nullopt;
  const std::vector<std::string_view> parts = split(fields[3], '.');
  if (parts.size() < 4) return std::nullopt;

  ComponentRecord record;
  record.name = std::string(trim(fields[0]));
  record.package = std::string(trim(fields[1]));
  record.file = std::string(trim(fields[2]));
  for (size_t i = 0; i < 4; ++i) record.version[i] = readNumber(parts[i]);
  record.kind = kindFrom(trim(fields[4]));
  record.state = stateFrom(trim(fields[5]));
  return record;
}

ComponentList parseComponentLines(LineSource& source, size_t& nonBlankLines) {
  ComponentList list;
  nonBlankLines = 0;
  while (std::optional<std::string> line = source.readLine()) {
    if (hasText(*line)) ++nonBlankLines;
    if (std::optional<ComponentRecord> record = parseComponentLine(*line))
      list.append(std::make_shared<ComponentRecord>(std::move(*record)));
  }
  return list;
}

ComponentList parseComponentLines(LineSource& source) {
  size_t ignored = 0;
  return parseComponentLines(source, ignored);
}

std::string formatComponentLine(const ComponentRecord& record) {
  // Built piece by piece rather than in a fixed buffer, so a long name is never cut.
  std::string line;
  line.reserve(record.name.size() + record.file.size() + 64);
  line += record.name;
  line += ",,";
  line += record.file;
  line += ',';
  for (size_t i = 0; i < 4; ++i) {
    if (i) line += '.';
    line += std::to_string(record.version[i]);
  }
  line += ',';
  line += std::to_string(record.kind);
  line += ',';
  line += std::to_string(record.state);
  line += '\n';
  return line;
}

}  // namespace corvane
