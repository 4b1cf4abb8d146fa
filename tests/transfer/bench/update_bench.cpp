// UpdateComponents through the Installer object, timed against the reference server:
// package throughput next to a plain WinINet read loop and next to the install's floor (that
// read plus the platform's extraction of the one file), a call with nothing to do over
// many installed components, an update of a few of many, and the process's peak working
// set during one install.
// Run by scripts/bench; prints tab-separated rows and asserts nothing.
//   update_bench throughput BASE_URL AUTH_PATH CABINET FILE RUNS
//   update_bench noop BASE_URL AUTH_PATH COUNT RUNS     (BASE_URL serves a catalog of
//                                                        COUNT plain files named cN, fN.txt)
//   update_bench update BASE_URL AUTH_PATH COUNT CHANGED RUNS  (COUNT installed, the first
//                                                        CHANGED of them newer in the catalog)
//   update_bench peak BASE_URL AUTH_PATH CABINET FILE   (one install in this process)
//   update_bench manifest BASE_URL AUTH_PATH FILE KEY_HEX RUNS  (the install with the signed
//                                                        manifest beside the catalog checked
//                                                        against the same install unchecked)
#include <windows.h>
#include <objbase.h>
#include <psapi.h>
#include <setupapi.h>
#include <wininet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "shell/installer.h"
#include "tests/transfer/bench/bench_support.h"
#include "base/unique_resource.h"
#include "shell/com_owners.h"
#include "transfer/internet_handle.h"
#include "update/update_driver.h"

namespace {

using corvane::ComPtr;
using corvane::Installer;
using corvane::UniqueBstr;
using corvane::UniqueHandle;
using corvane::UniqueInternetHandle;

using corvane::testing::InterleavedSides;
using corvane::testing::median;
using corvane::testing::now;

std::wstring widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

UniqueBstr bstr(const std::string& text) {
  const std::wstring wide = widen(text);
  return UniqueBstr(::SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size())));
}

unsigned long long fileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// A fresh installation folder under the temporary directory's parent (not the temporary
// directory itself, whose listing the downloads use).
std::string makeInstallFolder(const std::string& tag) {
  const std::string root = "C:\\corvane-bench\\";
  ::CreateDirectoryA(root.c_str(), nullptr);
  const std::string folder = root + tag + "-" + std::to_string(::GetCurrentProcessId()) + "\\";
  ::CreateDirectoryA(folder.c_str(), nullptr);
  return folder;
}

void emptyFolder(const std::string& folder) {
  WIN32_FIND_DATAA entry;
  corvane::UniqueFindHandle search(::FindFirstFileA((folder + "*").c_str(), &entry));
  if (!search) return;
  do {
    if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ::DeleteFileA((folder + entry.cFileName).c_str());
  } while (::FindNextFileA(search.get(), &entry));
}

class Control {
 public:
  Control(const std::string& base, const std::string& auth, const std::string& installPath) {
    ok_ = SUCCEEDED(Installer::createInstance(IID_IInstaller, installer_.putVoid())) &&
          installer_->put_BaseURL(bstr(base).get()) == S_OK && installer_->put_AuthPath(bstr(auth).get()) == S_OK &&
          installer_->put_InstallPath(bstr(installPath).get()) == S_OK;
  }
  bool ok() const { return ok_; }
  // The call's result (0 or 1), or -1 when it did not return S_OK.
  int update(const std::string& names) {
    int chosen = -1;
    if (installer_->UpdateComponents(bstr(names).get(), &chosen) != S_OK) return -1;
    return chosen;
  }

 private:
  ComPtr<IInstaller> installer_;
  bool ok_ = false;
};

double timePlain(const std::string& url) {
  unsigned long long bytes = 0;
  return corvane::testing::timePlainDownload(url, bytes);
}

// Sends the one wanted file of a cabinet to a folder, the rest nowhere.
struct FloorExtraction {
  std::string folder, file;
  bool extracted = false;
};

UINT CALLBACK floorCallback(PVOID context, UINT notification, UINT_PTR param1, UINT_PTR) {
  auto& floor = *static_cast<FloorExtraction*>(context);
  if (notification == SPFILENOTIFY_FILEINCABINET) {
    auto& info = *reinterpret_cast<FILE_IN_CABINET_INFO_A*>(param1);
    if (lstrcmpiA(info.NameInCabinet, floor.file.c_str()) != 0) return FILEOP_SKIP;
    lstrcpynA(info.FullTargetName, (floor.folder + floor.file).c_str(), sizeof info.FullTargetName);
    return FILEOP_DOIT;
  }
  if (notification == SPFILENOTIFY_FILEEXTRACTED) {
    floor.extracted = reinterpret_cast<const FILEPATHS_A*>(param1)->Win32Error == NO_ERROR;
  }
  return NO_ERROR;
}

