// Kills the real control at every file-system mutation of an UpdateComponents call and
// checks that the same call, made once more, repairs the installation. Each call runs in
// installer-host, a child process with a temporary folder of its own; the control's test
// build ends the process right before (or after) the N-th mutation when asked to.
//
// For each scenario: one uninterrupted run counts the mutations and gives the expected
// installation; then, for every N in both modes, the scenario's starting state is laid
// down, the call is killed at N, the call is made again uninterrupted, and the result is
// compared with the expected one. Every recorded file must hold exactly the bytes of the
// package its record's version comes from (the uninterrupted run is held to that too).
// Prints a table; fails on any invariant failure.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/text.h"
#include "tests/driver/driver_fixture.h"
#include "tests/shell/server_support.h"
#include "trust/install_ledger.h"
#include "update/component_list.h"
#include "update/consistency_rules.h"

namespace corvane::testing {
namespace {

constexpr DWORD kKilledExitCode = 86;  // what the kill points end the process with

// A file of the starting state: its name in the installation folder and the built
// artefact (or, for plain text, the text itself) it holds.
struct StartingFile {
  const char* name;
  const char* artefact;  // nullptr: `text` is the content
  const char* text;
};

struct Scenario {
  const char* name;
  bool folderExists;  // false: the call must create the installation folder
  const char* list;   // the starting components.txt, or nullptr for none
  std::vector<StartingFile> files;
  const char* catalog;
  const char* names;  // UpdateComponents' argument
  size_t listWrites;  // times the list is replaced: once per change of its text
  // A file another process holds loaded during the first call (nullptr: none). A second
  // call follows its release in both runs, and finds the old copy free to delete.
  const char* heldLibrary = nullptr;
};

const char kFirstEdition[] = "component data, first edition\n";

// Installed by the fresh install: two libraries that register and one data file.
const char kInstalledList[] =
    "ok,,registers_ok.dll,1.0.0.1,1,1\n"
    "too,,registers_too.dll,1.0.0.0,1,1\n"
    "data,,data.txt,2.0.0.0,2,1\n";
const std::vector<StartingFile> kInstalledFiles = {
    {"registers_ok.dll", "registers_ok.dll", nullptr},
    {"registers_too.dll", "registers_too.dll", nullptr},
    {"data.txt", nullptr, kFirstEdition},
};
const char kFirstCatalog[] =
    "ok,ok.cab,registers_ok.dll,1.0.0.1,1,0\n"
    "too,too.cab,registers_too.dll,1.0.0.0,1,0\n"
    "data,data.cab,data.txt,2.0.0.0,2,0\n";

// Each file's length changes in the update: shorter, longer, to nothing, or not at all
// with other content.
const char kLengthsList[] =
    "shrinks,,shrinks.txt,1.0.0.0,2,1\n"
    "grows,,grows.txt,1.0.0.0,2,1\n"
    "empties,,empties.txt,1.0.0.0,2,1\n"
    "changes,,changes.txt,1.0.0.0,2,1\n";
const std::vector<StartingFile> kLengthsFiles = {
    {"shrinks.txt", "editions/long/shrinks.txt", nullptr},
    {"grows.txt", "editions/short/grows.txt", nullptr},
    {"empties.txt", "editions/long/empties.txt", nullptr},
    {"changes.txt", "editions/long/changes.txt", nullptr},
};
const char kLengthsCatalog[] =
    "shrinks,shrinks-short.cab,shrinks.txt,1.0.0.1,2,0\n"
    "grows,grows-long.cab,grows.txt,1.0.0.1,2,0\n"
    "empties,empties-empty.cab,empties.txt,1.0.0.1,2,0\n"
    "changes,changes-same.cab,changes.txt,1.0.0.1,2,0\n";

const std::vector<Scenario>& scenarios() {
  static const std::vector<Scenario> all = {
      {"fresh install", false, nullptr, {}, kFirstCatalog, "ok,too,data", 1},
      // Both libraries stale (newer versions), the data file retired, extra new.
      {"update", true, kInstalledList, kInstalledFiles,
       "ok,ok.cab,registers_ok.dll,1.0.0.2,1,0\n"
       "too,too.cab,registers_too.dll,1.0.0.1,1,0\n"
       "extra,extra.cab,extra.txt,1.0.0.0,2,0\n",
       "ok,too,extra", 4},
      {"no-op", true, kInstalledList, kInstalledFiles, kFirstCatalog, "ok,too,data", 0},
      // The data file retired and nothing else to install: its record goes, the list once.
      {"retire one", true, kInstalledList, kInstalledFiles,
       "ok,ok.cab,registers_ok.dll,1.0.0.1,1,0\n"
       "too,too.cab,registers_too.dll,1.0.0.0,1,0\n",
       "ok,too", 1},
      {"duplicated stale record", true, "data,,data.txt,2.0.0.0,2,1\ndata,,data.txt,2.0.0.0,2,1\n",
       {{"data.txt", nullptr, kFirstEdition}}, "data,data2.cab,data.txt,2.0.0.10,2,0\n", "data", 2},
      {"stale record, file missing", true, "data,,data.txt,2.0.0.0,2,1\n", {},
       "data,data2.cab,data.txt,2.0.0.10,2,0\n", "data", 2},
      {"lengths change", true, kLengthsList, kLengthsFiles, kLengthsCatalog, "shrinks,grows,empties,changes", 5},
      {"update, library in use", true, kInstalledList, kInstalledFiles,
       "ok,ok.cab,registers_ok.dll,1.0.0.2,1,0\n"
       "too,too.cab,registers_too.dll,1.0.0.1,1,0\n"
       "data,data.cab,data.txt,2.0.0.0,2,0\n",
       "ok,too", 3, "registers_ok.dll"},
  };
  return all;
}

// A built artefact's bytes; nullopt when there is none (an empty one is a file too).
std::optional<std::string> findArtefact(const std::string& name) {
  for (const char* directory : {CRASH_ARTEFACT_DIR, TEST_COMPONENT_DIR}) {
    std::string bytes;
    if (readWholeFile(windowsPathOf(std::string(directory) + "/" + name), bytes)) return bytes;
  }
  return std::nullopt;
}

std::string artefactBytes(const std::string& name) {
  std::optional<std::string> bytes = findArtefact(name);
  if (!bytes) throw std::runtime_error("missing built artefact " + name);
  return *bytes;
}

// The file a package holds, as it went into the cabinet: <stem>-<edition>.cab holds
// editions/<edition>/<stem>.txt; the others are listed.
std::string packagedFile(const std::string& package) {
  static const std::map<std::string, std::string> listed = {
      {"ok.cab", "registers_ok.dll"},     {"too.cab", "registers_too.dll"}, {"data.cab", "payload/data.txt"},
      {"data2.cab", "payload2/data.txt"}, {"extra.cab", "payload/extra.txt"},
  };
  const auto found = listed.find(package);
  if (found != listed.end()) return artefactBytes(found->second);
  const size_t dash = package.rfind('-'), dot = package.rfind(".cab");
  if (dash == std::string::npos || dot == std::string::npos || dot < dash) {
    throw std::runtime_error("no packaged file known for " + package);
  }
  return artefactBytes("editions/" + package.substr(dash + 1, dot - dash - 1) + "/" + package.substr(0, dash) + ".txt");
}

std::vector<ComponentRecord> recordsOf(const char* text) {
  std::vector<ComponentRecord> records;
  std::istringstream lines(text ? text : "");
  for (std::string line; std::getline(lines, line);) {
    if (std::optional<ComponentRecord> record = parseComponentLine(line)) records.push_back(*record);
  }
  return records;
}

bool sameRecord(const ComponentRecord& a, const ComponentRecord& b) {
  return a.name == b.name && lowercase(a.file) == lowercase(b.file) && a.version == b.version && a.kind == b.kind;
}

// The bytes a recorded file must hold: those of the package its version came from, or of
// the starting state's file for a record that was there from the start.
std::optional<std::string> bytesOwedTo(const ComponentRecord& record, const Scenario& scenario) {
  for (const ComponentRecord& published : recordsOf(scenario.catalog)) {
    if (sameRecord(published, record)) return packagedFile(published.package);
  }
  for (const ComponentRecord& starting : recordsOf(scenario.list)) {
    if (!sameRecord(starting, record)) continue;
    for (const StartingFile& file : scenario.files) {
      if (lowercase(file.name) == lowercase(record.file)) {
        return file.artefact ? artefactBytes(file.artefact) : std::string(file.text);
      }
    }
  }
  return std::nullopt;
}

bool isLeftoverName(const std::string& name) {
  return isTemporaryListName("components.txt", name) || isTemporaryFileName(name) || parseAsideFileName(name);
}

void removeFolder(const std::string& folder) {
  for (const std::string& name : fileNamesIn(folder)) ::DeleteFileA((folder + name).c_str());
  ::RemoveDirectoryA(folder.c_str());
}

// What a call left behind, in the terms the invariants compare.
struct Installation {
  std::map<std::string, std::string> files;  // lower-case name -> bytes ("" for markers)
  std::multiset<std::string> records;        // list lines without their state
  std::set<std::string> vouched;             // lower-case names the ledger vouches for as they are
  std::vector<std::string> problems;         // broken invariants that need no comparison
};

Installation inspect(const Scenario& scenario, const std::string& folder, const std::string& temporaryFolder) {
  Installation seen;
  const std::string listText = readFile(folder + "components.txt");
  for (const std::string& name : fileNamesIn(folder)) {
    const std::string key = lowercase(name);
    if (key == "components.txt") continue;
    if (isLeftoverName(name)) seen.problems.push_back("leftover file: " + name);
    // Registration markers count calls; only whether one happened is compared.
    const bool marker = key.size() > 4 && key.compare(key.size() - 4, 4, ".ran") == 0;
    seen.files[key] = marker ? std::string() : readFile(folder + name);
    if (holdIfVouched(folder + name).vouching == Vouching::Vouched) seen.vouched.insert(key);
  }
  if (!listText.empty() && listText.back() != '\n') seen.problems.push_back("list ends in a torn line");
  std::istringstream lines(listText);
  std::string line;
  while (std::getline(lines, line)) {
    const std::optional<ComponentRecord> record = parseComponentLine(line);
    if (!record || formatComponentLine(*record) != line + "\n") {
      seen.problems.push_back("list line that does not parse: " + line);
      continue;
    }
    const auto file = seen.files.find(lowercase(record->file));
    if (file == seen.files.end()) {
      seen.problems.push_back("record without its file: " + line);
    } else {
      const std::optional<std::string> owed = bytesOwedTo(*record, scenario);
      if (!owed) seen.problems.push_back("record of a version no package holds: " + line);
      else if (*owed != file->second) seen.problems.push_back("bytes differ from the package's: " + line);
    }
    seen.records.insert(line.substr(0, line.find_last_of(',')));
  }
  // The killed call may leave its package; the repeated call may leave nothing.
  const std::vector<std::string> temporary = fileNamesIn(temporaryFolder);
  if (temporary.size() > 1) seen.problems.push_back(std::to_string(temporary.size()) + " temporary files left");
  return seen;
}

std::vector<std::string> differences(const Installation& expected, const Installation& seen) {
  std::vector<std::string> found = seen.problems;
  for (const auto& [name, bytes] : expected.files) {
    const auto it = seen.files.find(name);
    if (it == seen.files.end()) found.push_back("missing " + name);
    else if (it->second != bytes) found.push_back("different bytes in " + name);
  }
  for (const auto& [name, bytes] : seen.files) {
    if (expected.files.count(name) == 0) found.push_back("unexpected " + name);
  }
  if (expected.records != seen.records) found.push_back("records differ from the uninterrupted run's");
  if (expected.vouched != seen.vouched) found.push_back("the ledger vouches for other files than after the uninterrupted run");
  return found;
}

class CrashRunner {
 public:
  explicit CrashRunner(const Scenario& scenario)
      : scenario_(scenario), served_(makeServedDirectory("crash-" + slug(scenario.name))) {
    const std::string root = "C:\\corvane-crash\\";
    ::CreateDirectoryA(root.c_str(), nullptr);
    const std::string unique = slug(scenario.name) + "-" + std::to_string(::GetCurrentProcessId());
    folder_ = root + unique + "\\";
    temporary_ = root + unique + "-tmp\\";
    log_ = root + unique + ".log";
    for (const ComponentRecord& published : recordsOf(scenario.catalog)) {
      served_.writeFile(published.package, artefactBytes(published.package));
    }
    served_.writeFile("cvprobecl.txt", scenario.catalog);
  }
  ~CrashRunner() {
    removeFolder(folder_);
    removeFolder(temporary_);
    ::DeleteFileA(log_.c_str());
  }

