#include "support/served_files.h"

#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "support/files.h"

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

std::string freshToken() {
  GUID guid{};
  if (FAILED(::CoCreateGuid(&guid))) throw std::runtime_error("no fresh token for a served folder");
  char text[17];
  std::snprintf(text, sizeof text, "%08lx%04x%04x", static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3);
  return text;
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
  // A fresh token rather than the process id, which Wine reuses: the folder's name keys
  // the test's lines in the server's request log, so a later run must never see an
  // earlier run's lines under it.
  const std::string name = testName + "-" + freshToken();
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
  writeWholeFile(windowsPath + name, bytes);
}

}  // namespace corvane::testing
