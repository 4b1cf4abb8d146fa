// WinINet errors as the diagnostic log names them.
#include <gtest/gtest.h>

#include "transfer/wininet_errors.h"

namespace corvane::testing {
namespace {

TEST(WinInetErrors, CommonOnesAreNamedAndExplained) {
  const struct {
    unsigned long error;
    const char* text;
  } rows[] = {
      {12002, "12002 ERROR_INTERNET_TIMEOUT (the server did not answer within the time-out)"},
      {12007, "12007 ERROR_INTERNET_NAME_NOT_RESOLVED (the server's name could not be resolved)"},
      {12029, "12029 ERROR_INTERNET_CANNOT_CONNECT (connection refused"},
      {12031, "12031 ERROR_INTERNET_CONNECTION_RESET (the server reset the connection)"},
      {12037, "12037 ERROR_INTERNET_SEC_CERT_DATE_INVALID (the server's certificate has expired"},
      {12038, "12038 ERROR_INTERNET_SEC_CERT_CN_INVALID (the server's certificate is for another name"},
      {12045, "12045 ERROR_INTERNET_INVALID_CA (the server's certificate chain ends in a root"},
      {12057, "12057 ERROR_INTERNET_SEC_CERT_REV_FAILED (the revocation check of the server's certificate failed; "
              "Wine also reports a chain that ends in an untrusted root this way)"},
      {12004, "12004 ERROR_INTERNET_INTERNAL_ERROR"},
      {12345, "error 12345"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(0u, winInetErrorText(row.error).find(row.text)) << winInetErrorText(row.error);
  }
  EXPECT_EQ("12004 ERROR_INTERNET_INTERNAL_ERROR", winInetErrorText(12004)) << "no words where the name says enough";
}

}  // namespace
}  // namespace corvane::testing
