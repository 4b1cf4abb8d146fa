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

std::string folderBeside(const std::string& installPath, const std::string& suffix) {
  const std::string folder = installPath.substr(0, installPath.size() - 1) + "-" + suffix + "\\";
  removeTree(folder.substr(0, folder.size() - 1));
  ::CreateDirectoryA(folder.c_str(), nullptr);
  return folder;
}

std::string builtArtefact(const std::string& name) { return windowsPathOf(TEST_COMPONENT_DIR "/" + name); }

UniqueHandle startProcess(std::string commandLine) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (!::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &started)) {
    return UniqueHandle();
  }
  const UniqueHandle thread(started.hThread);
  return UniqueHandle(started.hProcess);
}

LibraryHolder::LibraryHolder(const std::string& library) {
  static int holders = 0;
  const std::string tag = std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++holders);
  const std::string readyName = "corvane-holder-ready-" + tag, releaseName = "corvane-holder-release-" + tag;
  ready_.reset(::CreateEventA(nullptr, TRUE, FALSE, readyName.c_str()));
  release_.reset(::CreateEventA(nullptr, TRUE, FALSE, releaseName.c_str()));
  process_ = startProcess("\"" + builtArtefact("library_holder.exe") + "\" \"" + library + "\" " + readyName + " " +
                          releaseName);
  if (!process_) return;
  const HANDLE waits[] = {ready_.get(), process_.get()};
  loaded_ = ::WaitForMultipleObjects(2, waits, FALSE, 30000) == WAIT_OBJECT_0;
}

LibraryHolder::~LibraryHolder() { release(); }

void LibraryHolder::release() {
  if (!process_) return;
  ::SetEvent(release_.get());
  ::WaitForSingleObject(process_.get(), 30000);
  process_.reset();
}

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
