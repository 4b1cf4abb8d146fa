#include "shell/com_base.h"

namespace corvane {

HRESULT queryInterfaceFromTable(void* object, const InterfaceEntry* table, REFIID iid, void** out) noexcept {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  const InterfaceEntry* match = nullptr;
  if (IsEqualIID(iid, IID_IUnknown)) {
    match = table;
  } else {
    for (const InterfaceEntry* entry = table; entry->iid != nullptr; ++entry) {
      if (IsEqualIID(iid, *entry->iid)) {
        match = entry;
        break;
      }
    }
  }
  if (match == nullptr || match->iid == nullptr) return E_NOINTERFACE;
  IUnknown* face = match->face(object);
  face->AddRef();
  *out = face;
  return S_OK;
}

}  // namespace corvane