  // Lays down the starting state: the folder, its files and list, an empty temporary folder,
  // and ledger entries for the starting files alone, as an earlier call would have left.
  void prepare() const {
    for (const char* name : {"registers_ok.dll", "registers_too.dll", "data.txt", "extra.txt"}) {
      forgetInstalledFile(folder_ + name);
    }
    removeFolder(folder_);
    removeFolder(temporary_);
    ::CreateDirectoryA(temporary_.c_str(), nullptr);
    if (!scenario_.folderExists) return;
    ::CreateDirectoryA(folder_.c_str(), nullptr);
    for (const StartingFile& file : scenario_.files) {
      writeWholeFile(folder_ + file.name, file.artefact ? artefactBytes(file.artefact) : std::string(file.text));
      if (!recordInstalledFile(folder_ + file.name)) throw std::runtime_error("cannot record a starting file");
    }
    if (scenario_.list) writeWholeFile(folder_ + "components.txt", scenario_.list);
  }

  // The scenario's first call, with its library held by another process meanwhile.
  ProcessResult firstCall(const std::optional<std::string>& killAt, bool logMutations) const {
    std::optional<LibraryHolder> holder;
    if (scenario_.heldLibrary) {
      holder.emplace(folder_ + scenario_.heldLibrary);
      if (!holder->loaded()) throw std::runtime_error(std::string(scenario_.name) + ": the holder did not load");
    }
    return call(killAt, logMutations);
  }

