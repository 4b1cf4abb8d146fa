// InstallCertificate's job end to end: the reference server, OpenSSL-made certificates
// and Wine's CryptoAPI store of the current user.
#include <windows.h>

#include <gtest/gtest.h>

#include "certificates/certificate_installer.h"
#include "tests/driver/driver_fixture.h"
#include "tests/driver/publisher_store.h"

namespace corvane::testing {
namespace {

class CertificateJob : public ::testing::Test, public testing::JobTest {
 protected:
  CertificateJob() : JobTest(::testing::UnitTest::GetInstance()->current_test_info()->name()) {}
  void SetUp() override {
    removePublisherFromStore();
    ASSERT_EQ(0, publisherCopiesInStore());
    publish("publisher.cer");
    publish("publisher.pem");
    served.writeFile("empty.cer", "");
    temporaryBefore = temporaryFileNames();
  }
  void TearDown() override {
    EXPECT_EQ(temporaryBefore, temporaryFileNames()) << "the downloaded file must not stay behind";
    removePublisherFromStore();
  }
  void install(const std::string& file, const std::string& auth = "/auth") {
    runCertificateInstall(CertificateRequest{file, served.url, auth, std::nullopt});
  }
  std::vector<std::string> temporaryBefore;
};

TEST_F(CertificateJob, DerCertificateLandsInTrustedPublishers) {
  install("publisher.cer");
  EXPECT_EQ(1, publisherCopiesInStore());
}

TEST_F(CertificateJob, CertificateAlreadyPresentStaysSingle) {
  install("publisher.cer");
  install("publisher.cer");
  EXPECT_EQ(1, publisherCopiesInStore());
}

TEST_F(CertificateJob, TextEmptyOrMissingFilesAddNothing) {
  install("publisher.pem");
  install("empty.cer");
  install("missing.cer");
  EXPECT_EQ(0, publisherCopiesInStore());
}

TEST_F(CertificateJob, UnauthenticatedServerAddsNothing) {
  for (const char* fault : {"wrong-key", "sha256", "empty-signature", "auth-error"}) {
    SCOPED_TRACE(fault);
    install("publisher.cer", std::string("/_fault/") + fault + "/auth");
    EXPECT_EQ(0, publisherCopiesInStore());
  }
}

// long-length sends the whole certificate but announces more: the download fails though
// the file holds every byte of the certificate, and a failed download is never trusted.
TEST_F(CertificateJob, FailedDownloadAddsNothingEvenWithTheWholeCertificate) {
  const std::string directory = served.url.substr(testing::componentServerUrl().size());
  for (const char* fault : {"short-body", "drop-mid-body", "long-length"}) {
    SCOPED_TRACE(fault);
    install("../_fault/" + std::string(fault) + "/" + directory + "publisher.cer");
    EXPECT_EQ(0, publisherCopiesInStore());
  }
}

// The certificate followed by padding, past the certificate limit: with or without an
// announced length, the body is not taken.
TEST_F(CertificateJob, LargeCertificateFilesAreNotFetched) {
  served.writeFile("large.cer", testing::readFile(testing::builtArtefact("publisher.cer")) +
                                    std::string(70 * 1024, '\0'));
  const std::string directory = served.url.substr(testing::componentServerUrl().size());
  install("large.cer");
  install("../_fault/no-content-length/" + directory + "large.cer");
  EXPECT_EQ(0, publisherCopiesInStore());
}

}  // namespace
}  // namespace corvane::testing
