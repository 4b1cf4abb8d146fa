// A file that is deleted when its owner goes, unless kept: temporary files of downloads
// and of list rewrites never outlive the step that made them.
#pragma once

#include <windows.h>

#include <string>
#include <utility>

#include "base/mutation_points.h"

namespace corvane {

class ScopedFileRemoval {
 public:
  ScopedFileRemoval() = default;
  explicit ScopedFileRemoval(std::string path) : path_(std::move(path)) {}
  ~ScopedFileRemoval() {
    if (!path_.empty()) mutateFileSystem("remove temporary file", [this] { return ::DeleteFileA(path_.c_str()); });
  }
  ScopedFileRemoval(const ScopedFileRemoval&) = delete;
  ScopedFileRemoval& operator=(const ScopedFileRemoval&) = delete;
  const std::string& path() const noexcept { return path_; }
  void keep() noexcept { path_.clear(); }

 private:
  std::string path_;
};

}  // namespace corvane
