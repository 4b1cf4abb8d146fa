// Enumerates an object's connection points (the Installer has none to offer).
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <memory>

#include "shell/com_base.h"
#include "shell/module_state.h"
#include "shell/com_owners.h"

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

  // A private copy of a range, holding one reference per element.
  class OwnedCopy {
   public:
    OwnedCopy() noexcept = default;
    ~OwnedCopy();
    OwnedCopy(const OwnedCopy&) = delete;
    OwnedCopy& operator=(const OwnedCopy&) = delete;
    HRESULT assign(IConnectionPoint* const* begin, IConnectionPoint* const* end) noexcept;
    IConnectionPoint* const* begin() const noexcept { return elements_.get(); }
    IConnectionPoint* const* end() const noexcept { return elements_.get() + length_; }
    bool held() const noexcept { return static_cast<bool>(elements_); }

   private:
    std::unique_ptr<IConnectionPoint*[]> elements_;
    size_t length_ = 0;
  };

  ModuleLockHolder moduleLock_;
  ComPtr<IUnknown> owner_;
  OwnedCopy copy_;
  IConnectionPoint* const* begin_ = nullptr;
  IConnectionPoint* const* end_ = nullptr;
  IConnectionPoint* const* current_ = nullptr;
};

}  // namespace corvane
