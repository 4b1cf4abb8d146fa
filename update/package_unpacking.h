// Putting files on disk: the installation directory and the one wanted file of a cabinet.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <cstdint>
#include <string>

#include "transfer/download_rules.h"

namespace corvane {

// Creates every missing directory of a backslash-separated path (the first piece, such as
// a drive, is never created; empty pieces are passed over). True when something, file or
// directory, exists at the full path in the end; false for an empty path.
bool createDirectoryChain(const std::string& path);

// Answers the cabinet iteration for one package: extracts the first entry whose name equals
// the wanted file (letter case aside) to a temporary name in the directory of its target,
// installPath followed by the name in the cabinet. Extraction never writes onto the target:
// the platform need not truncate a file it extracts over, and a failure half-way must leave
// the installed copy whole. Entries whose name would leave the installation directory,
// targets too long for the platform's buffer, and files larger than maxFileBytes (a small
// cabinet can unpack to gigabytes) are skipped.
class CabinetFileFilter {
 public:
  CabinetFileFilter(std::string installPath, std::string file, uint64_t maxFileBytes = kMaxPackageBytes);
  virtual ~CabinetFileFilter();
  CabinetFileFilter(const CabinetFileFilter&) = delete;
  CabinetFileFilter& operator=(const CabinetFileFilter&) = delete;

  virtual UINT handleNotification(UINT notification, UINT_PTR param1, UINT_PTR param2);

  // True once the platform confirmed that the file it was told to extract was written.
  bool extractedWantedFile() const { return extractedCount_ > 0; }
  size_t extractionsRequested() const { return requested_; }
  size_t extractionsConfirmed() const { return extractedCount_; }
  // Empty until an entry is extracted.
  const std::string& temporaryPath() const { return temporaryPath_; }
  const std::string& targetPath() const { return targetPath_; }
  // The size the cabinet gives for the entry.
  uint64_t statedSize() const { return statedSize_; }

 private:
  UINT onFileInCabinet(FILE_IN_CABINET_INFO_A& info);
  void onFileExtracted(const FILEPATHS_A& paths);

  std::string installPath_;
  std::string file_;
  uint64_t maxFileBytes_;
  size_t requested_ = 0;
  std::string temporaryPath_;
  std::string targetPath_;
  uint64_t statedSize_ = 0;
  size_t extractedCount_ = 0;
  unsigned long pendingExtraction_ = 0;  // the extraction step the platform is carrying out
};

// Runs SetupIterateCabinetA over the cabinet with the filter. True when the iteration
// succeeded, the platform reported the wanted file written to its temporary name, that
// file has the size the cabinet states, and it is flushed to disk. The temporary file is
// the caller's to move into place or remove.
bool extractComponentFile(const std::string& cabinetPath, CabinetFileFilter& filter);

}  // namespace corvane
