// Both jobs in a build that requires a signed manifest: manifests made by the publishing
// tool on the reference server (Ed25519 through OpenSSL), verified by the control's
// Crypto++. One installation is brought from the first edition of a component to the
// second; every way the manifest can fail leaves it as it was.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "base/unique_resource.h"

#include "certificates/certificate_installer.h"
#include "support/server_client.h"
#include "tests/driver/driver_fixture.h"
#include "tests/driver/publisher_store.h"
#include "trust/signed_manifest.h"
#include "update/update_driver.h"

namespace corvane::testing {
namespace {

constexpr char kFirstEdition[] = "component data, first edition\n";
constexpr char kSecondEdition[] = "component data, second edition\n";
// The first catalog installs data.txt and other.txt; the second updates data.txt and
// retires other.txt, so an accepted catalog both installs and deletes.
constexpr char kFirstCatalog[] =
    "data,data.cab,data.txt,2.0.0.0,2,0\n"
    "other,data.cab,other.txt,1.0.0.0,2,0\n";
constexpr char kSecondCatalog[] = "data,data2.cab,data.txt,3.0.0.0,2,0\n";
constexpr char kStoreKey[] = "Software\\Corvane\\Installer\\AcceptedManifests";

std::string relativeUrlOf(const ServedDirectory& directory) {
  return directory.url.substr(componentServerUrl().size());
}

// The publishing tool, run by the reference server over one of its folders with one of
// the run's signing keys ("test", which the jobs trust, or "other").
void signFolder(const ServedDirectory& directory, const std::string& form) {
  httpPost(componentServerUrl() + "_sign/" + relativeUrlOf(directory), form);
}

ManifestPublicKey signingKey(const std::string& name) {
  std::string hex = httpGet(componentServerUrl() + "_signing-key/" + name);
  while (!hex.empty() && (hex.back() == '\n' || hex.back() == '\r')) hex.pop_back();
  return manifestKeyFromHex(hex).value();
}

std::string urlEncoded(const std::string& text) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string encoded;
  for (const unsigned char c : text) {
    if (isalnum(c) || c == '.' || c == '-' || c == '_') {
      encoded += static_cast<char>(c);
    } else {
      encoded += '%';
      encoded += kDigits[c >> 4];
      encoded += kDigits[c & 15];
    }
  }
  return encoded;
}

class SignedManifestJob : public ::testing::Test, public JobTest {
 public:
  SignedManifestJob() : JobTest(::testing::UnitTest::GetInstance()->current_test_info()->name()) {}

  void SetUp() override {
    ::RegDeleteTreeA(HKEY_CURRENT_USER, kStoreKey);
    removePublisherFromStore();
    for (const char* artefact : {"data.cab", "data2.cab", "publisher.cer"}) publish(artefact);
    key = signingKey("test");
  }
  void TearDown() override {
    ::RegDeleteTreeA(HKEY_CURRENT_USER, kStoreKey);
    removePublisherFromStore();
  }

  UpdateOutcome update(const std::string& names, const std::optional<ManifestPublicKey>& manifestKey,
                       const std::string& folder) {
    return runUpdate(UpdateRequest{folder, names, served.url, authPath, manifestKey});
  }
  void installFirstEdition() {
    publishCatalog(kFirstCatalog);
    update("data,other", std::nullopt, installPath);
    ASSERT_EQ(kFirstEdition, readFile(installPath + "data.txt"));
    ASSERT_TRUE(fileExists(installPath + "other.txt"));
  }
  void tamper(const std::string& name) const {
    std::string bytes = readFile(served.windowsPath + name);
    bytes[bytes.size() / 2] ^= 0x20;
    served.writeFile(name, bytes);
  }
  void remove(const std::string& name) const { ::DeleteFileA((served.windowsPath + name).c_str()); }
  // Puts a value in the accepted-serial store, under the trusted key's name, as another
  // program might.
  void storeAcceptedSerial(DWORD type, const std::string& bytes) const {
    HKEY store = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExA(HKEY_CURRENT_USER, kStoreKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                               &store, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, ::RegSetValueExA(store, keyFingerprint(key).c_str(), 0, type,
                                              reinterpret_cast<const BYTE*>(bytes.data()),
                                              static_cast<DWORD>(bytes.size())));
    ::RegCloseKey(store);
  }