  // One call in a child process; `killAt` ("before:N", "after:N") or none.
  ProcessResult call(const std::optional<std::string>& killAt, bool logMutations) const {
    ::SetEnvironmentVariableA("TEMP", temporary_.c_str());
    ::SetEnvironmentVariableA("TMP", temporary_.c_str());
    ::SetEnvironmentVariableA("CORVANE_CRASH_AT", killAt ? killAt->c_str() : nullptr);
    ::SetEnvironmentVariableA("CORVANE_CRASH_LOG", logMutations ? log_.c_str() : nullptr);
    const std::string line = "\"" + windowsPathOf(INSTALLER_HOST_EXE) + "\" update --base-url " + served_.url +
                             " --auth-path /auth --install-path " + folder_ + " " + scenario_.names;
    ProcessResult result = runProcess(widen(line));
    ::SetEnvironmentVariableA("CORVANE_CRASH_AT", nullptr);
    ::SetEnvironmentVariableA("CORVANE_CRASH_LOG", nullptr);
    return result;
  }

  // The uninterrupted run: the mutations it makes (one log line each: number and kind)
  // and its result.
  std::vector<std::string> listMutations(Installation& expected) const {
    prepare();
    ::DeleteFileA(log_.c_str());
    const ProcessResult result = firstCall(std::nullopt, true);
    if (result.exitCode != 0) throw std::runtime_error(std::string(scenario_.name) + ": " + result.output);
    if (scenario_.heldLibrary && call(std::nullopt, false).exitCode != 0) {
      throw std::runtime_error(std::string(scenario_.name) + ": the call after the release failed");
    }
    expected = inspect(scenario_, folder_, temporary_);
    std::istringstream log(readFile(log_));
    std::vector<std::string> kinds;
    for (std::string line; std::getline(log, line);) kinds.push_back(line.substr(line.find(' ') + 1));
    return kinds;
  }

