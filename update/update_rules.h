// The update driver's decisions, free of platform calls so they can be tested natively.
#pragma once

#include <string>
#include <vector>

#include "update/component_list.h"

namespace corvane {

// Negative when a is older than b, zero when equal, positive when newer; the four
// numbers are compared in order as signed values.
int compareVersions(const ComponentRecord& a, const ComponentRecord& b);

// Replaces every "%ProgramFiles%" (any letter case) by the folder; inserted text is
// never searched again, and a percent sign that starts no token stays as it is.
std::string expandInstallPath(const std::string& installPath, const std::string& programFiles);

// Splits at every comma without trimming; a trailing comma adds no name, and an empty
// or absent argument names nothing.
std::vector<std::string> splitComponentNames(const std::string* componentsArg);

// Marks each local record Current or Stale against the catalog, and the catalog record
// it matches Current, so that it is not chosen again.
void markLocalRecords(ComponentList& local, ComponentList& catalog);

// For each name in order, the first catalog record of that name that is still New and
// whose file may be placed under the installation path (records that may not are passed
// over). Each record is chosen once however often its name is given, so the work of one
// call is bounded by the catalog, not by the length of the argument.
ComponentList selectComponents(const std::vector<std::string>& names, const ComponentList& catalog,
                               const std::string& installPath, unsigned codePage);

// Whether installPath + file names a file that stays inside the installation directory
// and fits the platform's path limit; both are in `codePage`.
bool installedPathUsable(const std::string& installPath, const std::string& file, unsigned codePage);

// Whether the longest path a call makes directly inside installPath (the list's temporary
// name beside `listFileName`, a component's temporary name) fits the platform's path limit:
// otherwise a file could be installed that its list can never record.
bool installPathLeavesRoom(const std::string& installPath, const std::string& listFileName);

}  // namespace corvane
