#include "shell/installer.h"

#include "base/diagnostic_log.h"

#include <olectl.h>

#include <cstdio>

#include "shell/connection_point_enumerator.h"
#include "shell/error_report.h"
#include "shell/manifest_key.h"
#include "shell/page_site.h"
#include "shell/text.h"
#include "shell/type_info_holder.h"
#include "shell/wire_settings.h"
#include "certificates/certificate_installer.h"
#include "shell/server_allowlist.h"
#include "transfer/http_request.h"
#include "update/update_driver.h"

namespace corvane {
namespace {

HRESULT copyOut(const UniqueBstr& stored, BSTR* out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (!stored.present()) return S_OK;
  *out = ::SysAllocString(stored.get());
  return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

// The copy ends at the argument's first null character, as SysAllocString reads it.
HRESULT storeCopy(UniqueBstr& stored, BSTR value) {
  stored.reset();
  if (value == nullptr) return S_OK;
  stored.reset(::SysAllocString(value));
  return stored.present() ? S_OK : E_OUTOFMEMORY;
}

// BaseURL's origin, read as the downloader reads it, against the build's allowed servers:
// empty when it passes, else why not. A URL without one matches no entry, so it passes
// only a build that allows every server (and the wire check refuses it).
std::string serverListProblem(const std::optional<Origin>& origin) {
  return allowListProblem(origin, allowedServerOrigins());
}

// Failures after the checks are not the caller's to see: an unexpected exception ends
// the job like a failed step, and the member still succeeds.
template <typename Job>
HRESULT runJob(Job&& job) noexcept {
  try {
    return job();
  } catch (...) {
    return S_OK;
  }
}

// The log line names the rule that refused, where the message (which pages may compare)
// cannot.
HRESULT refuse(const char* message, const std::string& rule = std::string()) {
  if (rule.empty()) {
    logStep("refused: %s", message);
  } else {
    logStep("refused: %s: %s", message, rule.c_str());
  }
  return reportError(CLSID_Installer, message, IID_IInstaller);
}

// What reaches the wire must have the shape of an http(s) request (the settings go into
// request lines and URLs as they are; checked in every build) to a listed server. Empty
// when it does, else the rule it breaks.
std::string serverSettingsProblem(const std::string& baseUrl, const std::string& authPath) {
  std::string problem = baseUrlProblem(baseUrl);
  if (problem.empty()) problem = authPathProblem(authPath);
  const std::optional<Origin> origin = urlOrigin(baseUrl.c_str());
  if (problem.empty() && !origin) problem = "BaseURL is read as another server by the platform's URL reader";
  if (problem.empty()) problem = serverListProblem(origin);
  return problem;
}

// Why a wide setting has no exact form in the code page: the first character that lacks one.
std::string unconvertibleRule(const char* setting, const wchar_t* value, UINT codePage) {
  const std::optional<size_t> at = firstUnconvertible(value, codePage);
  if (!at) return std::string(setting) + " cannot be written in code page " + std::to_string(codePage);
  char character[16];
  std::snprintf(character, sizeof character, "U+%04X", static_cast<unsigned>(value[*at]));
  return std::string(setting) + " holds " + character + " at position " + std::to_string(*at + 1) +
         ", which code page " + std::to_string(codePage) + " cannot carry exactly";
}

constexpr char kCallInProgress[] = "A call is already in progress";

// For the length of a job: the object holds itself (a sink that releases it during an
// event cannot free it mid-call) and is marked busy (a sink that calls a job again is
// refused). The mark goes before the reference, which may be the last.
class JobScope {
 public:
  JobScope(IUnknown* self, bool& busy) noexcept : self_(ComPtr<IUnknown>::copyOf(self)), busy_(busy) { busy_ = true; }
  ~JobScope() { busy_ = false; }
  JobScope(const JobScope&) = delete;
  JobScope& operator=(const JobScope&) = delete;

 private:
  ComPtr<IUnknown> self_;
  bool& busy_;
};

constexpr DWORD kSupportedSafetyOptions = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;

}  // namespace

const InterfaceEntry* Installer::interfaceTable() noexcept {
  static const InterfaceEntry table[] = {
      interfaceEntry<Installer, IInstaller>(IID_IInstaller),
      interfaceEntry<Installer, IInstaller>(IID_IDispatch),
      interfaceEntry<Installer, ISupportErrorInfo>(IID_ISupportErrorInfo),
      interfaceEntry<Installer, IConnectionPointContainer>(IID_IConnectionPointContainer),
      interfaceEntry<Installer, IObjectWithSite>(IID_IObjectWithSite),
      interfaceEntry<Installer, IObjectSafety>(IID_IObjectSafety),
      interfaceEntry<Installer, IProvideClassInfo2>(IID_IProvideClassInfo),
      interfaceEntry<Installer, IProvideClassInfo2>(IID_IProvideClassInfo2),
      {nullptr, nullptr},
  };
  return table;
}

HRESULT Installer::create(IUnknown* outer, REFIID iid, void** out) noexcept {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  return createInstance(iid, out);
}

// A null count is answered like every sibling's null out-pointer.
HRESULT Installer::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = 1;
  return S_OK;
}

// The index is not examined: there is one type.
HRESULT Installer::GetTypeInfo(UINT, LCID locale, ITypeInfo** info) {
  return installerTypeInfo().typeInfo(locale, info);
}

HRESULT Installer::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) {
  return installerTypeInfo().idsOfNames(names, count, locale, ids);
}

