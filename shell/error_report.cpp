#include "shell/error_report.h"

#include <oleauto.h>

#include "shell/com_owners.h"
#include "shell/text.h"

namespace corvane {

HRESULT reportError(REFCLSID classId, const char* message, REFIID interfaceId) noexcept {
  try {
    const std::optional<std::wstring> description = ansiToWide(message);
    ComPtr<ICreateErrorInfo> creator;
    if (FAILED(::CreateErrorInfo(creator.put()))) return DISP_E_EXCEPTION;
    creator->SetGUID(interfaceId);
    UniqueTaskMemory<wchar_t> progId;
    if (SUCCEEDED(::ProgIDFromCLSID(classId, progId.put())) && progId.get() != nullptr) {
      creator->SetSource(progId.get());
    }
    creator->SetDescription(const_cast<LPOLESTR>(description ? description->c_str() : L""));
    ComPtr<IErrorInfo> info;
    if (SUCCEEDED(creator.queryInterface(IID_IErrorInfo, info))) ::SetErrorInfo(0, info.get());
  } catch (...) {
    // Out of memory while building the report: the refusal itself still stands.
  }
  return DISP_E_EXCEPTION;
}

}  // namespace corvane
