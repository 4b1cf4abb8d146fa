#include "tests/transfer/session_signer.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>

namespace corvane::testing {

std::string signSession(const std::string& sessionHex, const std::string& fault) {
  char inputPath[] = "/tmp/corvane-session-XXXXXX";
  const int descriptor = ::mkstemp(inputPath);
  if (descriptor < 0) throw std::runtime_error("mkstemp failed");
  ::close(descriptor);
  std::ofstream(inputPath) << sessionHex;
  const std::string command = std::string("/usr/bin/python3 '") + CORVANE_SIGN_SCRIPT + "' '" + CORVANE_TEST_PRIVATE_KEY +
                              "' '" + fault + "' < '" + inputPath + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string output;
  if (pipe) {
    char buffer[512];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) output.append(buffer, got);
  }
  const int status = pipe ? ::pclose(pipe) : -1;
  ::unlink(inputPath);
  if (status != 0) throw std::runtime_error("signing failed: " + command);
  while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
  return output;
}

}  // namespace corvane::testing