  ManifestPublicKey key{};
};

TEST_F(SignedManifestJob, OnlyAnAcceptedManifestLetsTheCatalogAndItsPackagesAct) {
  using Arrange = std::function<void(SignedManifestJob&)>;
  struct Case {
    const char* name;
    Arrange arrange;
    bool catalogAccepted;  // other.txt retired
    bool packageInstalled;  // data.txt at its second edition
    bool keyRequired = true;
  };
  const Case cases[] = {
      {"valid manifest", [](SignedManifestJob& job) { signFolder(job.served, "key=test"); }, true, true},
      {"signed by another key", [](SignedManifestJob& job) { signFolder(job.served, "key=other"); }, false, false},
      {"manifest altered", [](SignedManifestJob& job) {
         signFolder(job.served, "key=test");
         job.tamper("cvprobecl.manifest");
       }, false, false},
      {"catalog altered", [](SignedManifestJob& job) {
         signFolder(job.served, "key=test");
         job.publishCatalog(std::string(kSecondCatalog) + "other,data.cab,other.txt,1.0.0.0,2,0\n");
       }, false, false},
      {"signature missing", [](SignedManifestJob& job) {
         signFolder(job.served, "key=test");
         job.remove("cvprobecl.manifest.sig");
       }, false, false},
      {"manifest missing", [](SignedManifestJob&) {}, false, false},
      {"expired", [](SignedManifestJob& job) { signFolder(job.served, "key=test&expires=2020-01-01T00:00:00Z"); },
       false, false},
      {"serial lower than one accepted in another folder", [](SignedManifestJob& job) {
         signFolder(job.served, "key=test&serial=1000");
         job.update("", job.key, job.installPath + "elsewhere\\");
         job.remove("cvprobecl.manifest");
         signFolder(job.served, "key=test&serial=999");
       }, false, false},
      // A stored serial that cannot be read is no "nothing accepted yet": rollback
      // protection must not reset itself.
      {"accepted serial stored as text", [](SignedManifestJob& job) {
         signFolder(job.served, "key=test");
         job.storeAcceptedSerial(REG_SZ, std::string("1\0", 2));
       }, false, false},
      {"accepted serial stored short", [](SignedManifestJob& job) {
         signFolder(job.served, "key=test");
         job.storeAcceptedSerial(REG_QWORD, std::string("\x01\0\0\0", 4));
       }, false, false},
      {"package altered", [](SignedManifestJob& job) {
         signFolder(job.served, "key=test");
         job.tamper("data2.cab");
       }, true, false},
      {"package not in the manifest", [](SignedManifestJob& job) {
         // Signed as the server was asked to sign it: the catalog vouched for, no package line.
         const std::string catalog = kSecondCatalog;
         const std::string text = "corvane-manifest 1\nserial 5\nexpires 2099-01-01T00:00:00Z\ncatalog " +
                                  std::to_string(catalog.size()) + " " + digestHex(sha256Of(catalog)) + "\n";
         signFolder(job.served, "key=test&text=" + urlEncoded(text));
       }, true, false},
      {"build without the option: a foreign manifest is ignored", [](SignedManifestJob& job) {
         signFolder(job.served, "key=other");
         job.tamper("cvprobecl.manifest");
       }, true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ::RegDeleteTreeA(HKEY_CURRENT_USER, kStoreKey);
    for (const char* name : {"data.txt", "other.txt", "components.txt"}) ::DeleteFileA((installPath + name).c_str());
    for (const char* name : {"cvprobecl.manifest", "cvprobecl.manifest.sig"}) remove(name);
    publish("data2.cab");
    installFirstEdition();
    const std::string listBefore = readFile(listPath);
    const std::vector<std::string> temporaryBefore = temporaryFileNames();
    publishCatalog(kSecondCatalog);
    c.arrange(*this);

    update("data", c.keyRequired ? std::optional<ManifestPublicKey>(key) : std::nullopt, installPath);

    EXPECT_EQ(c.packageInstalled ? kSecondEdition : kFirstEdition, readFile(installPath + "data.txt"));
    EXPECT_EQ(!c.catalogAccepted, fileExists(installPath + "other.txt"));
    const std::string list = readFile(listPath);
    EXPECT_EQ(c.packageInstalled, list.find("3.0.0.0") != std::string::npos) << list;
    if (!c.catalogAccepted) {
      EXPECT_EQ(listBefore, list);
    }
    EXPECT_EQ(temporaryBefore, temporaryFileNames()) << "a refused package must not stay behind";
  }
}

// Another process accepts a newer manifest while this call holds an older one: the serial
// is read and compared under the store's lock, so the overtaken manifest is refused.
TEST_F(SignedManifestJob, AManifestOvertakenWhileItWaitsForTheStoreIsRefused) {
  publish("data2.cab");
  installFirstEdition();
  const std::string listBefore = readFile(listPath);
  publishCatalog(kSecondCatalog);
  signFolder(served, "key=test&serial=10");
  const UniqueHandle lock(::CreateMutexA(nullptr, TRUE, "Local\\Corvane.Installer.AcceptedManifests"));
  ASSERT_TRUE(lock.valid());
  std::thread call([&] { update("data", key, installPath); });
  ::Sleep(3000);  // time for the call to fetch the manifest and reach the store
  // What another process's acceptance of serial 20 leaves in the store.
  UniqueRegistryKey store;
  ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExA(HKEY_CURRENT_USER, kStoreKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                             store.put(), nullptr));
  const uint64_t newer = 20;
  ::RegSetValueExA(store.get(), keyFingerprint(key).c_str(), 0, REG_QWORD, reinterpret_cast<const BYTE*>(&newer),
                   sizeof newer);
  ::ReleaseMutex(lock.get());
  call.join();
  EXPECT_EQ(kFirstEdition, readFile(installPath + "data.txt"));
  EXPECT_TRUE(fileExists(installPath + "other.txt")) << "the overtaken catalog retired a component";
  EXPECT_EQ(listBefore, readFile(listPath));
}

TEST_F(SignedManifestJob, CertificateIsAddedOnlyAsListed) {
  struct Case {
    const char* name;
    std::function<void(SignedManifestJob&)> arrange;
    int copies;
  };
  const Case cases[] = {
      {"listed", [](SignedManifestJob& job) { signFolder(job.served, "key=test&certificate=publisher.cer"); }, 1},
      {"not listed", [](SignedManifestJob& job) { signFolder(job.served, "key=test"); }, 0},
      {"altered after signing", [](SignedManifestJob& job) {
         signFolder(job.served, "key=test&certificate=publisher.cer");
         job.served.writeFile("publisher.cer", readFile(builtArtefact("publisher.cer")) + "x");
       }, 0},
      {"listed by another key", [](SignedManifestJob& job) {
         signFolder(job.served, "key=other&certificate=publisher.cer");
       }, 0},
  };
  publishCatalog(kSecondCatalog);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    removePublisherFromStore();
    ::RegDeleteTreeA(HKEY_CURRENT_USER, kStoreKey);
    publish("publisher.cer");
    c.arrange(*this);
    runCertificateInstall(CertificateRequest{std::string("publisher.cer"), served.url, authPath, key});
    EXPECT_EQ(c.copies, publisherCopiesInStore());
  }
}

}  // namespace
}  // namespace corvane::testing
