#include "support/wine_support.h"

#include <objbase.h>

namespace corvane::testing {

ThreadErrorInfo takeThreadErrorInfo() {
  ThreadErrorInfo result;
  ComPtr<IErrorInfo> info;
  if (::GetErrorInfo(0, info.put()) != S_OK || !info) return result;
  result.present = true;
  UniqueBstr description, source;
  info->GetDescription(description.put());
  info->GetSource(source.put());
  info->GetGUID(&result.guid);
  if (description.present()) result.description = description.get();
  if (source.present()) result.source = source.get();
  return result;
}

std::wstring guidText(REFGUID guid) {
  wchar_t text[64] = {};
  ::StringFromGUID2(guid, text, 64);
  return text;
}

ScopedProgIdRegistration::ScopedProgIdRegistration(REFCLSID classId, const wchar_t* progId)
    : classKey_(L"CLSID\\" + guidText(classId)) {
  UniqueRegistryKey key;
  const std::wstring progIdKey = classKey_ + L"\\ProgID";
  ::RegCreateKeyExW(HKEY_CLASSES_ROOT, progIdKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                    nullptr);
  ::RegSetValueExW(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(progId),
                   static_cast<DWORD>((wcslen(progId) + 1) * sizeof(wchar_t)));
}

ScopedProgIdRegistration::~ScopedProgIdRegistration() {
  ::RegDeleteTreeW(HKEY_CLASSES_ROOT, classKey_.c_str());
}

UniqueBstr makeBstr(const wchar_t* text) { return UniqueBstr(::SysAllocString(text)); }
UniqueBstr makeBstr(const wchar_t* text, UINT length) { return UniqueBstr(::SysAllocStringLen(text, length)); }

}  // namespace corvane::testing
