// Shared ground for the end-to-end job tests: a served directory with packages and a
// catalog, a fresh installation directory, and what the jobs left behind.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "base/unique_resource.h"
#include "support/files.h"
#include "support/served_files.h"

namespace corvane::testing {

size_t countLines(const std::string& text);
// Names of the files in a directory (ending with '\'); not recursive.
std::vector<std::string> fileNamesIn(const std::string& directory);
// An empty folder of a test's own beside its installation folder: "<folder>-<suffix>\".
std::string folderBeside(const std::string& installPath, const std::string& suffix);
// Built test artefacts (cabinets, component libraries, certificates) by name.
std::string builtArtefact(const std::string& name);

// A started child process; none when it could not be started.
UniqueHandle startProcess(std::string commandLine);

// library_holder (a built artefact) keeping a library loaded in a process of its own, as
// another program using the component would, until released.
class LibraryHolder {
 public:
  explicit LibraryHolder(const std::string& library);
  ~LibraryHolder();
  LibraryHolder(const LibraryHolder&) = delete;
  LibraryHolder& operator=(const LibraryHolder&) = delete;
  bool loaded() const { return loaded_; }
  void release();

 private:
  UniqueHandle ready_, release_, process_;
  bool loaded_ = false;
};

class JobTest {
 public:
  explicit JobTest(const std::string& name);
  ~JobTest();

  // Puts a built artefact on the server under its own name.
  void publish(const std::string& artefact) const;
  void publishCatalog(const std::string& lines) const;

  ServedDirectory served;
  std::string installPath;  // ends with '\'
  std::string listPath;
  std::string authPath = "/auth";
};

}  // namespace corvane::testing
