// installer-host's command line.
#include <gtest/gtest.h>

#include <cstring>

#include "tools/installer-host/host_arguments.h"

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
