// What installer-host makes of a call's outcome events: the exit status, the lines a
// person reads and the JSON a script reads. Free of platform calls.
#pragma once

#include <string>
#include <vector>

namespace corvane {

// One ComponentDone or CertificateDone as the control raised it.
struct HostOutcome {
  std::string name;
  long result = 0;
  std::string detail;
};

constexpr long kOutcomeDone = 0;
constexpr long kOutcomeAlreadyCurrent = 100;

// The names NAMES asks for, split as the control splits them (at every comma, nothing
// trimmed, no name after a trailing comma), each once.
std::vector<std::string> namedComponents(const std::string& names);

// Whether everything asked for is in place: every named component installed or already
// current, or the certificate added. A name the control told nothing of is not in place.
bool allInPlace(const std::vector<std::string>& asked, const std::vector<HostOutcome>& outcomes);

// "component data: 0 (installed data.txt at 2.0.0.0)"
std::string outcomeLine(const char* kind, const HostOutcome& outcome);

// "data  1.2 MiB of 4.0 MiB  30%  2.5 MiB/s", the rate from the seconds since the first
// report; a total below 0 is unknown.
std::string progressLine(const std::string& name, double received, double total, double seconds);

std::string jsonString(const std::string& text);
// {"name":"data","result":0,"detail":"...","inPlace":true}
std::string outcomeJson(const HostOutcome& outcome, bool certificate);

}  // namespace corvane
