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

struct ServerSettings {
  std::string url;
  std::string root;
};

// The environment wins when it names a server (someone running a program by hand against
// a server of their own); otherwise the server the test run's fixture started.
ServerSettings readServerSettings() {
  ServerSettings settings{environment("CORVANE_SERVER_URL"), environment("CORVANE_SERVER_ROOT")};
  if (!settings.url.empty() && !settings.root.empty()) return settings;
  settings = {};
  std::ifstream in(CORVANE_SERVER_SETTINGS);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("url=", 0) == 0) settings.url = line.substr(4);
    if (line.rfind("root=", 0) == 0) settings.root = line.substr(5);
  }
  return settings;
}

const ServerSettings& serverSettings() {
  static const ServerSettings settings = readServerSettings();
  return settings;
}
}  // namespace

bool componentServerAvailable() {
  const ServerSettings& settings = serverSettings();
  return !settings.url.empty() && !settings.root.empty();
}
std::string componentServerUrl() { return serverSettings().url; }
std::string componentServerRoot() { return serverSettings().root; }

ServedDirectory makeServedDirectory(const std::string& testName) {
  if (!componentServerAvailable()) throw std::runtime_error("no component server: run the tests through ctest");
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
