#include "tests/transfer/native_python.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>

namespace corvane::testing {

std::string runPython(const std::string& arguments, const std::string& input) {
  // Through a file rather than a pipe both ways: popen offers one direction only.
  char inputPath[] = "/tmp/corvane-python-XXXXXX";
  const int descriptor = ::mkstemp(inputPath);
  if (descriptor < 0) throw std::runtime_error("mkstemp failed");
  ::close(descriptor);
  std::ofstream(inputPath, std::ios::binary) << input;
  const std::string command = "/usr/bin/python3 " + arguments + " < '" + inputPath + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string output;
  if (pipe) {
    char buffer[512];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) output.append(buffer, got);
  }
  const int status = pipe ? ::pclose(pipe) : -1;
  ::unlink(inputPath);
  if (status != 0) throw std::runtime_error("failed: " + command);
  return output;
}

}  // namespace corvane::testing
