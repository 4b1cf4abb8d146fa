// A line source over bytes in memory that hands them out in pieces of a chosen size, so
// tests can put fill boundaries anywhere.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "update/component_list.h"

namespace corvane::testing {

class MemoryLineSource final : public LineSource {
 public:
  // piece: most bytes one read returns (0: as many as asked); capacity: bufferSize().
  explicit MemoryLineSource(std::string bytes, size_t piece = 0, size_t capacity = 1024)
      : bytes_(std::move(bytes)), piece_(piece), capacity_(capacity) {}

  std::vector<size_t> requestedCounts;  // the count of every read call
  size_t readsAfterEnd = 0;             // reads made after one had returned 0

 protected:
  size_t read(char* buffer, size_t count) override {
    requestedCounts.push_back(count);
    if (sawEnd_) ++readsAfterEnd;
    size_t n = std::min(count, bytes_.size() - offset_);
    if (piece_) n = std::min(n, piece_);
    std::memcpy(buffer, bytes_.data() + offset_, n);
    offset_ += n;
    if (n == 0) sawEnd_ = true;
    return n;
  }
  size_t bufferSize() const override { return capacity_; }

 private:
  std::string bytes_;
  size_t offset_ = 0;
  size_t piece_;
  size_t capacity_;
  bool sawEnd_ = false;
};

// The lines of a text as the format defines them, computed the plain way: split at line
// feeds, no line after a final line feed, each line cut at its first carriage return.
inline std::vector<std::string> expectedLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    line = line.substr(0, line.find('\r'));
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

inline std::vector<std::string> readAllLines(LineSource& source) {
  std::vector<std::string> lines;
  while (auto line = source.readLine()) lines.push_back(*line);
  return lines;
}

}  // namespace corvane::testing
