#include "shell/connection_point_enumerator.h"

#include <new>

namespace corvane {

const InterfaceEntry* ConnectionPointEnumerator::interfaceTable() noexcept {
  static const InterfaceEntry table[] = {
      interfaceEntry<ConnectionPointEnumerator, IEnumConnectionPoints>(IID_IEnumConnectionPoints),
      {nullptr, nullptr},
  };
  return table;
}

ConnectionPointEnumerator::OwnedCopy::~OwnedCopy() {
  for (IConnectionPoint* const* element = begin(); element != end(); ++element) {
    if (*element) (*element)->Release();
  }
}

HRESULT ConnectionPointEnumerator::OwnedCopy::assign(IConnectionPoint* const* begin,
                                                     IConnectionPoint* const* end) noexcept {
  const size_t length = static_cast<size_t>(end - begin);
  // Room for at least one element, so that an empty copy is told apart from no copy.
  elements_.reset(new (std::nothrow) IConnectionPoint*[length == 0 ? 1 : length]);
  if (!elements_) return E_OUTOFMEMORY;
  for (size_t index = 0; index < length; ++index) {
    elements_[index] = begin[index];
    if (elements_[index]) elements_[index]->AddRef();
  }
  length_ = length;
  return S_OK;
}

ConnectionPointEnumerator::~ConnectionPointEnumerator() = default;

HRESULT ConnectionPointEnumerator::initialise(IConnectionPoint* const* begin, IConnectionPoint* const* end,
                                              IUnknown* owner, bool copy) noexcept {
  if (copy) {
    const HRESULT copied = copy_.assign(begin, end);
    if (FAILED(copied)) return copied;
    begin = copy_.begin();
    end = copy_.end();
  }
  begin_ = begin;
  end_ = end;
  owner_ = ComPtr<IUnknown>::copyOf(owner);
  current_ = begin_;
  return S_OK;
}

HRESULT ConnectionPointEnumerator::create(IConnectionPoint* const* begin, IConnectionPoint* const* end,
                                          IUnknown* owner, bool copy, IEnumConnectionPoints** out) noexcept {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  // Held for the call: a failed initialisation or query destroys the new enumerator.
  const auto enumerator = ComPtr<ConnectionPointEnumerator>::copyOf(new (std::nothrow) ConnectionPointEnumerator());
  if (!enumerator) return E_OUTOFMEMORY;
  const HRESULT result = enumerator->initialise(begin, end, owner, copy);
  if (FAILED(result)) return result;
  return enumerator->QueryInterface(IID_IEnumConnectionPoints, reinterpret_cast<void**>(out));
}

HRESULT ConnectionPointEnumerator::Next(ULONG count, IConnectionPoint** elements, ULONG* fetched) {
  if (elements == nullptr || (fetched == nullptr && count != 1)) return E_POINTER;
  const ULONG remaining = static_cast<ULONG>(end_ - current_);
  const ULONG handed = count < remaining ? count : remaining;
  for (ULONG index = 0; index < handed; ++index) {
    elements[index] = *current_++;
    if (elements[index]) elements[index]->AddRef();
  }
  if (fetched) *fetched = handed;
  return handed < count ? S_FALSE : S_OK;
}

HRESULT ConnectionPointEnumerator::Skip(ULONG count) {
  const ULONG remaining = static_cast<ULONG>(end_ - current_);
  if (count < remaining) {
    current_ += count;
    return S_OK;
  }
  current_ = end_;
  return S_FALSE;
}

HRESULT ConnectionPointEnumerator::Reset() {
  current_ = begin_;
  return S_OK;
}

HRESULT ConnectionPointEnumerator::Clone(IEnumConnectionPoints** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  // A clone shares the array: whoever keeps the array alive must own the clone.
  IUnknown* owner = copy_.held() ? static_cast<IUnknown*>(static_cast<IEnumConnectionPoints*>(this)) : owner_.get();
  ComPtr<IEnumConnectionPoints> clone;
  const HRESULT result = create(begin_, end_, owner, false, clone.put());
  if (FAILED(result)) return result;
  static_cast<ConnectionPointEnumerator*>(clone.get())->current_ = begin_ + (current_ - begin_);
  *out = clone.detach();
  return S_OK;
}

}  // namespace corvane
