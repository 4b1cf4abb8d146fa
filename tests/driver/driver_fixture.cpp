#include "tests/driver/driver_fixture.h"

#include <stdexcept>

namespace corvane::testing {

size_t countLines(const std::string& text) {
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  return lines;
}

std::vector<std::string> fileNamesIn(const std::string& directory) {
  std::vector<std::string> names;
  for (const std::string& name : entriesOf(directory)) {
    if (fileExists(directory + name)) names.push_back(name);
  }
  return names;
}

std::string builtArtefact(const std::string& name) { return windowsPathOf(TEST_COMPONENT_DIR "/" + name); }

namespace {
// Wine reuses process ids, so a folder named after one may hold an earlier run's files.
void removeFilesIn(const std::string& directory) {
  WIN32_FIND_DATAA entry;
  HANDLE search = ::FindFirstFileA((directory + "*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ::DeleteFileA((directory + entry.cFileName).c_str());
  } while (::FindNextFileA(search, &entry));
  ::FindClose(search);
}
}  // namespace

JobTest::JobTest(const std::string& name) : served(makeServedDirectory(name)) {
  const std::string root = "C:\\corvane-tests\\";
  ::CreateDirectoryA(root.c_str(), nullptr);
  const std::string unique = name + "-" + std::to_string(::GetCurrentProcessId());
  installPath = root + unique + "\\";
  listPath = installPath + "components.txt";
  removeFilesIn(installPath);
  // A temporary folder of the test's own: tests running beside it (some leave their
  // downloads on purpose) cannot disturb its before-and-after comparison.
  const std::string temporary = root + unique + "-tmp\\";
  ::CreateDirectoryA(temporary.c_str(), nullptr);
  removeFilesIn(temporary);
  ::SetEnvironmentVariableA("TMP", temporary.c_str());
  ::SetEnvironmentVariableA("TEMP", temporary.c_str());
}

JobTest::~JobTest() = default;

void JobTest::publish(const std::string& artefact) const {
  const std::string bytes = readFile(builtArtefact(artefact));
  if (bytes.empty()) throw std::runtime_error("missing built artefact " + artefact);
  served.writeFile(artefact, bytes);
}

void JobTest::publishCatalog(const std::string& lines) const { served.writeFile("cvprobecl.txt", lines); }

}  // namespace corvane::testing
