#include "tests/driver/publisher_store.h"

#include <windows.h>
#include <wincrypt.h>

namespace corvane::testing {

int publisherCopiesInStore() {
  HCERTSTORE store = ::CertOpenSystemStoreA(0, "TrustedPublisher");
  if (store == nullptr) return -1;
  int copies = 0;
  PCCERT_CONTEXT found = nullptr;
  while ((found = ::CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_A,
                                               "Corvane Test Publisher", found)) != nullptr) {
    ++copies;
  }
  ::CertCloseStore(store, 0);
  return copies;
}

void removePublisherFromStore() {
  ::RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Microsoft\\SystemCertificates\\TrustedPublisher\\Certificates");
}

}  // namespace corvane::testing
