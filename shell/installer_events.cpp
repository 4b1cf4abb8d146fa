#include "shell/installer_events.h"

#include <olectl.h>

#include "generated/installer_idl.h"
#include "shell/com_base.h"
#include "shell/text.h"

namespace corvane {
namespace {

UniqueBstr bstrOf(const std::string& ansi) {
  const std::optional<std::wstring> wide = ansiToWide(ansi.c_str());
  return UniqueBstr(::SysAllocString(wide ? wide->c_str() : L""));
}

// Arguments go in reverse order, as IDispatch::Invoke takes them; the strings stay owned
// by the caller.
void raise(const std::vector<ComPtr<IDispatch>>& sinks, DISPID event, std::vector<VARIANT>& reversedArguments) {
  DISPPARAMS parameters{reversedArguments.data(), nullptr, static_cast<UINT>(reversedArguments.size()), 0};
  for (const ComPtr<IDispatch>& sink : sinks) {
    ScopedExceptionInfo exception;
    ScopedVariant result;
    UINT argumentError = 0;
    sink->Invoke(event, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, result.get(), exception.get(),
                 &argumentError);
  }
}

VARIANT typed(VARTYPE type) {
  VARIANT value;
  ::VariantInit(&value);
  value.vt = type;
  return value;
}

VARIANT bstrArgument(const UniqueBstr& text) {
  VARIANT value = typed(VT_BSTR);
  value.bstrVal = text.get();
  return value;
}

VARIANT numberArgument(double number) {
  VARIANT value = typed(VT_R8);
  value.dblVal = number;
  return value;
}

VARIANT longArgument(long number) {
  VARIANT value = typed(VT_I4);
  value.lVal = number;
  return value;
}

}  // namespace

HRESULT InstallerEventsPoint::QueryInterface(REFIID iid, void** out) {
  static const InterfaceEntry kFaces[] = {interfaceEntry<InstallerEventsPoint, IConnectionPoint>(IID_IConnectionPoint),
                                          {nullptr, nullptr}};
  return queryInterfaceFromTable(this, kFaces, iid, out);
}

HRESULT InstallerEventsPoint::GetConnectionInterface(IID* iid) {
  if (iid == nullptr) return E_POINTER;
  *iid = DIID__IInstallerEvents;
  return S_OK;
}

HRESULT InstallerEventsPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
  if (out == nullptr) return E_POINTER;
  container_.AddRef();
  *out = &container_;
  return S_OK;
}

HRESULT InstallerEventsPoint::Advise(IUnknown* sink, DWORD* cookie) {
  if (cookie == nullptr) return E_POINTER;
  *cookie = 0;
  if (sink == nullptr) return E_POINTER;
  ComPtr<IDispatch> dispatch;
  // A sink may answer only the event interface's own IID, which is a dispatch interface.
  if (FAILED(sink->QueryInterface(DIID__IInstallerEvents, dispatch.putVoid())) &&
      FAILED(sink->QueryInterface(IID_IDispatch, dispatch.putVoid()))) {
    return CONNECT_E_CANNOTCONNECT;
  }
  try {
    connections_.push_back(Connection{lastCookie_ + 1, std::move(dispatch)});
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  *cookie = ++lastCookie_;
  return S_OK;
}

HRESULT InstallerEventsPoint::Unadvise(DWORD cookie) {
  for (auto connection = connections_.begin(); connection != connections_.end(); ++connection) {
    if (connection->cookie != cookie) continue;
    // The sink is released after it has left the list: its release may call back in.
    ComPtr<IDispatch> leaving = std::move(connection->sink);
    connections_.erase(connection);
    return S_OK;
  }
  return CONNECT_E_NOCONNECTION;
}

HRESULT InstallerEventsPoint::EnumConnections(IEnumConnections** out) {
  if (out != nullptr) *out = nullptr;
  return E_NOTIMPL;
}

std::vector<ComPtr<IDispatch>> InstallerEventsPoint::sinks() const {
  std::vector<ComPtr<IDispatch>> sinks;
  for (const Connection& connection : connections_) sinks.push_back(connection.sink);
  return sinks;
}

std::chrono::milliseconds EventRaiser::progress(const std::string& component, uint64_t received,
                                                std::optional<uint64_t> total) noexcept {
  const auto start = std::chrono::steady_clock::now();
  try {
    if (!point_.advised()) return std::chrono::milliseconds(0);
    const auto sinks = point_.sinks();
    const UniqueBstr name = bstrOf(component);
    std::vector<VARIANT> arguments{numberArgument(total ? static_cast<double>(*total) : -1.0),
                                   numberArgument(static_cast<double>(received)), bstrArgument(name)};
    raise(sinks, kProgressEvent, arguments);
  } catch (...) {
    // Out of memory for the arguments: the event is lost, the job goes on.
  }
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

void EventRaiser::componentDone(const std::string& name, int result, const std::string& detail) noexcept {
  raiseOutcome(kComponentDoneEvent, name, result, detail);
}

void EventRaiser::certificateDone(const std::string& name, int result, const std::string& detail) noexcept {
  raiseOutcome(kCertificateDoneEvent, name, result, detail);
}

void EventRaiser::raiseOutcome(DISPID event, const std::string& name, int result, const std::string& detail) noexcept {
  try {
    if (!point_.advised()) return;
    const auto sinks = point_.sinks();
    const UniqueBstr nameText = bstrOf(name);
    const UniqueBstr detailText = bstrOf(detail);
    std::vector<VARIANT> arguments{bstrArgument(detailText), longArgument(result), bstrArgument(nameText)};
    raise(sinks, event, arguments);
  } catch (...) {
    // As for progress: the event is lost, the job goes on.
  }
}

}  // namespace corvane
