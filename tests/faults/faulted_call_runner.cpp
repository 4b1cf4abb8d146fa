// Runs one call of the Installer object in a process of its own, so that the fault tests
// can end a call that hangs instead of hanging with it. Linked with the test build's short
// request time-outs.
//   faulted_call_runner update BASE AUTH INSTALL NAMES   exit 10 + the call's result
//   faulted_call_runner certificate BASE AUTH FILE       exit 10
// Exit 1 when the object cannot be made or the call fails, 2 on wrong arguments.
#include <objbase.h>

#include <cstring>
#include <string>

#include "shell/com_owners.h"
#include "shell/installer.h"

namespace corvane {
namespace {

UniqueBstr bstr(const char* text) {
  const std::wstring wide(text, text + std::strlen(text));
  return UniqueBstr(::SysAllocString(wide.c_str()));
}

int run(int argc, char** argv) {
  const bool update = argc == 6 && std::strcmp(argv[1], "update") == 0;
  const bool certificate = argc == 5 && std::strcmp(argv[1], "certificate") == 0;
  if (!update && !certificate) return 2;
  ComPtr<IInstaller> installer;
  if (FAILED(Installer::createInstance(IID_IInstaller, installer.putVoid()))) return 1;
  installer->put_BaseURL(bstr(argv[2]).get());
  installer->put_AuthPath(bstr(argv[3]).get());
  if (certificate) return installer->InstallCertificate(bstr(argv[4]).get()) == S_OK ? 10 : 1;
  installer->put_InstallPath(bstr(argv[4]).get());
  int chosen = -1;
  if (installer->UpdateComponents(bstr(argv[5]).get(), &chosen) != S_OK) return 1;
  return 10 + chosen;
}

}  // namespace
}  // namespace corvane

int main(int argc, char** argv) {
  if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  const int result = corvane::run(argc, argv);
  ::CoUninitialize();
  return result;
}
