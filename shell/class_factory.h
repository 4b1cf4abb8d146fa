// The class object: creates instances through the creator it was built with.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include "shell/com_base.h"
#include "shell/object_map.h"

namespace corvane {

// Count of an object reachable from any apartment: interlocked changes inside its own
// lock, with one module lock held while callers (beyond the module's own cached
// reference) hold it, that is while the count is 2 or more.
class ClassObjectRefCount {
 public:
  ClassObjectRefCount() noexcept { ::InitializeCriticalSection(&lock_); }
  ~ClassObjectRefCount() { ::DeleteCriticalSection(&lock_); }
  ClassObjectRefCount(const ClassObjectRefCount&) = delete;
  ClassObjectRefCount& operator=(const ClassObjectRefCount&) = delete;
  ULONG add() noexcept;
  ULONG remove() noexcept;

 private:
  CRITICAL_SECTION lock_;
  volatile LONG count_ = 0;
};

class ClassFactory final : public ComObject<ClassFactory, ClassObjectRefCount, IClassFactory> {
 public:
  static const InterfaceEntry* interfaceTable() noexcept;
  // The class-object creator of a map entry.
  static HRESULT create(InstanceCreator creator, REFIID iid, void** out) noexcept;

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

 private:
  friend class ComObject<ClassFactory, ClassObjectRefCount, IClassFactory>;
  explicit ClassFactory(InstanceCreator creator) noexcept : creator_(creator) {}
  ~ClassFactory() = default;

  InstanceCreator creator_;
};

}  // namespace corvane
