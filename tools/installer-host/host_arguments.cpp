#include "tools/installer-host/host_arguments.h"

namespace corvane {

const char kHostSynopsis[] =
    "usage: installer-host update [--verbose] --base-url URL --auth-path PATH --install-path DIR NAMES\n"
    "       installer-host certificate [--verbose] --base-url URL --auth-path PATH FILE\n"
    "       installer-host help\n";

const char kHostUsage[] =
    "usage:\n"
    "  installer-host update [--verbose] --base-url URL --auth-path PATH --install-path DIR NAMES\n"
    "      Brings the components named in NAMES (comma-separated) up to date in DIR from the\n"
    "      component server at URL and prints the result (1: something was chosen for\n"
    "      installation, 0: nothing). DIR should end with a backslash; %ProgramFiles% in it\n"
    "      stands for the Program Files folder.\n"
    "  installer-host certificate [--verbose] --base-url URL --auth-path PATH FILE\n"
    "      Fetches FILE (a DER certificate) from the server and adds it to the current\n"
    "      user's TrustedPublisher store.\n"
    "\n"
    "  installer-host help\n"
    "      Prints this text (so do --help, -h and /?).\n"
    "\n"
    "--verbose prints, after the result, the control's diagnostic log of the call: the\n"
    "catalog read, each deletion, download (with its result, HTTP status and size),\n"
    "extraction, registration and list write. The same log goes to any file named by the\n"
    "environment variable CORVANE_INSTALLER_LOG.\n"
    "PATH is the path, on the server, of the script that answers the session handshake.\n"
    "The control must be registered (regsvr32 VARuDevavuzez.dll) for the same architecture\n"
    "as this program.\n"
    "\n"
    "Exit status:\n"
    "  0   the call returned; its result is printed (failures after the control's checks\n"
    "      show only in their effects: files, components.txt, the certificate store)\n"
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
