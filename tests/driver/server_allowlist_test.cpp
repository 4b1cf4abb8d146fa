// The allowed-origin list of hardened builds.
#include <gtest/gtest.h>

#include "shell/server_allowlist.h"

namespace corvane::testing {
namespace {

TEST(ServerAllowList, AnEmptyListAllowsEveryServerAndABrokenOneNone) {
  EXPECT_TRUE(originInAllowList(Origin{false, "anything.example", 80}, ""));
  EXPECT_TRUE(originInAllowList(std::nullopt, ";;")) << "separators alone name no server";
  EXPECT_FALSE(originInAllowList(Origin{true, "host", 443}, "https://host;host"));
}

TEST(ServerAllowList, AnOriginMatchesInSchemeHostAndPort) {
  const char list[] = "https://components.example.com;http://127.0.0.1:8080";
  struct Case {
    std::optional<Origin> origin;  // secure, host, port; nullopt: a URL without one
    bool allowed;
  } cases[] = {
      // The list itself refuses a URL it cannot read, whatever refused it before.
      {std::nullopt, false},
      {Origin{true, "components.example.com", 443}, true},
      {Origin{true, "Components.EXAMPLE.com", 443}, true},
      {Origin{false, "127.0.0.1", 8080}, true},
      {Origin{false, "components.example.com", 443}, false},   // downgraded to plain http
      {Origin{false, "components.example.com", 80}, false},
      {Origin{true, "components.example.com", 8443}, false},   // another port
      {Origin{true, "127.0.0.1", 8080}, false},
      {Origin{false, "127.0.0.1", 8081}, false},
      {Origin{false, "127.0.0.11", 8080}, false},
      {Origin{true, "components.example.com.evil", 443}, false},
      {Origin{true, "example.com", 443}, false},
  };
  for (const Case& c : cases) {
    const Origin shown = c.origin.value_or(Origin{false, "(no origin)", 0});
    EXPECT_EQ(c.allowed, originInAllowList(c.origin, list))
        << (shown.secure ? "https://" : "http://") << shown.host << ":" << shown.port;
  }
}

}  // namespace
}  // namespace corvane::testing
