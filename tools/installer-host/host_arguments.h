// Command line of installer-host, parsed without platform calls.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace corvane {

enum class HostCommand { Update, Certificate };

struct HostArguments {
  HostCommand command = HostCommand::Update;
  std::string baseUrl;
  std::string authPath;
  std::string installPath;
  std::string operand;  // component names, or the certificate file name
  bool verbose = false; // print the control's diagnostic log of the call
  bool json = false;    // one JSON object on stdout instead of the lines for people
};

// The full help text, and the two-line reminder printed after a usage error.
extern const char kHostUsage[];
extern const char kHostSynopsis[];

// nullopt with an empty problem means help was asked for.
std::optional<HostArguments> parseHostArguments(const std::vector<std::string>& arguments, std::string& problem);

}  // namespace corvane