// The install's floor: the plain read of the cabinet into a temporary file, then the
// platform's extraction of the one file from it into `folder`.
double timeFloor(const std::string& url, const std::string& folder, const std::string& file) {
  const corvane::ScopedFileRemoval cabinet(corvane::testing::temporaryPath("bfl"));
  FloorExtraction floor{folder, file};
  unsigned long long bytes = 0;
  const double start = now();
  const bool ok = corvane::testing::plainDownloadTo(url, cabinet.path(), bytes) &&
                  ::SetupIterateCabinetA(cabinet.path().c_str(), 0, floorCallback, &floor) && floor.extracted;
  const double elapsed = now() - start;
  ::DeleteFileA((folder + file).c_str());
  return ok ? elapsed : -1;
}

int throughput(const std::string& base, const std::string& auth, const std::string& cabinet, const std::string& file,
               int runs) {
  const std::string folder = makeInstallFolder("throughput");
  const std::string floorFolder = makeInstallFolder("floor");
  Control control(base, auth, folder);
  if (!control.ok()) return 1;
  unsigned long long bytes = 0;
  InterleavedSides sides({[&] {
                            emptyFolder(folder);
                            const double start = now();
                            const int chosen = control.update("bench");
                            const double elapsed = now() - start;
                            bytes = fileSize(folder + file);
                            // Removed at once, as the other sides' files are, so that no side
                            // pays for the write-back of this one.
                            emptyFolder(folder);
                            if (chosen != 1 || bytes == 0) {
                              std::fprintf(stderr, "install of %s failed (result %d, %llu bytes)\n", cabinet.c_str(),
                                           chosen, bytes);
                              return -1.0;
                            }
                            return elapsed;
                          },
                          [&] { return timePlain(base + cabinet); },
                          [&] { return timeFloor(base + cabinet, floorFolder, file); }});
  const bool ok = sides.run(runs);
  emptyFolder(folder);
  ::RemoveDirectoryA(folder.c_str());
  ::RemoveDirectoryA(floorFolder.c_str());
  if (!ok) {
    std::fprintf(stderr, "throughput of %s failed\n", cabinet.c_str());
    return 1;
  }
  const double mib = static_cast<double>(bytes) / (1024.0 * 1024.0);
  const double u = sides.median(0), p = sides.median(1), f = sides.median(2);
  std::printf("update throughput\t%s (%.0f MiB), median of %d\tUpdateComponents %.1f MiB/s (%.0f ms)\t"
              "plain %.1f MiB/s (%.0f ms)\tplain/update %s\n",
              cabinet.c_str(), mib, runs, mib / u, u * 1e3, mib / p, p * 1e3, sides.ratio(1, 0).c_str());
  std::printf("update floor\t%s (%.0f MiB), median of %d\tUpdateComponents %.0f ms\t"
              "plain read + extraction %.0f ms\tfloor/update %s\n",
              cabinet.c_str(), mib, runs, u * 1e3, f * 1e3, sides.ratio(2, 0).c_str());
  return 0;
}

void writeFile(const std::string& path, const std::string& bytes) {
  UniqueHandle file(
      ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

// Installed state written directly: COUNT plain files cN (fN.txt) and their list lines at
// 1.0.0.0; returns the names of all of them, comma-separated.
std::string installPlainFiles(const std::string& folder, int count) {
  std::string list, names;
  for (int i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    list += "c" + n + ",,f" + n + ".txt,1.0.0.0,2,0\n";
    names += (i ? "," : "") + ("c" + n);
    writeFile(folder + "f" + n + ".txt", n);
  }
  writeFile(folder + "components.txt", list);
  return names;
}

// The served catalog lists the installed versions, so the call finds everything current.
int noop(const std::string& base, const std::string& auth, int count, int runs) {
  const std::string folder = makeInstallFolder("noop" + std::to_string(count));
  const std::string names = installPlainFiles(folder, count);
  Control control(base, auth, folder);
  if (!control.ok()) return 1;
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    const double start = now();
    const int chosen = control.update(names);
    times.push_back(now() - start);
    if (chosen != 0) {
      std::fprintf(stderr, "no-op call with %d components chose something (%d)\n", count, chosen);
      return 1;
    }
  }
  emptyFolder(folder);
  ::RemoveDirectoryA(folder.c_str());
  std::printf("no-op update\t%d installed plain files, median of %d\t%.1f ms\n", count, runs, median(times) * 1e3);
  return 0;
}

// The served catalog lists the first CHANGED of COUNT installed plain files at 2.0.0.0, each in
// a package of its own (uN.cab holding fN.txt); the call names all of them. The installed
// state is laid down again, untimed, before each run.
int updateSome(const std::string& base, const std::string& auth, int count, int changed, int runs) {
  const std::string folder = makeInstallFolder("update" + std::to_string(count));
  Control control(base, auth, folder);
  if (!control.ok()) return 1;
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    emptyFolder(folder);
    const std::string names = installPlainFiles(folder, count);
    const double start = now();
    const int chosen = control.update(names);
    times.push_back(now() - start);
    // The first file comes back in its new edition (longer than its index); the last stays.
    const std::string last = folder + "f" + std::to_string(count - 1) + ".txt";
    if (chosen != 1 || fileSize(folder + "f0.txt") <= 1 || fileSize(last) == 0) {
      std::fprintf(stderr, "update of %d out of %d components failed (result %d)\n", changed, count, chosen);
      return 1;
    }
  }
  emptyFolder(folder);
  ::RemoveDirectoryA(folder.c_str());
  std::printf("update\t%d of %d installed plain files, median of %d\t%.1f ms\n", changed, count, runs,
              median(times) * 1e3);
  return 0;
}

