// Component lists: the record a list line becomes, the shared-record list, the buffered
// line reader and the line format shared by the server's catalog and the local list.
// No Windows headers here: the reader and the parser are built and tested natively too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

enum ComponentKind : int { SelfRegistering = 1, PlainFile = 2 };
enum ComponentState : int { New = 0, Current = 1, Stale = 2 };

// Kind and state given to a line whose fifth or sixth field starts with none of the known
// characters. An unknown kind is a plain file, so nothing unknown is ever loaded as a
// library; an unknown state is New, the value the driver's own marking starts from.
constexpr int kDefaultKind = PlainFile;
constexpr int kDefaultState = New;

struct ComponentRecord {
  std::string name, package, file;
  std::array<int32_t, 4> version{};
  int kind = kDefaultKind;
  int state = kDefaultState;
};

// Ordered records held by reference: one record can be in the catalog, the selection
// and the local list at once.
class ComponentList {
 public:
  using Records = std::vector<std::shared_ptr<ComponentRecord>>;

  size_t length() const { return records_.size(); }
  bool empty() const { return records_.empty(); }
  const std::shared_ptr<ComponentRecord>& at(size_t index) const { return records_.at(index); }
  void append(std::shared_ptr<ComponentRecord> record) { records_.push_back(std::move(record)); }
  // Later records move down by one; an index outside the list is ignored.
  void removeAt(size_t index);

  Records::const_iterator begin() const { return records_.begin(); }
  Records::const_iterator end() const { return records_.end(); }

 private:
  Records records_;
};

// Turns a byte source into lines. A line ends at a line feed; a carriage return ends its
// text, and whatever follows up to the line feed is dropped. Lines have no length limit
// and may span any number of buffer fills.
class LineSource {
 public:
  virtual ~LineSource();
  // The next line without its end, or nullopt at the end of input. A source that ends
  // in the middle of a line yields that text as its last line.
  std::optional<std::string> readLine();

 protected:
  // At most count bytes into buffer; 0 at the end of the source (or on failure).
  virtual size_t read(char* buffer, size_t count) = 0;
  virtual size_t bufferSize() const;

 private:
  size_t refill();

  std::unique_ptr<char[]> buffer_;
  size_t capacity_ = 0;
  size_t valid_ = 0;
  size_t cursor_ = 0;
  bool exhausted_ = false;
};

// Lines of a text already in memory, such as a fetched catalog.
class TextLineSource final : public LineSource {
 public:
  explicit TextLineSource(std::string_view text) : text_(text) {}

 protected:
  size_t read(char* buffer, size_t count) override;

 private:
  std::string_view text_;
};

// Records of every valid line, in line order; malformed lines are skipped one by one.
ComponentList parseComponentLines(LineSource& source);
// The same, also counting the lines that hold anything besides white space, so that a
// reply that is not a list (lines, none valid) can be told from an empty list.
ComponentList parseComponentLines(LineSource& source, size_t& nonBlankLines);
// One record parsed from one line (without its line end), or nullopt when the line is
// not valid.
std::optional<ComponentRecord> parseComponentLine(const std::string& line);

// "%s,,%s,%d.%d.%d.%d,%d,%d\n" for the record, the whole line however long; the package
// column is always left empty.
std::string formatComponentLine(const ComponentRecord& record);

}  // namespace corvane
