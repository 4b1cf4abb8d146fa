#include "support/served_files.h"

#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace corvane::testing {
namespace {
std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}
}  // namespace

bool componentServerAvailable() {
  return !environment("CORVANE_SERVER_URL").empty() && !environment("CORVANE_SERVER_ROOT").empty();
}
std::string componentServerUrl() { return environment("CORVANE_SERVER_URL"); }
std::string componentServerRoot() { return environment("CORVANE_SERVER_ROOT"); }

ServedDirectory makeServedDirectory(const std::string& testName) {
  if (!componentServerAvailable()) throw std::runtime_error("no component server: run the tests with scripts/test");
  // Unique per process as well, so repeated or parallel runs never share files.
  const std::string name = testName + "-" + std::to_string(::GetCurrentProcessId());
  ServedDirectory directory;
  directory.windowsPath = componentServerRoot() + name + "\\";
  directory.url = componentServerUrl() + name + "/";
  ::CreateDirectoryA(directory.windowsPath.c_str(), nullptr);
  return directory;
}

std::string ServedDirectory::faultUrl(const std::string& faults) const {
  const std::string base = componentServerUrl();
  return base + "_fault/" + faults + "/" + url.substr(base.size());
}

void ServedDirectory::writeFile(const std::string& name, const std::string& bytes) const {
  std::ofstream out(windowsPath + name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + windowsPath + name);
}

}  // namespace corvane::testing
