#include "support/private_server.h"

#include <windows.h>

#include <algorithm>

#include "base/unique_resource.h"
#include "support/files.h"

namespace corvane::testing {
namespace {
std::string unixPath(std::string windowsPath) {
  windowsPath.erase(0, 2);  // "Z:"
  std::replace(windowsPath.begin(), windowsPath.end(), '\\', '/');
  return windowsPath;
}
}  // namespace

PrivateServer::PrivateServer(const std::string& servedWindowsPath, const std::string& faults) {
  portFile_ = servedWindowsPath + "private-port";
  ::DeleteFileA(portFile_.c_str());
  std::string command = std::string(CORVANE_PYTHON) + " " + CORVANE_SERVER_SCRIPT + " --root " +
                        unixPath(servedWindowsPath) + " --key " + CORVANE_TEST_PRIVATE_KEY + " --port 0 --port-file " +
                        unixPath(portFile_) + " --exit-after 60";
  if (!faults.empty()) command += " --fault " + faults;
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return;
  }
  UniqueHandle processHandle(process.hProcess);
  UniqueHandle threadHandle(process.hThread);
  for (int attempt = 0; attempt < 200 && port_.empty(); ++attempt) {
    ::Sleep(50);
    const std::string text = readFile(portFile_);
    if (!text.empty() && text.back() == '\n') port_ = text.substr(0, text.size() - 1);
  }
}

}  // namespace corvane::testing
