// The UpdateComponents job: bring the installation directory in line with the catalog
// for the named components.
#pragma once

#include <optional>
#include <string>

#include "base/job_events.h"
#include "trust/signed_manifest.h"

namespace corvane {

enum class UpdateStatus {
  Completed,            // ran to the end, whatever happened to single components
  ProgramFilesUnknown,  // the Program Files folder could not be determined; nothing touched
  InstallPathNotAllowed,  // the expanded path is not an absolute local one, or leaves no room
                          // within the path limit for the names a call makes in it; nothing touched
};

struct UpdateOutcome {
  UpdateStatus status = UpdateStatus::Completed;
  bool choseComponents = false;  // at least one catalog record was chosen for installation
  std::string refusalRule;       // for InstallPathNotAllowed: the rule the path breaks
};

struct UpdateRequest {
  std::optional<std::string> installPath;
  std::optional<std::string> componentNames;
  std::optional<std::string> baseUrl;
  std::optional<std::string> authPath;
  // Set in builds that require a signed manifest: the key it must be signed with.
  std::optional<ManifestPublicKey> manifestKey;
  // Told the bytes of each download and one outcome per named component; may be null.
  JobEvents* events = nullptr;
};

// Never throws: an unexpected failure ends the job like a failed step.
UpdateOutcome runUpdate(const UpdateRequest& request) noexcept;

}  // namespace corvane
