// CryptoAPI certificate stores.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "base/unique_resource.h"

namespace corvane {

// Forced: whatever contexts are still open, the store is closed when its owner goes.
inline void closeCertificateStoreForced(HCERTSTORE store) noexcept {
  ::CertCloseStore(store, CERT_CLOSE_STORE_FORCE_FLAG);
}
using UniqueCertificateStore = UniqueResource<NullIsNoneTraits<HCERTSTORE, closeCertificateStoreForced>>;

}  // namespace corvane
