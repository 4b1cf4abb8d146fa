// Putting files on disk: the installation directory and the one wanted file of a cabinet.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <cstdint>
#include <string>
#include <vector>

#include "transfer/download_rules.h"

namespace corvane {

// Creates every missing directory of a backslash-separated path (the first piece, such as
// a drive, is never created; empty pieces are passed over). True when something, file or
// directory, exists at the full path in the end; false for an empty path.
bool createDirectoryChain(const std::string& path);

// Answers the cabinet iteration for one package: extracts the entries whose name equals
// the wanted file (letter case aside) to installPath followed by the name in the cabinet.
// Entries whose name would leave the installation directory, targets too long for the
// platform's buffer, and files larger than maxFileBytes (a small cabinet can unpack to
// gigabytes) are skipped.
class CabinetFileFilter {
 public:
  CabinetFileFilter(std::string installPath, std::string file, uint64_t maxFileBytes = kMaxPackageBytes);
  virtual ~CabinetFileFilter();
  CabinetFileFilter(const CabinetFileFilter&) = delete;
  CabinetFileFilter& operator=(const CabinetFileFilter&) = delete;

  virtual UINT handleNotification(UINT notification, UINT_PTR param1, UINT_PTR param2);

  // True once the platform confirmed that a file it was told to extract was written.
  bool extractedWantedFile() const { return extractedCount_ > 0; }
  size_t extractionsRequested() const { return requestedTargets_.size(); }
  size_t extractionsConfirmed() const { return extractedCount_; }

 private:
  UINT onFileInCabinet(FILE_IN_CABINET_INFO_A& info);
  void onFileExtracted(const FILEPATHS_A& paths);

  std::string installPath_;
  std::string file_;
  uint64_t maxFileBytes_;
  std::vector<std::string> requestedTargets_;
  size_t extractedCount_ = 0;
  unsigned long pendingExtraction_ = 0;  // the extraction step the platform is carrying out
};

// Runs SetupIterateCabinetA over the cabinet with the filter. True when the iteration
// succeeded and the wanted file was written.
bool extractComponentFile(const std::string& cabinetPath, CabinetFileFilter& filter);

}  // namespace corvane
