// Command-line host for the registered Installer control: drives it through COM by its
// ProgID and late binding, as an application would.
#include <windows.h>
#include <oleauto.h>
#include <ocidl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "base/diagnostic_log.h"
#include "base/file_removal.h"
#include "shell/com_base.h"
#include "shell/com_owners.h"
#include "shell/text.h"
#include "tools/installer-host/host_arguments.h"
#include "tools/installer-host/host_report.h"

namespace corvane {
namespace {

const wchar_t kProgId[] = L"VARuDevavuzez.Installer";
// The control's event interface, as its type library declares it.
const IID kInstallerEventsId = {0xB4E19D62, 0x0C7A, 0x4F53, {0x9E, 0x28, 0x61, 0xD3, 0xA7, 0xC5, 0xF0, 0x8B}};
enum : DISPID { kProgressEvent = 1, kComponentDoneEvent = 2, kCertificateDoneEvent = 3 };

UniqueBstr toBstr(const std::string& text) {
  const auto wide = ansiToWide(text.c_str());
  return UniqueBstr(::SysAllocString(wide ? wide->c_str() : L""));
}

std::string narrowed(const wchar_t* text, UINT codePage) {
  const int size = ::WideCharToMultiByte(codePage, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return std::string();
  std::string narrow(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(codePage, 0, text, -1, &narrow[0], size, nullptr, nullptr);
  narrow.resize(static_cast<size_t>(size - 1));
  return narrow;
}

// Only printed: a character the code page lacks may show as its look-alike or '?'.
std::string printable(const wchar_t* text) { return narrowed(text, CP_ACP); }
// JSON is UTF-8 whatever the code page.
std::string utf8(const wchar_t* text) { return narrowed(text, CP_UTF8); }

// The control's events: outcomes kept for the exit status (and printed as they come,
// for people), progress drawn on one terminal line per download.
class OutcomeSink final : public IDispatch {
 public:
  OutcomeSink(bool json, bool terminal) : json_(json), terminal_(terminal && !json) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    static const InterfaceEntry kFaces[] = {interfaceEntry<OutcomeSink, IDispatch>(IID_IDispatch),
                                            interfaceEntry<OutcomeSink, IDispatch>(kInstallerEventsId),
                                            {nullptr, nullptr}};
    return queryInterfaceFromTable(this, kFaces, iid, out);
  }
  // Lives on the stack of run() for longer than the control holds it.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count) *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID event, REFIID, LCID, WORD, DISPPARAMS* parameters, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    if (parameters == nullptr || parameters->cArgs != 3) return DISP_E_BADPARAMCOUNT;
    const VARIANT* arguments = parameters->rgvarg;  // last argument first
    if (arguments[2].vt != VT_BSTR) return DISP_E_TYPEMISMATCH;
    if (event == kProgressEvent) {
      drawProgress(text(arguments[2].bstrVal), number(arguments[1]), number(arguments[0]));
    } else if (event == kComponentDoneEvent || event == kCertificateDoneEvent) {
      if (arguments[0].vt != VT_BSTR) return DISP_E_TYPEMISMATCH;
      HostOutcome outcome{text(arguments[2].bstrVal), static_cast<long>(number(arguments[1])),
                          text(arguments[0].bstrVal)};
      endProgressLine();
      if (!json_) std::printf("%s\n", outcomeLine(event == kComponentDoneEvent ? "component" : "certificate", outcome).c_str());
      outcomes.push_back(std::move(outcome));
    }
    return S_OK;
  }

  // Connects to the control's events; false when it offers none.
  bool advise(IDispatch* control) {
    ComPtr<IConnectionPointContainer> container;
    if (FAILED(control->QueryInterface(IID_IConnectionPointContainer, container.putVoid()))) return false;
    if (FAILED(container->FindConnectionPoint(kInstallerEventsId, point_.put()))) return false;
    return SUCCEEDED(point_->Advise(static_cast<IDispatch*>(this), &cookie_));
  }
  void unadvise() {
    if (point_ && cookie_ != 0) point_->Unadvise(cookie_);
    point_.reset();
    endProgressLine();
  }

  std::vector<HostOutcome> outcomes;

 private:
  std::string text(const wchar_t* value) const { return value == nullptr ? "" : json_ ? utf8(value) : printable(value); }
  static double number(const VARIANT& value) {
    VARIANT converted;
    ::VariantInit(&converted);
    if (FAILED(::VariantChangeType(&converted, const_cast<VARIANT*>(&value), 0, VT_R8))) return 0;
    return converted.dblVal;
  }
  void drawProgress(const std::string& name, double received, double total) {
    if (!terminal_) return;
    if (name != drawing_) {
      endProgressLine();
      drawing_ = name;
      started_ = ::GetTickCount64();
    }
    const double seconds = static_cast<double>(::GetTickCount64() - started_) / 1000;
    std::printf("\r%-70.70s", progressLine(name, received, total, seconds).c_str());
    std::fflush(stdout);
  }
  void endProgressLine() {
    if (drawing_.empty()) return;
    std::printf("\n");
    drawing_.clear();
  }

  bool json_;
  bool terminal_;
  ComPtr<IConnectionPoint> point_;
  DWORD cookie_ = 0;
  std::string drawing_;
  ULONGLONG started_ = 0;
};

std::string describeFailure(HRESULT hr, const EXCEPINFO& exception) {
  if (exception.bstrDescription != nullptr) return printable(exception.bstrDescription);
  char text[64];
  std::snprintf(text, sizeof(text), "call failed with 0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

class LateBoundInstaller {
 public:
  IDispatch* get() const { return object_.get(); }

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

void printJson(const HostArguments& arguments, const std::string& resultOrError, bool refused,
               const std::vector<HostOutcome>& outcomes) {
  const bool update = arguments.command == HostCommand::Update;
  std::string json = "{\"command\":" + jsonString(update ? "update" : "certificate") + ",";
  json += refused ? "\"error\":" + jsonString(resultOrError) : "\"result\":" + resultOrError;
  if (!refused && update) {
    json += ",\"components\":[";
    for (size_t i = 0; i < outcomes.size(); ++i) json += (i ? "," : "") + outcomeJson(outcomes[i], false);
    json += "]";
  } else if (!refused) {
    json += ",\"certificate\":" + (outcomes.empty() ? std::string("null") : outcomeJson(outcomes.front(), true));
  }
  std::printf("%s}\n", json.c_str());
}

int refused(const HostArguments& arguments, const std::string& error) {
  if (arguments.json) {
    printJson(arguments, error, true, {});
  } else {
    std::fprintf(stderr, "error: %s\n", error.c_str());
  }
  return 2;
}

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
    return refused(arguments, error);
  }
  OutcomeSink sink(arguments.json, _isatty(_fileno(stdout)) != 0);
  if (!sink.advise(installer.get())) {
    std::fprintf(stderr, "warning: the control offers no events; no outcome can be told\n");
  }
  ScopedVariant result;
  const bool update = arguments.command == HostCommand::Update;
  hr = installer.call(update ? L"UpdateComponents" : L"InstallCertificate", arguments.operand,
                      update ? result.get() : nullptr, error);
  sink.unadvise();
  if (FAILED(hr)) return refused(arguments, error);
  std::string resultText = "\"done\"";
  if (update) {
    ::VariantChangeType(result.get(), result.get(), 0, VT_I4);
    resultText = std::to_string(static_cast<long>(result.get()->lVal));
  }
  if (arguments.json) {
    printJson(arguments, resultText, false, sink.outcomes);
  } else {
    std::printf("result: %s\n", update ? resultText.c_str() : "done");
  }
  if (!update) return !sink.outcomes.empty() && sink.outcomes.front().result == kOutcomeDone ? 0 : 1;
  // The names as the outcomes spell them: UTF-8 for JSON, the code page's otherwise.
  const auto wideNames = ansiToWide(arguments.operand.c_str());
  const std::string names = arguments.json && wideNames ? utf8(wideNames->c_str()) : arguments.operand;
  return allInPlace(namedComponents(names), sink.outcomes) ? 0 : 1;
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
