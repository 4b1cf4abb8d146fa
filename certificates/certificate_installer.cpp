#include "certificates/certificate_installer.h"

#include <windows.h>
#include <wincrypt.h>

#include <vector>

#include "transfer/downloader.h"
#include "base/diagnostic_log.h"
#include "base/file_removal.h"
#include "base/unique_resource.h"
#include "certificates/certificate_store.h"
#include "transfer/manifest_fetch.h"

namespace corvane {
namespace {

// Far above any real certificate, and small enough that a hostile "certificate" is
// neither fetched nor held in memory.
constexpr uint64_t kMaxCertificateBytes = 64 * 1024;

// The whole file in one read, as the store wants one encoded blob.
std::optional<std::vector<BYTE>> readWholeFile(const std::string& path) {
  UniqueHandle file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::nullopt;
  const DWORD size = ::GetFileSize(file.get(), nullptr);
  if (size == INVALID_FILE_SIZE) return std::nullopt;
  std::vector<BYTE> bytes(size);
  DWORD read = 0;
  if (!::ReadFile(file.get(), bytes.data(), size, &read, nullptr)) return std::nullopt;
  bytes.resize(read);
  return bytes;
}

// The outcome of the call, told to the caller's events once, however the job ends.
class CertificateOutcome {
 public:
  CertificateOutcome(JobEvents* events, std::string name) : events_(events), name_(std::move(name)) {}
  ~CertificateOutcome() {
    if (events_) events_->certificateDone(name_, code_, detail_);
  }
  CertificateOutcome(const CertificateOutcome&) = delete;
  CertificateOutcome& operator=(const CertificateOutcome&) = delete;
  void set(int code, std::string detail) {
    code_ = code;
    detail_ = std::move(detail);
  }
  void set(JobOutcome outcome, std::string detail) { set(outcomeCode(outcome), std::move(detail)); }

 private:
  JobEvents* events_;
  std::string name_;
  int code_ = outcomeCode(JobOutcome::NotTried);
  std::string detail_ = "the call ended before the certificate was added";
};

void addToTrustedPublishers(const std::vector<BYTE>& encoded, CertificateOutcome& outcome) {
  UniqueCertificateStore store(::CertOpenSystemStoreA(0, "TrustedPublisher"));
  if (!store) {
    logStep("certificate not added: the TrustedPublisher store cannot be opened (error %lu)", ::GetLastError());
    outcome.set(JobOutcome::NotAdded, "the TrustedPublisher store cannot be opened");
    return;
  }
  // An equal certificate already in the store stays as it is.
  if (::CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, encoded.data(),
                                         static_cast<DWORD>(encoded.size()), CERT_STORE_ADD_USE_EXISTING, nullptr)) {
    logStep("certificate added to TrustedPublisher (%lu bytes)", static_cast<unsigned long>(encoded.size()));
    outcome.set(JobOutcome::Done, "added to the user's TrustedPublisher store");
  } else {
    logStep("certificate not added: the store refused the file (error 0x%08lX: not a certificate?)",
            ::GetLastError());
    outcome.set(JobOutcome::NotAdded, "the store refused the file: not a certificate?");
  }
}

// A certificate in the trusted publishers is the most this control can install: in a
// build that requires a signed manifest, it is fetched only when the manifest lists it.
bool certificateVouchedFor(const CertificateRequest& request, std::optional<Manifest>& manifest,
                           const ExpectedContent*& expected, CertificateOutcome& outcome) {
  expected = nullptr;
  if (!request.manifestKey) return true;
  manifest = fetchAcceptedManifest(request.baseUrl.value_or(""), *request.manifestKey, nullptr);
  if (!manifest) {
    logStep("certificate not added: no signed manifest was accepted");
    outcome.set(JobOutcome::NotVouchedFor, "no signed manifest was accepted");
    return false;
  }
  const auto line = manifest->certificates.find(request.fileName.value_or(""));
  if (line == manifest->certificates.end()) {
    logStep("certificate not added: the signed manifest does not list %s", request.fileName.value_or("").c_str());
    outcome.set(JobOutcome::NotVouchedFor, "the signed manifest does not list it");
    return false;
  }
  expected = &line->second;
  return true;
}

}  // namespace

void runCertificateInstall(const CertificateRequest& request) noexcept {
  try {
    const std::string name = request.fileName.value_or("");
    CertificateOutcome outcome(request.events, name);
    std::optional<Manifest> manifest;
    const ExpectedContent* expected = nullptr;
    if (!certificateVouchedFor(request, manifest, expected, outcome)) return;
    Downloader downloader(request.baseUrl ? request.baseUrl->c_str() : nullptr,
                          request.authPath ? request.authPath->c_str() : nullptr);
    std::optional<NamedProgress> progress;
    if (request.events) progress.emplace(*request.events, name);
    downloader.reportProgressTo(progress ? &*progress : nullptr);
    const DownloadResult result =
        downloader.download(request.fileName ? request.fileName->c_str() : "", kMaxCertificateBytes, expected);
    const std::optional<std::string> localFile = downloader.localFile();
    // The downloaded file goes however the attempt ends.
    ScopedFileRemoval removal(localFile.value_or(""));
    // A failed download can leave a whole certificate behind (a body shorter than its
    // announced length): only a download that succeeded is trusted.
    if (result != DownloadResult::Success || !localFile || localFile->empty()) {
      logStep("certificate not added: its download failed");
      if (result == DownloadResult::Success) {
        outcome.set(JobOutcome::NotAdded, "the downloaded file could not be found");
      } else {
        outcome.set(static_cast<int>(result), downloadFailureDetail(name, result));
      }
      return;
    }
    if (const auto encoded = readWholeFile(*localFile)) {
      addToTrustedPublishers(*encoded, outcome);
    } else {
      outcome.set(JobOutcome::NotAdded, "the downloaded file could not be read");
    }
  } catch (...) {
    // Like any other failure of this job: nothing added, nothing reported.
  }
}

}  // namespace corvane
