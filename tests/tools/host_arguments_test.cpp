// installer-host's command line.
#include <gtest/gtest.h>

#include <cstring>

#include "tools/installer-host/host_arguments.h"
#include "tools/installer-host/host_report.h"

namespace corvane::testing {
namespace {

std::optional<HostArguments> parse(std::vector<std::string> arguments, std::string& problem) {
  return parseHostArguments(arguments, problem);
}

TEST(HostArguments, UpdateTakesAllThreeSettingsAndTheNames) {
  std::string problem;
  const auto parsed = parse({"update", "--install-path", "C:\\x\\", "--base-url", "http://h/", "--auth-path",
                             "/a", "alpha,beta"},
                            problem);
  ASSERT_TRUE(parsed) << problem;
  EXPECT_EQ(HostCommand::Update, parsed->command);
  EXPECT_EQ("http://h/", parsed->baseUrl);
  EXPECT_EQ("/a", parsed->authPath);
  EXPECT_EQ("C:\\x\\", parsed->installPath);
  EXPECT_EQ("alpha,beta", parsed->operand);
}

TEST(HostArguments, CertificateNeedsNoInstallPath) {
  std::string problem;
  const auto parsed = parse({"certificate", "--base-url", "u", "--auth-path", "a", "server.cer"}, problem);
  ASSERT_TRUE(parsed) << problem;
  EXPECT_EQ(HostCommand::Certificate, parsed->command);
  EXPECT_EQ("server.cer", parsed->operand);
  EXPECT_FALSE(parse({"certificate", "--base-url", "u", "--auth-path", "a", "--install-path", "d", "f"}, problem));
  EXPECT_EQ("unknown option --install-path", problem);
}

TEST(HostArguments, MissingPiecesAreNamed) {
  std::string problem;
  EXPECT_FALSE(parse({}, problem));
  EXPECT_EQ("missing command", problem);
  EXPECT_FALSE(parse({"install"}, problem));
  EXPECT_EQ("unknown command 'install'", problem);
  EXPECT_FALSE(parse({"update", "--auth-path", "a", "--install-path", "d", "n"}, problem));
  EXPECT_EQ("--base-url is required", problem);
  EXPECT_FALSE(parse({"update", "--base-url", "u", "--auth-path", "a", "--install-path", "d"}, problem));
  EXPECT_EQ("NAMES is required", problem);
  EXPECT_FALSE(parse({"update", "--base-url"}, problem));
  EXPECT_EQ("--base-url needs a value", problem);
  EXPECT_FALSE(parse({"certificate", "--base-url", "u", "--auth-path", "a", "f", "g"}, problem));
  EXPECT_EQ("unexpected argument 'g'", problem);
  EXPECT_FALSE(parse({"update", "--base-url", "--auth-path", "/a", "--install-path", "d", "n"}, problem));
  EXPECT_EQ("--base-url needs a value, but the next argument is the option --auth-path", problem);
}

TEST(HostArguments, HelpWinsAndIsNotAProblem) {
  std::string problem = "stale";
  EXPECT_FALSE(parse({"update", "--help"}, problem));
  EXPECT_TRUE(problem.empty());
  problem = "stale";
  EXPECT_FALSE(parse({"help"}, problem));
  EXPECT_TRUE(problem.empty());
  EXPECT_NE(nullptr, std::strstr(kHostUsage, "installer-host certificate"));
}

}  // namespace
}  // namespace corvane::testing

namespace corvane::testing {
namespace {

TEST(HostArguments, JsonIsAnOptionOfBothCommands) {
  std::string problem;
  const auto update = parseHostArguments({"update", "--json", "--base-url", "u", "--auth-path", "/a",
                                          "--install-path", "C:\\x\\", "n"},
                                         problem);
  ASSERT_TRUE(update) << problem;
  EXPECT_TRUE(update->json);
  const auto certificate = parseHostArguments({"certificate", "--base-url", "u", "--auth-path", "/a", "f"}, problem);
  ASSERT_TRUE(certificate) << problem;
  EXPECT_FALSE(certificate->json);
}

// Whether the call put in place everything NAMES asked for, with NAMES split as the control
// splits it.
TEST(HostReport, EverythingAskedForMustBeInPlace) {
  const std::vector<HostOutcome> outcomes = {{"a", 0, ""}, {"b", 100, ""}, {"c", 11, ""}, {" d", 101, ""}};
  const struct {
    const char* names;
    std::vector<std::string> split;
    bool inPlace;
  } cases[] = {
      {"a,b", {"a", "b"}, true},
      {"a,b,a,", {"a", "b"}, true},
      {"a,c", {"a", "c"}, false},
      {"a, d", {"a", " d"}, false},
      {"a,,b", {"a", "", "b"}, false},  // the empty name was told nothing
      {"x", {"x"}, false},
      {"", {}, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.split, namedComponents(c.names)) << c.names;
    EXPECT_EQ(c.inPlace, allInPlace(namedComponents(c.names), outcomes)) << c.names;
  }
}

TEST(HostReport, JsonAndLines) {
  EXPECT_EQ("\"a\\\"b\\\\c\\u000a\\u0001\xC3\xA9\"", jsonString("a\"b\\c\n\x01\xC3\xA9"));
  EXPECT_EQ("{\"name\":\"x\",\"result\":100,\"detail\":\"d\",\"inPlace\":true}", outcomeJson({"x", 100, "d"}, false));
  EXPECT_EQ("{\"name\":\"x\",\"result\":100,\"detail\":\"d\",\"inPlace\":false}", outcomeJson({"x", 100, "d"}, true));
  EXPECT_EQ("component x: 105 (why)", outcomeLine("component", {"x", 105, "why"}));
  EXPECT_EQ("pkg  1.5 MiB of 3.0 MiB   50%  768.0 KiB/s", progressLine("pkg", 1572864, 3145728, 2));
  EXPECT_EQ("pkg  100 B", progressLine("pkg", 100, -1, 0));
}

}  // namespace
}  // namespace corvane::testing
