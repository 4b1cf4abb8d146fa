#include "shell/class_factory.h"

#include "shell/module_state.h"
#include "shell/com_owners.h"

namespace corvane {

ULONG ClassObjectRefCount::add() noexcept {
  CriticalSectionGuard guard(lock_);
  const LONG count = ::InterlockedIncrement(&count_);
  if (count == 2) lockModule();
  return static_cast<ULONG>(count);
}

ULONG ClassObjectRefCount::remove() noexcept {
  LONG count = 0;
  {
    CriticalSectionGuard guard(lock_);
    count = ::InterlockedDecrement(&count_);
  }
  if (count == 1) unlockModule();
  return static_cast<ULONG>(count);
}

const InterfaceEntry* ClassFactory::interfaceTable() noexcept {
  static const InterfaceEntry table[] = {
      interfaceEntry<ClassFactory, IClassFactory>(IID_IClassFactory),
      {nullptr, nullptr},
  };
  return table;
}

HRESULT ClassFactory::create(InstanceCreator creator, REFIID iid, void** out) noexcept {
  return createInstance(iid, out, creator);
}

HRESULT ClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (outer != nullptr && !IsEqualIID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  return creator_(outer, iid, out);
}

HRESULT ClassFactory::LockServer(BOOL lock) {
  if (lock) {
    lockModule();
  } else {
    unlockModule();
  }
  return S_OK;
}

}  // namespace corvane
