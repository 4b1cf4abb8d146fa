#include "support/files.h"

#include <windows.h>

#include <atomic>
#include <fstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "base/unique_resource.h"

namespace corvane::testing {

namespace {
std::string uniqueScratchName() {
  static std::atomic<int> counter{0};
  return "scratch-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++counter);
}
}  // namespace

ScratchDirectory::ScratchDirectory() : ScratchDirectory(uniqueScratchName()) {}

ScratchDirectory::ScratchDirectory(const std::string& name) : path_(temporaryDirectory() + name + "\\") {
  removeTree(path_.substr(0, path_.size() - 1));
  if (!::CreateDirectoryA(path_.c_str(), nullptr)) throw std::runtime_error("cannot create " + path_);
}

std::wstring ScratchDirectory::widePath() const { return std::wstring(path_.begin(), path_.end() - 1); }

ScratchDirectory::~ScratchDirectory() { removeTree(path_.substr(0, path_.size() - 1)); }

std::string windowsPathOf(const std::string& unixPath) {
  std::string path = "Z:" + unixPath;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

bool readWholeFile(const std::string& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

std::string readFile(const std::string& path) {
  std::string bytes;
  readWholeFile(path, bytes);
  return bytes;
}

std::string fileBytes(const std::string& path) {
  std::string bytes;
  EXPECT_TRUE(readWholeFile(path, bytes)) << path;
  return bytes;
}

void writeWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool pathExists(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool fileExists(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool isDirectory(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::vector<std::string> entriesOf(const std::string& directory) {
  std::vector<std::string> names;
  std::string pattern = directory;
  if (pattern.empty() || pattern.back() != '\\') pattern += '\\';
  WIN32_FIND_DATAA found{};
  UniqueFindHandle search(::FindFirstFileA((pattern + "*").c_str(), &found));
  if (!search) return names;
  do {
    const std::string name = found.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (::FindNextFileA(search.get(), &found));
  return names;
}

void removeTree(const std::string& path) {
  if (isDirectory(path)) {
    for (const std::string& name : entriesOf(path)) removeTree(path + "\\" + name);
    ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::RemoveDirectoryA(path.c_str());
  } else if (pathExists(path)) {
    ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileA(path.c_str());
  }
}

std::string temporaryDirectory() {
  char buffer[MAX_PATH + 1] = {};
  ::GetTempPathA(sizeof(buffer), buffer);
  return buffer;
}

std::vector<std::string> temporaryFileNames() {
  std::vector<std::string> names;
  WIN32_FIND_DATAA entry;
  UniqueFindHandle search(::FindFirstFileA((temporaryDirectory() + "*").c_str(), &entry));
  if (!search) return names;
  do {
    if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(entry.cFileName);
  } while (::FindNextFileA(search.get(), &entry));
  return names;
}

}  // namespace corvane::testing
