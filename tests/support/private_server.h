// A component server of a test's own, for faults that end the server process (the run's
// shared server must survive). Started as a Unix program through Wine; it ends itself
// when the fault fires, or after a minute.
#pragma once

#include <string>

namespace corvane::testing {

class PrivateServer {
 public:
  // Serves servedWindowsPath (a Z:\ path) with the test key; `faults` apply to the whole run.
  PrivateServer(const std::string& servedWindowsPath, const std::string& faults);
  bool running() const { return !port_.empty(); }
  std::string url() const { return "http://127.0.0.1:" + port_ + "/"; }

 private:
  std::string portFile_;
  std::string port_;
};

}  // namespace corvane::testing
