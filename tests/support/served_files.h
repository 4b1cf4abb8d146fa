// Access, from a test under Wine, to the reference component server that the test run's
// fixture starts on 127.0.0.1 (it leaves the URL and the served folder in the build tree's
// test-run/server/settings). CORVANE_SERVER_URL and CORVANE_SERVER_ROOT (the served folder
// as a Windows path, Z:\...\), when both are set, name another server instead.
// A path that begins with /_fault/NAME[,NAME...]/ is served with those faults applied.
#pragma once

#include <string>

namespace corvane::testing {

// False when the run has no server (a test then fails with a clear message).
bool componentServerAvailable();
std::string componentServerUrl();   // http://127.0.0.1:PORT/, the base of everything served
std::string componentServerRoot();  // ends with '\'

// A fresh directory under the served root for one test, and its URL (ends with '/').
struct ServedDirectory {
  std::string windowsPath;  // ends with '\'
  std::string url;          // ends with '/'
  std::string faultUrl(const std::string& faults) const;  // same directory with faults applied
  void writeFile(const std::string& name, const std::string& bytes) const;
};
ServedDirectory makeServedDirectory(const std::string& testName);

}  // namespace corvane::testing
