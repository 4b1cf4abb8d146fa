// Access, from a test under Wine, to the reference component server that scripts/test
// starts on 127.0.0.1 before the Windows tests run.
//   CORVANE_SERVER_URL   http://127.0.0.1:PORT/  (base of everything served)
//   CORVANE_SERVER_ROOT  the served directory as a Windows path (Z:\...\)
// A path that begins with /_fault/NAME[,NAME...]/ is served with those faults applied.
#pragma once

#include <string>

namespace corvane::testing {

// False when the run has no server (a test then fails with a clear message).
bool componentServerAvailable();
std::string componentServerUrl();   // ends with '/'
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