HRESULT Installer::Invoke(DISPID member, REFIID, LCID locale, WORD flags, DISPPARAMS* params, VARIANT* result,
                          EXCEPINFO* exception, UINT* argumentError) {
  return installerTypeInfo().invoke(static_cast<IInstaller*>(this), member, locale, flags, params, result,
                                    exception, argumentError);
}

HRESULT Installer::SetSite(IUnknown* site) {
  site_ = ComPtr<IUnknown>::copyOf(site);
  return S_OK;
}

HRESULT Installer::GetSite(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (!site_) {
    *out = nullptr;
    return E_FAIL;
  }
  return site_->QueryInterface(iid, out);
}

HRESULT Installer::InterfaceSupportsErrorInfo(REFIID iid) {
  return IsEqualIID(iid, IID_IInstaller) ? S_OK : S_FALSE;
}

// One connection point: the events of _IInstallerEvents.
HRESULT Installer::EnumConnectionPoints(IEnumConnectionPoints** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  IConnectionPoint* const points[] = {&events_};
  return ConnectionPointEnumerator::create(points, points + 1, static_cast<IConnectionPointContainer*>(this), true,
                                           out);
}

HRESULT Installer::FindConnectionPoint(REFIID iid, IConnectionPoint** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (!IsEqualIID(iid, DIID__IInstallerEvents)) return CONNECT_E_NOCONNECTION;
  events_.AddRef();
  *out = &events_;
  return S_OK;
}

HRESULT Installer::GetInterfaceSafetyOptions(REFIID iid, DWORD* supported, DWORD* enabled) {
  if (supported == nullptr || enabled == nullptr) return E_POINTER;
  ComPtr<IUnknown> face;
  const HRESULT result = QueryInterface(iid, face.putVoid());
  if (FAILED(result)) {
    *supported = 0;
    *enabled = 0;
    return result;
  }
  *supported = kSupportedSafetyOptions;
  *enabled = safetyOptions_;
  return S_OK;
}

// The enabled argument only clears bits and the mask is OR-ed in: script hosts have
// long seen controls of this kind behave so, and may rely on it.
HRESULT Installer::SetInterfaceSafetyOptions(REFIID iid, DWORD mask, DWORD enabled) {
  ComPtr<IUnknown> face;
  if (FAILED(QueryInterface(iid, face.putVoid()))) return E_NOINTERFACE;
  if ((mask & ~kSupportedSafetyOptions) != 0) return E_FAIL;
  safetyOptions_ = (safetyOptions_ & ~enabled) | mask;
  return S_OK;
}

HRESULT Installer::GetClassInfo(ITypeInfo** out) {
  if (out == nullptr) return E_POINTER;
  return installerClassTypeInfo().typeInfo(0, out);
}

HRESULT Installer::GetGUID(DWORD kind, GUID* out) {
  if (out == nullptr) return E_POINTER;
  if (kind == GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
    *out = DIID__IInstallerEvents;
    return S_OK;
  }
  *out = GUID_NULL;
  return E_FAIL;
}

HRESULT Installer::get_BaseURL(BSTR* pVal) { return copyOut(baseUrl_, pVal); }
HRESULT Installer::put_BaseURL(BSTR value) { return storeCopy(baseUrl_, value); }
HRESULT Installer::get_AuthPath(BSTR* pVal) { return copyOut(authPath_, pVal); }
HRESULT Installer::put_AuthPath(BSTR value) { return storeCopy(authPath_, value); }
HRESULT Installer::get_InstallPath(BSTR* pVal) { return copyOut(installPath_, pVal); }
HRESULT Installer::put_InstallPath(BSTR value) { return storeCopy(installPath_, value); }

