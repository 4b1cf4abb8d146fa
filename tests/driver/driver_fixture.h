// Shared ground for the end-to-end job tests: a served directory with packages and a
// catalog, a fresh installation directory, and what the jobs left behind.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "support/files.h"
#include "support/served_files.h"

namespace corvane::testing {

size_t countLines(const std::string& text);
// Names of the files in a directory (ending with '\'); not recursive.
std::vector<std::string> fileNamesIn(const std::string& directory);
// Built test artefacts (cabinets, component libraries, certificates) by name.
std::string builtArtefact(const std::string& name);

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
