// Windows' own judgement of the package's Authenticode signatures: WinVerifyTrust with the
// generic verify action, in a prefix that trusts the package's test CA. (Wine 8 accepts a
// signature whose root it does not trust, so an unknown CA is checked with osslsigncode
// only, in test_signed_files.py.)
#include <gtest/gtest.h>

#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <ostream>
#include <string>

#include "support/files.h"
#include "tests/package/package_paths.h"

namespace corvane::testing {
namespace {

std::wstring wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

LONG verifyTrust(const std::string& path) {
  const std::wstring file = wide(path);
  WINTRUST_FILE_INFO fileInfo{};
  fileInfo.cbStruct = sizeof fileInfo;
  fileInfo.pcwszFilePath = file.c_str();
  WINTRUST_DATA data{};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &fileInfo;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG result = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  return result;
}

// The test CA in the machine's Root store for the life of the object.
class TrustedTestCa {
 public:
  TrustedTestCa() {
    const std::string pem = fileBytes(testCaFile());
    DWORD size = 0;
    ::CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr, &size,
                           nullptr, nullptr);
    std::string der(size, '\0');
    if (size == 0 || !::CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                                             reinterpret_cast<BYTE*>(&der[0]), &size, nullptr, nullptr)) {
      return;
    }
    store_ = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (store_ == nullptr) return;
    ::CertAddEncodedCertificateToStore(store_, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), size,
                                       CERT_STORE_ADD_REPLACE_EXISTING, &added_);
  }
  ~TrustedTestCa() {
    if (added_ != nullptr) ::CertDeleteCertificateFromStore(added_);  // frees the context too
    if (store_ != nullptr) ::CertCloseStore(store_, 0);
  }
  TrustedTestCa(const TrustedTestCa&) = delete;
  TrustedTestCa& operator=(const TrustedTestCa&) = delete;
  bool trusted() const { return added_ != nullptr; }

 private:
  HCERTSTORE store_ = nullptr;
  PCCERT_CONTEXT added_ = nullptr;
};

struct TrustCase {
  const char* name;
  const char* file;
  bool alter;      // one byte of a copy flipped after signing
  bool trustCa;    // the test CA in the Root store
  LONG expected;
};
void PrintTo(const TrustCase& c, std::ostream* out) { *out << c.name; }

class SignatureTrust : public ::testing::TestWithParam<TrustCase> {};

TEST_P(SignatureTrust, WinVerifyTrustJudgesTheSignature) {
  const TrustCase& c = GetParam();
  ScratchDirectory scratch;
  std::string path = packagedFile(c.file);
  if (c.alter) {
    std::string bytes = fileBytes(path);
    bytes[bytes.size() / 2] ^= 0x01;
    path = scratch.path() + c.file;
    writeWholeFile(path, bytes);
  }
  if (c.trustCa) {
    const TrustedTestCa ca;
    ASSERT_TRUE(ca.trusted());
    EXPECT_EQ(c.expected, verifyTrust(path)) << std::hex << verifyTrust(path);
  } else {
    EXPECT_EQ(c.expected, verifyTrust(path)) << std::hex << verifyTrust(path);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Package, SignatureTrust,
    ::testing::Values(TrustCase{"SignedControlTrustedCa", "VARuDevavuzez.dll", false, true, ERROR_SUCCESS},
                      TrustCase{"SignedHostTrustedCa", "installer-host.exe", false, true, ERROR_SUCCESS},
                      TrustCase{"AlteredControlTrustedCa", "VARuDevavuzez.dll", true, true, TRUST_E_BAD_DIGEST},
                      TrustCase{"AlteredHostTrustedCa", "installer-host.exe", true, true, TRUST_E_BAD_DIGEST}),
    [](const ::testing::TestParamInfo<TrustCase>& info) { return std::string(info.param.name); });

TEST(UnsignedImage, HasNoSignature) {
  EXPECT_EQ(TRUST_E_NOSIGNATURE, verifyTrust(windowsPathOf(SERVER_DLL_FILE)));
}

}  // namespace
}  // namespace corvane::testing
