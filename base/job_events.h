// What a job tells its caller while it runs: bytes as a download goes, and the outcome of
// each component the caller named and of a certificate. Plain C++, no platform headers:
// the jobs call it, and the shell turns it into events for the host's sinks.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace corvane {

// Outcome codes of the jobs. 0 means done; 1 to 99 are a download's result (transfer/
// downloader.h); the rest are outcomes that are not downloads.
enum class JobOutcome : int {
  Done = 0,
  AlreadyCurrent = 100,     // installed at the catalog's version (or newer) before the call
  NotInCatalog = 101,       // the catalog has no record of that name
  CatalogUnreadable = 102,  // the catalog could not be read or trusted: nothing was chosen
  NotExtracted = 103,       // the package holds no file of the record's name
  NotVouchedFor = 104,      // the signed manifest does not list it (or none was accepted)
  NotRegistered = 105,      // the library did not load or its DllRegisterServer failed
  NotAdded = 106,           // the certificate store could not be opened or refused the file
  ListNotWritten = 107,     // components.txt could not be brought up to date before the file
  PathNotUsable = 108,      // the record's file would lie outside the folder or past the path limit
  NotTried = 109,           // the job ended before it came to this one
  NotPlaced = 110,          // the old copy could not be replaced (in use) or the new one not recorded
};

inline int outcomeCode(JobOutcome outcome) { return static_cast<int>(outcome); }

// Where the bytes of one download are reported. The answer is the time the report took,
// so that a transfer's own clocks (time-outs, deadlines) can leave it out.
class TransferProgress {
 public:
  virtual std::chrono::milliseconds bytesArrived(uint64_t received, std::optional<uint64_t> total) noexcept = 0;

 protected:
  ~TransferProgress() = default;
};

class JobEvents {
 public:
  // total is nullopt when the server announced no length.
  virtual std::chrono::milliseconds progress(const std::string& component, uint64_t received,
                                             std::optional<uint64_t> total) noexcept = 0;
  virtual void componentDone(const std::string& name, int result, const std::string& detail) noexcept = 0;
  virtual void certificateDone(const std::string& name, int result, const std::string& detail) noexcept = 0;

 protected:
  ~JobEvents() = default;
};

// One download's bytes, reported as those of the component or file it fetches.
class NamedProgress final : public TransferProgress {
 public:
  NamedProgress(JobEvents& events, std::string name) : events_(events), name_(std::move(name)) {}
  std::chrono::milliseconds bytesArrived(uint64_t received, std::optional<uint64_t> total) noexcept override {
    return events_.progress(name_, received, total);
  }

 private:
  JobEvents& events_;
  std::string name_;
};

}  // namespace corvane
