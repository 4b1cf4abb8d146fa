// Command-line host for the registered Installer control: drives it through COM by its
// ProgID and late binding, as an application would.
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "base/diagnostic_log.h"
#include "base/file_removal.h"
#include "shell/com_owners.h"
#include "shell/text.h"
#include "tools/installer-host/host_arguments.h"

namespace corvane {
namespace {

const wchar_t kProgId[] = L"VARuDevavuzez.Installer";

UniqueBstr toBstr(const std::string& text) {
  const auto wide = ansiToWide(text.c_str());
  return UniqueBstr(::SysAllocString(wide ? wide->c_str() : L""));
}

// Only printed: a character the code page lacks may show as its look-alike or '?'.
std::string printable(const wchar_t* text) {
  const int size = ::WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return std::string();
  std::string narrow(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, text, -1, &narrow[0], size, nullptr, nullptr);
  narrow.resize(static_cast<size_t>(size - 1));
  return narrow;
}

std::string describeFailure(HRESULT hr, const EXCEPINFO& exception) {
  if (exception.bstrDescription != nullptr) return printable(exception.bstrDescription);
  char text[64];
  std::snprintf(text, sizeof(text), "call failed with 0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

class LateBoundInstaller {
 public:
  HRESULT create() {
    CLSID classId;
    HRESULT hr = ::CLSIDFromProgID(kProgId, &classId);
    if (FAILED(hr)) return hr;
    return ::CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, object_.putVoid());
  }

  HRESULT setProperty(const wchar_t* name, const std::string& value, std::string& error) {
    UniqueBstr text = toBstr(value);
    VARIANT argument;
    ::VariantInit(&argument);
    argument.vt = VT_BSTR;
    argument.bstrVal = text.get();
    DISPID putId = DISPID_PROPERTYPUT;
    DISPPARAMS parameters{&argument, &putId, 1, 1};
    return invoke(name, DISPATCH_PROPERTYPUT, parameters, nullptr, error);
  }

  HRESULT call(const wchar_t* name, const std::string& value, VARIANT* result, std::string& error) {
    UniqueBstr text = toBstr(value);
    VARIANT argument;
    ::VariantInit(&argument);
    argument.vt = VT_BSTR;
    argument.bstrVal = text.get();
    DISPPARAMS parameters{&argument, nullptr, 1, 0};
    return invoke(name, DISPATCH_METHOD, parameters, result, error);
  }

 private:
  HRESULT invoke(const wchar_t* name, WORD flags, DISPPARAMS& parameters, VARIANT* result, std::string& error) {
    DISPID member = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = object_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &member);
    if (FAILED(hr)) {
      error = "the control has no member named " + printable(name);
      return hr;
    }
    ScopedExceptionInfo exception;
    hr = object_->Invoke(member, IID_NULL, LOCALE_USER_DEFAULT, flags, &parameters, result, exception.get(), nullptr);
    if (FAILED(hr)) error = describeFailure(hr, exception.value());
    return hr;
  }

  ComPtr<IDispatch> object_;
};

// The control's diagnostic log for this process's call, in a temporary file of its own
// that is printed and removed afterwards.
class CallLog {
 public:
  CallLog() : file_(temporaryName()) {
    if (!file_.path().empty()) ::SetEnvironmentVariableA(kDiagnosticLogVariable, file_.path().c_str());
  }
  ~CallLog() { ::SetEnvironmentVariableA(kDiagnosticLogVariable, nullptr); }
  CallLog(const CallLog&) = delete;
  CallLog& operator=(const CallLog&) = delete;

  void print() const {
    if (file_.path().empty()) {
      std::printf("log: no temporary file could be made for it\n");
      return;
    }
    std::ifstream in(file_.path(), std::ios::binary);
    if (!in) return;
    std::printf("log:\n");
    for (std::string line; std::getline(in, line);) {
      while (!line.empty() && line.back() == '\r') line.pop_back();
      std::printf("  %s\n", line.c_str());
    }
  }

 private:
  static std::string temporaryName() {
    char directory[MAX_PATH + 1] = {};
    char name[MAX_PATH + 1] = {};
    if (::GetTempPathA(sizeof directory, directory) == 0 || ::GetTempFileNameA(directory, "ihl", 0, name) == 0) return "";
    return name;
  }

  ScopedFileRemoval file_;
};

int run(const HostArguments& arguments) {
  LateBoundInstaller installer;
  HRESULT hr = installer.create();
  if (FAILED(hr)) {
    std::fprintf(stderr, "cannot create VARuDevavuzez.Installer (0x%08lX): is the control registered?\n",
                 static_cast<unsigned long>(hr));
    return 3;
  }
  std::string error;
  if (FAILED(installer.setProperty(L"BaseURL", arguments.baseUrl, error)) ||
      FAILED(installer.setProperty(L"AuthPath", arguments.authPath, error)) ||
      (arguments.command == HostCommand::Update &&
       FAILED(installer.setProperty(L"InstallPath", arguments.installPath, error)))) {
    std::fprintf(stderr, "error: %s\n", error.c_str());
    return 2;
  }
  ScopedVariant result;
  const bool update = arguments.command == HostCommand::Update;
  hr = installer.call(update ? L"UpdateComponents" : L"InstallCertificate", arguments.operand,
                      update ? result.get() : nullptr, error);
  if (FAILED(hr)) {
    std::fprintf(stderr, "error: %s\n", error.c_str());
    return 2;
  }
  if (update) {
    ::VariantChangeType(result.get(), result.get(), 0, VT_I4);
    std::printf("result: %ld\n", static_cast<long>(result.get()->lVal));
  } else {
    std::printf("result: done\n");
  }
  return 0;
}

}  // namespace
}  // namespace corvane

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  std::string problem;
  const auto parsed = corvane::parseHostArguments(arguments, problem);
  if (!parsed && problem.empty()) {
    std::fputs(corvane::kHostUsage, stdout);
    return 0;
  }
  if (!parsed) {
    std::fprintf(stderr, "installer-host: %s\n%sRun 'installer-host help' for the details.\n", problem.c_str(),
                 corvane::kHostSynopsis);
    return 64;
  }
  if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 3;
  std::optional<corvane::CallLog> log;
  if (parsed->verbose) log.emplace();
  const int status = corvane::run(*parsed);
  ::CoUninitialize();
  if (log) log->print();
  return status;
}
