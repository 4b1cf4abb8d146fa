// Enumerates an object's connection points (the Installer has none to offer).
#pragma once

#include <windows.h>
#include <ocidl.h>

#include "com_base.h"
#include "module_state.h"
#include "raii.h"

namespace corvane {

class ConnectionPointEnumerator final
    : public ComObject<ConnectionPointEnumerator, ApartmentRefCount, IEnumConnectionPoints> {
 public:
  static const InterfaceEntry* interfaceTable() noexcept;

  // An enumerator over [begin, end) handed out as IEnumConnectionPoints. With `copy` it
  // keeps a private copy of the range (one reference per element); without, it reads
  // the range in place, which `owner` must keep alive.
  static HRESULT create(IConnectionPoint* const* begin, IConnectionPoint* const* end, IUnknown* owner, bool copy,
                        IEnumConnectionPoints** out) noexcept;

  HRESULT STDMETHODCALLTYPE Next(ULONG count, IConnectionPoint** elements, ULONG* fetched) override;
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override;
  HRESULT STDMETHODCALLTYPE Reset() override;
  HRESULT STDMETHODCALLTYPE Clone(IEnumConnectionPoints** out) override;

 private:
  friend class ComObject<ConnectionPointEnumerator, ApartmentRefCount, IEnumConnectionPoints>;
  ConnectionPointEnumerator() noexcept = default;
  ~ConnectionPointEnumerator();
  HRESULT initialise(IConnectionPoint* const* begin, IConnectionPoint* const* end, IUnknown* owner,
                     bool copy) noexcept;

  ModuleLockHolder moduleLock_;
  ComPtr<IUnknown> owner_;
  IConnectionPoint* const* begin_ = nullptr;
  IConnectionPoint* const* end_ = nullptr;
  IConnectionPoint* const* current_ = nullptr;
  bool ownsCopy_ = false;
};

}  // namespace corvane
