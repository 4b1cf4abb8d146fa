// Where the test packages of this build tree are (made by the make-test-packages fixture).
#pragma once

#include <string>

#include "support/files.h"

namespace corvane::testing {

// A file of the current release's package of this tree's architecture, or of the earlier
// release's.
inline std::string packagedFile(const std::string& name) {
  return windowsPathOf(TEST_PACKAGE_DIR "/current/" TEST_PACKAGE_ARCH "/" + name);
}
inline std::string previousPackagedFile(const std::string& name) {
  return windowsPathOf(TEST_PACKAGE_DIR "/previous/" TEST_PACKAGE_ARCH "/" + name);
}
inline std::string testCaFile() { return windowsPathOf(TEST_PACKAGE_DIR "/current/test-ca/ca.pem"); }

}  // namespace corvane::testing
