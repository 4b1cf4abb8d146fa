#include "update/update_rules.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "base/ascii.h"
#include "update/consistency_rules.h"
#include "update/path_rules.h"

namespace corvane {
namespace {
// MAX_PATH with its terminator: longer paths would be cut or refused by the ANSI calls.
constexpr size_t kMaxPathBytes = 260;
constexpr char kProgramFilesToken[] = "%ProgramFiles%";
constexpr size_t kTokenLength = sizeof(kProgramFilesToken) - 1;

bool equalsTokenIgnoringCase(const std::string& text, size_t at) {
  if (text.size() - at < kTokenLength) return false;
  return equalsIgnoringAsciiCase(std::string_view(text).substr(at, kTokenLength), kProgramFilesToken);
}
}  // namespace

int compareVersions(const ComponentRecord& a, const ComponentRecord& b) {
  for (size_t i = 0; i < a.version.size(); ++i) {
    if (a.version[i] < b.version[i]) return -1;
    if (a.version[i] > b.version[i]) return 1;
  }
  return 0;
}

std::string expandInstallPath(const std::string& installPath, const std::string& programFiles) {
  std::string expanded;
  expanded.reserve(installPath.size());
  size_t at = 0;
  while (at < installPath.size()) {
    if (installPath[at] == '%' && equalsTokenIgnoringCase(installPath, at)) {
      expanded += programFiles;
      at += kTokenLength;
    } else {
      expanded += installPath[at];
      ++at;
    }
  }
  return expanded;
}

std::vector<std::string> splitComponentNames(const std::string* componentsArg) {
  std::vector<std::string> names;
  if (componentsArg == nullptr || componentsArg->empty()) return names;
  size_t start = 0;
  while (start < componentsArg->size()) {
    const size_t comma = componentsArg->find(',', start);
    if (comma == std::string::npos) {
      names.push_back(componentsArg->substr(start));
      break;
    }
    names.push_back(componentsArg->substr(start, comma - start));
    start = comma + 1;
  }
  return names;
}

void markLocalRecords(ComponentList& local, ComponentList& catalog) {
  // The first catalog record of each name, looked up once per local record: a call over
  // hundreds of installed components stays linear.
  std::unordered_map<std::string_view, ComponentRecord*> firstOffered;
  for (const auto& offered : catalog) firstOffered.emplace(offered->name, offered.get());
  for (const auto& record : local) {
    ComponentRecord& installed = *record;
    installed.state = Stale;
    const auto found = firstOffered.find(installed.name);
    if (found == firstOffered.end()) continue;
    ComponentRecord& offered = *found->second;
    // A newer local copy stays installed; the older catalog one is not chosen.
    if (compareVersions(installed, offered) >= 0) {
      installed.state = Current;
      offered.state = Current;
    }
  }
}

ComponentList selectComponents(const std::vector<std::string>& names, const ComponentList& catalog,
                               const std::string& installPath, unsigned codePage) {
  ComponentList selection;
  // A repeated name would choose the record its first mention chose, or nothing.
  std::unordered_set<std::string_view> seen;
  for (const std::string& name : names) {
    if (!seen.insert(name).second) continue;
    for (size_t j = 0; j < catalog.length(); ++j) {
      const auto& offered = catalog.at(j);
      if (offered->name != name || offered->state != New) continue;
      if (!installedPathUsable(installPath, offered->file, codePage)) continue;
      selection.append(offered);
      break;
    }
  }
  return selection;
}

bool installedPathUsable(const std::string& installPath, const std::string& file, unsigned codePage) {
  return isSafeRelativeName(file, codePage) && installPath.size() + file.size() < kMaxPathBytes;
}

bool installPathLeavesRoom(const std::string& installPath, const std::string& listFileName) {
  const size_t longest = std::max(temporaryListName(listFileName, 0).size(), temporaryFileName(0).size());
  return installPath.size() + longest < kMaxPathBytes;
}

}  // namespace corvane
