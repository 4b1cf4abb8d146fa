// The InstallCertificate job: fetch a DER certificate after the server handshake and add
// it to the calling user's TrustedPublisher store.
#pragma once

#include <optional>
#include <string>

#include "base/job_events.h"
#include "trust/signed_manifest.h"

namespace corvane {

struct CertificateRequest {
  std::optional<std::string> fileName;
  std::optional<std::string> baseUrl;
  std::optional<std::string> authPath;
  // Set in builds that require a signed manifest: the certificate must be listed in one
  // signed with this key.
  std::optional<ManifestPublicKey> manifestKey;
  // Told the download's bytes and the outcome (certificateDone, once); may be null.
  JobEvents* events = nullptr;
};

// Reports nothing through its result: the outcome goes to the request's events alone.
// Never throws.
void runCertificateInstall(const CertificateRequest& request) noexcept;

}  // namespace corvane