bool Installer::pageAllowed() const noexcept {
  if (kAllowedPageOrigins[0] == '\0') return true;  // a build without a page lock asks the site nothing
  try {
    PageEvidence evidence = pageEvidenceOf(site_.get());
    // Read as every other URL: one the platform reads as another origin matches no entry.
    if (evidence.documentUrl && !urlOrigin(evidence.documentUrl->c_str())) evidence.documentUrl = std::string();
    return corvane::pageAllowed(evidence, kAllowedPageOrigins);
  } catch (...) {
    return false;
  }
}

HRESULT Installer::UpdateComponents(BSTR components, int* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = 0;
  if (callInProgress()) return refuse(kCallInProgress);
  const JobScope scope(static_cast<IInstaller*>(this), callInProgress_);
  if (!pageAllowed()) return refuse("Page is not allowed");
  if (!baseUrl_.present()) return refuse("CodebaseURL is not initialized");
  if (!authPath_.present()) return refuse("AuthURL is not initialized");
  if (!installPath_.present()) return refuse("Installation path is not specified");
  return runJob([&]() -> HRESULT {
    // A value the ANSI code page cannot carry exactly is refused as if it were absent;
    // converted with look-alikes it would no longer be the value the checks saw.
    const UINT codePage = ::GetACP();
    UpdateRequest request;
    request.installPath = wideToAnsi(installPath_.get(), codePage);
    request.componentNames = componentNamesToAnsi(components, codePage);
    request.baseUrl = wideToAnsi(baseUrl_.get(), codePage);
    request.authPath = wideToAnsi(authPath_.get(), codePage);
    request.manifestKey = requiredManifestKey();
    EventRaiser events(events_);
    request.events = &events;
    if (!request.baseUrl) return refuse("CodebaseURL is not initialized");
    if (!request.authPath) return refuse("AuthURL is not initialized");
    if (!request.installPath) {
      return refuse("Installation path is not allowed", unconvertibleRule("InstallPath", installPath_.get(), codePage));
    }
    const std::string serverProblem = serverSettingsProblem(*request.baseUrl, *request.authPath);
    if (!serverProblem.empty()) return refuse("Server is not allowed", serverProblem);
    // The wire check has refused user names and passwords, so nothing secret is written.
    logStep("UpdateComponents(\"%s\"): BaseURL %s, AuthPath %s, InstallPath %s",
            request.componentNames ? request.componentNames->c_str() : "", request.baseUrl->c_str(),
            request.authPath->c_str(), request.installPath->c_str());
    const UpdateOutcome outcome = runUpdate(request);
    if (outcome.status == UpdateStatus::ProgramFilesUnknown) return refuse("Cannot expand installation path");
    if (outcome.status == UpdateStatus::InstallPathNotAllowed) {
      return refuse("Installation path is not allowed", outcome.refusalRule);
    }
    *pVal = outcome.choseComponents ? 1 : 0;
    logStep("UpdateComponents returns %d", *pVal);
    return S_OK;
  });
}

HRESULT Installer::InstallCertificate(BSTR cerFileName) {
  if (callInProgress()) return refuse(kCallInProgress);
  const JobScope scope(static_cast<IInstaller*>(this), callInProgress_);
  if (!pageAllowed()) return refuse("Page is not allowed");
  if (!baseUrl_.present()) return refuse("BaseURL is not initialized");
  if (!authPath_.present()) return refuse("AuthURL is not initialized");
  // The message speaks of the installation path although the file name is what is missing.
  if (cerFileName == nullptr) return refuse("Installation path is not specified");
  return runJob([&]() -> HRESULT {
    const UINT codePage = ::GetACP();
    CertificateRequest request;
    request.fileName = wideToAnsi(cerFileName, codePage);
    request.baseUrl = wideToAnsi(baseUrl_.get(), codePage);
    request.authPath = wideToAnsi(authPath_.get(), codePage);
    request.manifestKey = requiredManifestKey();
    EventRaiser events(events_);
    request.events = &events;
    if (!request.baseUrl) return refuse("BaseURL is not initialized");
    if (!request.authPath) return refuse("AuthURL is not initialized");
    if (!request.fileName) return refuse("Installation path is not specified");
    const std::string serverProblem = serverSettingsProblem(*request.baseUrl, *request.authPath);
    if (!serverProblem.empty()) return refuse("Server is not allowed", serverProblem);
    logStep("InstallCertificate(\"%s\"): BaseURL %s, AuthPath %s", request.fileName->c_str(),
            request.baseUrl->c_str(), request.authPath->c_str());
    runCertificateInstall(request);
    return S_OK;
  });
}

}  // namespace corvane
