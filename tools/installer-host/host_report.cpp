#include "tools/installer-host/host_report.h"

#include <algorithm>
#include <cstdio>

namespace corvane {
namespace {

const HostOutcome* outcomeOf(const std::vector<HostOutcome>& outcomes, const std::string& name) {
  for (const HostOutcome& outcome : outcomes) {
    if (outcome.name == name) return &outcome;
  }
  return nullptr;
}

std::string bytesText(double bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB"};
  size_t unit = 0;
  while (bytes >= 1024 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
  return text;
}

}  // namespace

std::vector<std::string> namedComponents(const std::string& names) {
  std::vector<std::string> named;
  size_t start = 0;
  while (start < names.size()) {
    size_t comma = names.find(',', start);
    if (comma == std::string::npos) comma = names.size();
    const std::string name = names.substr(start, comma - start);
    if (std::find(named.begin(), named.end(), name) == named.end()) named.push_back(name);
    start = comma + 1;
  }
  return named;
}

bool allInPlace(const std::vector<std::string>& asked, const std::vector<HostOutcome>& outcomes) {
  for (const std::string& name : asked) {
    const HostOutcome* outcome = outcomeOf(outcomes, name);
    if (!outcome || (outcome->result != kOutcomeDone && outcome->result != kOutcomeAlreadyCurrent)) return false;
  }
  return true;
}

std::string outcomeLine(const char* kind, const HostOutcome& outcome) {
  return std::string(kind) + " " + outcome.name + ": " + std::to_string(outcome.result) + " (" + outcome.detail + ")";
}

std::string progressLine(const std::string& name, double received, double total, double seconds) {
  std::string line = name + "  " + bytesText(received);
  if (total >= 0) {
    char percent[16];
    std::snprintf(percent, sizeof percent, "%3.0f%%", total > 0 ? received * 100 / total : 100.0);
    line += " of " + bytesText(total) + "  " + percent;
  }
  if (seconds > 0) line += "  " + bytesText(received / seconds) + "/s";
  return line;
}

std::string jsonString(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (byte < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      quoted += escape;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

std::string outcomeJson(const HostOutcome& outcome, bool certificate) {
  const bool inPlace =
      outcome.result == kOutcomeDone || (!certificate && outcome.result == kOutcomeAlreadyCurrent);
  return "{\"name\":" + jsonString(outcome.name) + ",\"result\":" + std::to_string(outcome.result) +
         ",\"detail\":" + jsonString(outcome.detail) + ",\"inPlace\":" + (inPlace ? "true" : "false") + "}";
}

}  // namespace corvane
