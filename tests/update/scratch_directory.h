// A fresh directory under the prefix's temporary folder for one test, removed with its
// contents afterwards, and small file helpers for the update tests.
#pragma once

#include <string>
#include <vector>

namespace corvane::testing {

class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  const std::string& path() const { return path_; }  // ends with '\'

 private:
  std::string path_;
};

std::string windowsPathOf(const std::string& unixPath);  // Z:\... as Wine sees it
bool readWholeFile(const std::string& path, std::string& bytes);
void writeWholeFile(const std::string& path, const std::string& bytes);
bool pathExists(const std::string& path);
bool isDirectory(const std::string& path);
std::vector<std::string> entriesOf(const std::string& directory);  // names, without . and ..
void removeTree(const std::string& path);

}  // namespace corvane::testing
