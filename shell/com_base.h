// The COM plumbing shared by every object of the module: one table-driven
// QueryInterface and one reference-counting base.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <exception>
#include <new>

namespace corvane {

// One row of an object's interface table: an IID and how to reach the face that answers it.
struct InterfaceEntry {
  const IID* iid;
  IUnknown* (*face)(void* object);
};

template <typename Object, typename Face>
IUnknown* faceOf(void* object) {
  return static_cast<Face*>(static_cast<Object*>(object));
}

// Builds a table row: interfaceEntry<Installer, IInstaller>(IID_IInstaller).
template <typename Object, typename Face>
constexpr InterfaceEntry interfaceEntry(const IID& iid) {
  return InterfaceEntry{&iid, &faceOf<Object, Face>};
}

// The table ends with an entry whose IID is null. IUnknown is answered by the first
// entry's face, so every IUnknown request on one object yields the same pointer.
HRESULT queryInterfaceFromTable(void* object, const InterfaceEntry* table, REFIID iid, void** out) noexcept;

// Plain count for objects that live in one apartment.
class ApartmentRefCount {
 public:
  ULONG add() noexcept { return static_cast<ULONG>(++count_); }
  ULONG remove() noexcept { return static_cast<ULONG>(--count_); }

 private:
  LONG count_ = 0;
};

// Base of every COM object: Derived lists its faces as the Faces pack and provides
// `static const InterfaceEntry* interfaceTable()`. The RefCount policy decides how the
// count changes (plain, or interlocked with extra accounting).
template <typename Derived, typename RefCount, typename... Faces>
class ComObject : public Faces... {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return queryInterfaceFromTable(static_cast<Derived*>(this), Derived::interfaceTable(), iid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return refCount_.add(); }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG remaining = refCount_.remove();
    if (remaining == 0) delete static_cast<Derived*>(this);
    return remaining;
  }

  // Creates an object and hands out the requested interface; a failed query destroys
  // the new object again, so nothing is left behind.
  template <typename... Args>
  static HRESULT createInstance(REFIID iid, void** out, Args&&... args) noexcept {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    Derived* object = new (std::nothrow) Derived(static_cast<Args&&>(args)...);
    if (object == nullptr) return E_OUTOFMEMORY;
    object->AddRef();
    const HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
  }

 protected:
  ComObject() = default;
  ~ComObject() = default;
  RefCount& refCount() noexcept { return refCount_; }

 private:
  RefCount refCount_;
};

// Runs a member body and turns any C++ exception into a COM result, so that none
// crosses the interface boundary.
template <typename Body>
HRESULT guardedCall(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace corvane