double workingSetMiB(bool peak) {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters))) return -1;
  return static_cast<double>(peak ? counters.PeakWorkingSetSize : counters.WorkingSetSize) / (1024.0 * 1024.0);
}

int peak(const std::string& base, const std::string& auth, const std::string& cabinet, const std::string& file) {
  const std::string folder = makeInstallFolder("peak");
  Control control(base, auth, folder);
  if (!control.ok()) return 1;
  const double before = workingSetMiB(true);
  const int chosen = control.update("bench");
  const double after = workingSetMiB(true);
  const unsigned long long bytes = fileSize(folder + file);
  emptyFolder(folder);
  ::RemoveDirectoryA(folder.c_str());
  if (chosen != 1 || bytes == 0) {
    std::fprintf(stderr, "install of %s failed (result %d)\n", cabinet.c_str(), chosen);
    return 1;
  }
  std::printf("peak working set\t%s (%.0f MiB installed)\tbefore the call %.1f MiB\tduring %.1f MiB\n",
              cabinet.c_str(), static_cast<double>(bytes) / (1024.0 * 1024.0), before, after);
  return 0;
}

// What checking the manifest costs an install: the package hashed as it streams, plus the
// manifest's two small requests.
int manifestCost(const std::string& base, const std::string& auth, const std::string& file, const std::string& keyHex,
                 int runs) {
  const std::optional<corvane::ManifestPublicKey> key = corvane::manifestKeyFromHex(keyHex);
  if (!key) return 2;
  const std::string folder = makeInstallFolder("manifest");
  auto install = [&](const std::optional<corvane::ManifestPublicKey>& manifestKey) {
    emptyFolder(folder);
    const double start = now();
    const corvane::UpdateOutcome outcome =
        corvane::runUpdate(corvane::UpdateRequest{folder, std::string("bench"), base, auth, manifestKey});
    const double elapsed = now() - start;
    const unsigned long long bytes = fileSize(folder + file);
    emptyFolder(folder);
    if (!outcome.choseComponents || bytes == 0) {
      std::fprintf(stderr, "install of %s %s the manifest failed\n", file.c_str(), manifestKey ? "with" : "without");
      return -1.0;
    }
    return elapsed;
  };
  InterleavedSides sides({[&] { return install(key); }, [&] { return install(std::nullopt); }});
  const bool ok = sides.run(runs);
  ::RemoveDirectoryA(folder.c_str());
  if (!ok) return 1;
  const double checked = sides.median(0), unchecked = sides.median(1);
  std::printf("signed manifest\t%s install, median of %d\tchecked %.0f ms\tunchecked %.0f ms\tcost %+.1f %%\t"
              "unchecked/checked %s\n",
              file.c_str(), runs, checked * 1e3, unchecked * 1e3, (checked / unchecked - 1) * 100,
              sides.ratio(1, 0).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: update_bench throughput|noop|update|peak|manifest BASE_URL AUTH_PATH ...\n");
    return 2;
  }
  if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
  const std::string mode = argv[1], base = argv[2], auth = argv[3];
  int status = 2;
  if (mode == "throughput" && argc == 7) {
    status = throughput(base, auth, argv[4], argv[5], std::atoi(argv[6]));
  } else if (mode == "noop" && argc == 6) {
    status = noop(base, auth, std::atoi(argv[4]), std::atoi(argv[5]));
  } else if (mode == "update" && argc == 7) {
    status = updateSome(base, auth, std::atoi(argv[4]), std::atoi(argv[5]), std::atoi(argv[6]));
  } else if (mode == "manifest" && argc == 7) {
    status = manifestCost(base, auth, argv[4], argv[5], std::atoi(argv[6]));
  } else if (mode == "peak" && argc == 6) {
    status = peak(base, auth, argv[4], argv[5]);
  } else {
    std::fprintf(stderr, "update_bench: bad arguments for %s\n", mode.c_str());
  }
  ::CoUninitialize();
  return status;
}
