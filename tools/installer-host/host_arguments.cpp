#include "tools/installer-host/host_arguments.h"

namespace corvane {

const char kHostSynopsis[] =
    "usage: installer-host update [--verbose] [--json] --base-url URL --auth-path PATH --install-path DIR NAMES\n"
    "       installer-host certificate [--verbose] [--json] --base-url URL --auth-path PATH FILE\n"
    "       installer-host help\n";

const char kHostUsage[] =
    "usage:\n"
    "  installer-host update [--verbose] [--json] --base-url URL --auth-path PATH --install-path DIR NAMES\n"
    "      Brings the components named in NAMES (comma-separated) up to date in DIR from the\n"
    "      component server at URL, prints one line per named component (its outcome code\n"
    "      and why) and the result (1: something was chosen for installation, 0: nothing).\n"
    "      DIR should end with a backslash; %ProgramFiles% in it stands for the Program\n"
    "      Files folder.\n"
    "  installer-host certificate [--verbose] [--json] --base-url URL --auth-path PATH FILE\n"
    "      Fetches FILE (a DER certificate) from the server, adds it to the current user's\n"
    "      TrustedPublisher store and prints the outcome.\n"
    "\n"
    "  installer-host help\n"
    "      Prints this text (so do --help, -h and /?).\n"
    "\n"
    "On a terminal each download draws a progress line (name, bytes, percent, rate).\n"
    "Outcome codes: 0 installed (or added), 100 already current, 1-99 the download's\n"
    "result, 101 not in the catalog, 102 catalog unreadable, 103 not extracted, 104 not\n"
    "vouched for by the signed manifest, 105 library did not register, 106 certificate\n"
    "not added, 107 components.txt not written, 108 file may not be placed, 109 not tried,\n"
    "110 old copy not replaced (in use) or new copy not recorded.\n"
    "--json prints one JSON object instead: the command, the result (or the error) and\n"
    "every named component's (or the certificate's) name, result, detail and inPlace.\n"
    "--verbose prints, after the result, the control's diagnostic log of the call: the\n"
    "catalog read, each deletion, download (with its result, HTTP status and size),\n"
    "extraction, registration and list write. The same log goes to any file named by the\n"
    "environment variable CORVANE_INSTALLER_LOG.\n"
    "PATH is the path, on the server, of the script that answers the session handshake.\n"
    "The control must be registered (regsvr32 VARuDevavuzez.dll) for the same architecture\n"
    "as this program.\n"
    "\n"
    "Exit status:\n"
    "  0   the call returned and everything asked for is in place: every named component\n"
    "      installed or already current at the catalog's version, or the certificate added\n"
    "  1   the call returned, but a named component is not in place or the certificate\n"
    "      was not added (the outcome lines say which and why)\n"
    "  2   the control refused the call; its error description is printed\n"
    "  3   the control could not be created: not registered, or built for another\n"
    "      architecture; or COM could not be started\n"
    "  64  the command line is wrong; the problem and a short usage are printed\n";

std::optional<HostArguments> parseHostArguments(const std::vector<std::string>& arguments, std::string& problem) {
  problem.clear();
  if (arguments.empty()) {
    problem = "missing command";
    return std::nullopt;
  }
  for (const std::string& argument : arguments) {
    if (argument == "--help" || argument == "-h" || argument == "/?") return std::nullopt;
  }
  if (arguments[0] == "help") return std::nullopt;
  HostArguments parsed;
  if (arguments[0] == "update") {
    parsed.command = HostCommand::Update;
  } else if (arguments[0] == "certificate") {
    parsed.command = HostCommand::Certificate;
  } else {
    problem = "unknown command '" + arguments[0] + "'";
    return std::nullopt;
  }
  bool haveBase = false, haveAuth = false, havePath = false, haveOperand = false;
  for (size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    auto takeValue = [&](std::string& into, bool& seen) {
      if (i + 1 >= arguments.size()) {
        problem = argument + " needs a value";
        return false;
      }
      // "--base-url --auth-path /a" most likely lost the URL: reading the option as the
      // value would report the wrong argument later.
      if (arguments[i + 1].rfind("--", 0) == 0) {
        problem = argument + " needs a value, but the next argument is the option " + arguments[i + 1];
        return false;
      }
      into = arguments[++i];
      seen = true;
      return true;
    };
    if (argument == "--verbose" || argument == "-v") {
      parsed.verbose = true;
    } else if (argument == "--json") {
      parsed.json = true;
    } else if (argument == "--base-url") {
      if (!takeValue(parsed.baseUrl, haveBase)) return std::nullopt;
    } else if (argument == "--auth-path") {
      if (!takeValue(parsed.authPath, haveAuth)) return std::nullopt;
    } else if (argument == "--install-path" && parsed.command == HostCommand::Update) {
      if (!takeValue(parsed.installPath, havePath)) return std::nullopt;
    } else if (argument.rfind("--", 0) == 0) {
      problem = "unknown option " + argument;
      return std::nullopt;
    } else if (!haveOperand) {
      parsed.operand = argument;
      haveOperand = true;
    } else {
      problem = "unexpected argument '" + argument + "'";
      return std::nullopt;
    }
  }
  if (!haveBase) problem = "--base-url is required";
  else if (!haveAuth) problem = "--auth-path is required";
  else if (parsed.command == HostCommand::Update && !havePath) problem = "--install-path is required";
  else if (!haveOperand) problem = parsed.command == HostCommand::Update ? "NAMES is required" : "FILE is required";
  if (!problem.empty()) return std::nullopt;
  return parsed;
}

}  // namespace corvane
