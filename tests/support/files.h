// Files and folders as the tests under Wine see them: a scratch folder of the test's own,
// whole-file reads and writes, and what is in a folder.
#pragma once

#include <string>
#include <vector>

namespace corvane::testing {

// A fresh directory under the prefix's temporary folder for one test, removed with its
// contents afterwards: a uniquely named one, or one of the given (ASCII) name.
class ScratchDirectory {
 public:
  ScratchDirectory();
  explicit ScratchDirectory(const std::string& name);
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  const std::string& path() const { return path_; }  // ends with '\'
  std::wstring widePath() const;                      // the same without the final '\'

 private:
  std::string path_;
};

std::string windowsPathOf(const std::string& unixPath);  // Z:\... as Wine sees it
std::string readFile(const std::string& path);            // the whole file; empty when missing
bool readWholeFile(const std::string& path, std::string& bytes);  // false when it cannot be opened
std::string fileBytes(const std::string& path);           // readFile, failing the test when missing
void writeWholeFile(const std::string& path, const std::string& bytes);
bool pathExists(const std::string& path);                 // file or directory
bool fileExists(const std::string& path);                 // a file, not a directory
bool isDirectory(const std::string& path);
std::vector<std::string> entriesOf(const std::string& directory);  // names, without . and ..
void removeTree(const std::string& path);
std::string temporaryDirectory();  // the user's temporary folder, ends with '\'
// Names of the files in the user's temporary directory (not recursive).
std::vector<std::string> temporaryFileNames();

}  // namespace corvane::testing
