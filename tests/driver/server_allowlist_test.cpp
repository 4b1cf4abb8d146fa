// The allowed-origin list of hardened builds.
#include <gtest/gtest.h>

#include "shell/server_allowlist.h"

namespace corvane::testing {
namespace {

TEST(ServerAllowList, AnEmptyListAllowsEveryServerAndABrokenOneNone) {
  EXPECT_TRUE(originInAllowList(Origin{false, "anything.example", 80}, ""));
  EXPECT_TRUE(originInAllowList(std::nullopt, ";;")) << "separators alone name no server";
  EXPECT_FALSE(originInAllowList(Origin{true, "host", 443}, "https://host;host"));
  EXPECT_FALSE(originInAllowList(std::nullopt, "https://host"));
}

TEST(ServerAllowList, AnOriginMatchesInSchemeHostAndPort) {
  const char list[] = "https://components.example.com;http://127.0.0.1:8080";
  struct Case {
    Origin origin;  // secure, host, port
    bool allowed;
  } cases[] = {
      {{true, "components.example.com", 443}, true},
      {{true, "Components.EXAMPLE.com", 443}, true},
      {{false, "127.0.0.1", 8080}, true},
      {{false, "components.example.com", 443}, false},   // downgraded to plain http
      {{false, "components.example.com", 80}, false},
      {{true, "components.example.com", 8443}, false},   // another port
      {{true, "127.0.0.1", 8080}, false},
      {{false, "127.0.0.1", 8081}, false},
      {{false, "127.0.0.11", 8080}, false},
      {{true, "components.example.com.evil", 443}, false},
      {{true, "example.com", 443}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.allowed, originInAllowList(c.origin, list))
        << (c.origin.secure ? "https://" : "http://") << c.origin.host << ":" << c.origin.port;
  }
}

}  // namespace
}  // namespace corvane::testing