  // Kills the call at one point, makes it again, and returns what differs from `expected`.
  std::vector<std::string> killAndRepair(const std::string& killAt, const Installation& expected) const {
    prepare();
    const ProcessResult killed = firstCall(killAt, false);
    if (killed.exitCode != kKilledExitCode) {
      return {"the kill point was not reached (exit " + std::to_string(killed.exitCode) + ")"};
    }
    const ProcessResult repaired = call(std::nullopt, false);
    if (repaired.exitCode != 0) return {"the repeated call failed: " + repaired.output};
    return differences(expected, inspect(scenario_, folder_, temporary_));
  }

 private:
  static std::string slug(std::string name) {
    for (char& c : name) {
      if (!std::isalnum(static_cast<unsigned char>(c))) c = '-';
    }
    return name;
  }

  const Scenario& scenario_;
  ServedDirectory served_;
  std::string folder_, temporary_, log_;
};

// "3 x extract file, 1 x replace list, ..." in the order each kind first occurs.
std::string summary(const std::vector<std::string>& kinds) {
  std::vector<std::pair<std::string, size_t>> counted;
  for (const std::string& kind : kinds) {
    auto it = std::find_if(counted.begin(), counted.end(), [&](const auto& c) { return c.first == kind; });
    if (it == counted.end()) counted.emplace_back(kind, 1);
    else ++it->second;
  }
  std::string text;
  for (const auto& [kind, count] : counted) text += (text.empty() ? "" : ", ") + std::to_string(count) + " x " + kind;
  return text.empty() ? "none" : text;
}

// The list is written once per change of its text and never again with the same text: no
// write at all for a call that changes nothing.
TEST(CrashConsistency, TheListIsWrittenOncePerChange) {
  ASSERT_TRUE(componentServerAvailable()) << "run under scripts/crash or scripts/test";
  ASSERT_EQ(0u, regsvr32(serverDllPath()));
  for (const Scenario& scenario : scenarios()) {
    Installation expected;
    const std::vector<std::string> kinds = CrashRunner(scenario).listMutations(expected);
    EXPECT_EQ(scenario.listWrites, static_cast<size_t>(std::count(kinds.begin(), kinds.end(), "replace list")))
        << scenario.name << ": " << summary(kinds);
  }
}

TEST(CrashConsistency, EveryKillPointIsRepairedByTheNextCall) {
  ASSERT_TRUE(componentServerAvailable()) << "run under scripts/crash or scripts/test";
  ASSERT_EQ(0u, regsvr32(serverDllPath()));
  const auto start = std::chrono::steady_clock::now();
  std::printf("%-28s %-7s %12s %19s\n", "scenario", "mode", "kill points", "invariant failures");
  size_t totalPoints = 0, totalFailures = 0;
  std::map<std::string, std::string> mutationKinds;
  for (const Scenario& scenario : scenarios()) {
    const CrashRunner runner(scenario);
    Installation expected;
    const std::vector<std::string> kinds = runner.listMutations(expected);
    const size_t mutations = kinds.size();
    mutationKinds[scenario.name] = summary(kinds);
    EXPECT_TRUE(expected.problems.empty()) << scenario.name << ": the uninterrupted run itself breaks an invariant";
    for (const char* mode : {"before", "after"}) {
      size_t failures = 0;
      for (size_t n = 1; n <= mutations; ++n) {
        const std::string killAt = std::string(mode) + ":" + std::to_string(n);
        const std::vector<std::string> found = runner.killAndRepair(killAt, expected);
        if (found.empty()) continue;
        ++failures;
        std::string text;
        for (const std::string& f : found) text += "\n    " + f;
        ADD_FAILURE() << scenario.name << ", killed " << killAt << ":" << text;
      }
      std::printf("%-28s %-7s %12zu %19zu\n", scenario.name, mode, mutations, failures);
      std::fflush(stdout);
      totalPoints += mutations;
      totalFailures += failures;
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%-28s %-7s %12zu %19zu   (%.0f s)\n", "all", "both", totalPoints, totalFailures, seconds);
  for (const auto& [name, kinds] : mutationKinds) std::printf("  %s: %s\n", name.c_str(), kinds.c_str());
  EXPECT_EQ(0u, totalFailures);
}

}  // namespace
}  // namespace corvane::testing
