// The allowed-server list of hardened builds.
#include <gtest/gtest.h>

#include "shell/server_allowlist.h"

namespace corvane::testing {
namespace {

TEST(ServerAllowList, EmptyListAllowsEveryHost) {
  EXPECT_TRUE(hostInAllowList("anything.example", ""));
  EXPECT_TRUE(hostInAllowList("", ""));
  EXPECT_TRUE(hostInAllowList("x", ";;")) << "separators alone name no host";
}

TEST(ServerAllowList, ListedHostsMatchWithoutRegardToCase) {
  const char list[] = "components.example.com;127.0.0.1";
  EXPECT_TRUE(hostInAllowList("components.example.com", list));
  EXPECT_TRUE(hostInAllowList("Components.EXAMPLE.com", list));
  EXPECT_TRUE(hostInAllowList("127.0.0.1", list));
  EXPECT_FALSE(hostInAllowList("example.com", list));
  EXPECT_FALSE(hostInAllowList("components.example.com.evil", list));
  EXPECT_FALSE(hostInAllowList("", list));
  EXPECT_FALSE(hostInAllowList("127.0.0.11", list));
}

}  // namespace
}  // namespace corvane::testing
