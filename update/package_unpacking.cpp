#include "update/package_unpacking.h"

#include <utility>

#include "update/consistency_rules.h"
#include "update/file_placement.h"
#include "update/path_rules.h"
#include "base/mutation_points.h"
#include "base/unique_resource.h"

namespace corvane {
namespace {

// The extracted file is complete only at the size the cabinet states, and durable only
// once flushed: a rename that outlives a power loss must not bring in an empty file.
bool completeAndFlushed(const std::string& path, uint64_t statedSize) {
  UniqueHandle file(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size{};
  if (!file || !::GetFileSizeEx(file.get(), &size)) return false;
  return static_cast<uint64_t>(size.QuadPart) == statedSize && ::FlushFileBuffers(file.get());
}

UINT CALLBACK cabinetCallback(PVOID context, UINT notification, UINT_PTR param1, UINT_PTR param2) {
  try {
    return static_cast<CabinetFileFilter*>(context)->handleNotification(notification, param1, param2);
  } catch (...) {
    // Nothing may unwind through SetupAPI: a filter that failed extracts nothing more.
    return notification == SPFILENOTIFY_FILEINCABINET ? FILEOP_SKIP : NO_ERROR;
  }
}

}  // namespace

bool createDirectoryChain(const std::string& path) {
  if (path.empty()) return false;
  size_t end = path.find('\\');
  std::string working = path.substr(0, end);
  while (end != std::string::npos) {
    const size_t start = end + 1;
    end = path.find('\\', start);
    const std::string piece = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (piece.empty()) continue;
    working += '\\';
    working += piece;
    // Only a directory that is not there yet is a change to the disk.
    if (::GetFileAttributesA(working.c_str()) != INVALID_FILE_ATTRIBUTES) continue;
    const bool created = mutateFileSystem("create directory", [&] {
      if (!::CreateDirectoryA(working.c_str(), nullptr)) return ::GetLastError() == ERROR_ALREADY_EXISTS;
      ::SetFileAttributesA(working.c_str(), FILE_ATTRIBUTE_NORMAL);
      return true;
    });
    if (!created) return false;
  }
  WIN32_FIND_DATAA found{};
  UniqueFindHandle search(::FindFirstFileA(working.c_str(), &found));
  return search.valid();
}

CabinetFileFilter::CabinetFileFilter(std::string installPath, std::string file, uint64_t maxFileBytes)
    : installPath_(std::move(installPath)), file_(std::move(file)), maxFileBytes_(maxFileBytes) {}

CabinetFileFilter::~CabinetFileFilter() = default;

UINT CabinetFileFilter::handleNotification(UINT notification, UINT_PTR param1, UINT_PTR) {
  switch (notification) {
    case SPFILENOTIFY_FILEINCABINET:
      return onFileInCabinet(*reinterpret_cast<FILE_IN_CABINET_INFO_A*>(param1));
    case SPFILENOTIFY_FILEEXTRACTED:
      onFileExtracted(*reinterpret_cast<const FILEPATHS_A*>(param1));
      return NO_ERROR;
    default:
      return NO_ERROR;
  }
}

UINT CabinetFileFilter::onFileInCabinet(FILE_IN_CABINET_INFO_A& info) {
  const std::string name = info.NameInCabinet ? info.NameInCabinet : "";
  if (foldFileName(name) != foldFileName(file_)) return FILEOP_SKIP;
  // A second entry of the same name would come after the first was checked: the first counts.
  if (requested_ > 0) return FILEOP_SKIP;
  // The cabinet's own spelling names the target, so it must not lead out of the directory.
  if (!isSafeRelativeName(name, ::GetACP())) return FILEOP_SKIP;
  if (info.FileSize > maxFileBytes_) return FILEOP_SKIP;
  const std::string target = installPath_ + name;
  // Beside the target, on its volume, so that moving it into place is one rename.
  const std::string temporary = joinPath(directoryOfPath(target), temporaryFileName(uniqueLeftoverNumber(0)));
  if (target.size() >= sizeof info.FullTargetName || temporary.size() >= sizeof info.FullTargetName) {
    return FILEOP_SKIP;
  }
  temporary.copy(info.FullTargetName, temporary.size());
  info.FullTargetName[temporary.size()] = '\0';
  ++requested_;
  temporaryPath_ = temporary;
  targetPath_ = target;
  statedSize_ = info.FileSize;
  // The platform writes the file after this answer; onFileExtracted closes the step.
  pendingExtraction_ = beginMutation("extract to temporary");
  return FILEOP_DOIT;
}

void CabinetFileFilter::onFileExtracted(const FILEPATHS_A& paths) {
  if (pendingExtraction_ != 0) endMutation(std::exchange(pendingExtraction_, 0), "extract to temporary");
  if (paths.Win32Error != NO_ERROR || !paths.Target) return;
  if (!temporaryPath_.empty() && foldFileName(temporaryPath_) == foldFileName(paths.Target)) ++extractedCount_;
}

bool extractComponentFile(const std::string& cabinetPath, CabinetFileFilter& filter) {
  const BOOL iterated = ::SetupIterateCabinetA(cabinetPath.c_str(), 0, cabinetCallback, &filter);
  return iterated && filter.extractedWantedFile() && completeAndFlushed(filter.temporaryPath(), filter.statedSize());
}

}  // namespace corvane
