// The allowed-origin list of hardened builds.
#include <gtest/gtest.h>

#include "shell/server_allowlist.h"

namespace corvane {
namespace {

TEST(ServerAllowList, EntriesOfTheThreeFormsAndNoOther) {
  struct Case {
    const char* entry;
    bool valid;
    const char* scheme;
    const char* host;
    unsigned int port;
  } cases[] = {
      {"https://components.example.com", true, "https", "components.example.com", 443},
      {"https://components.example.com:8443", true, "https", "components.example.com", 8443},
      {"http://10.0.0.5:8080", true, "http", "10.0.0.5", 8080},
      {"https://a:65535", true, "https", "a", 65535},
      {"http://components.example.com", false},  // plain http must name its port
      {"components.example.com", false},         // the old host-only form
      {"ftp://host:21", false},
      {"HTTPS://host", false},
      {"https://", false},
      {"https://:443", false},
      {"https://host:", false},
      {"https://host:0", false},
      {"https://host:65536", false},
      {"https://host:080", false},
      {"https://host:+80", false},
      {"https://host/", false},
      {"https://host:443/", false},
      {"https://user@host", false},
      {"https://ho st", false},
      {"http://[::1]:80", false},
  };
  for (const Case& c : cases) {
    const std::optional<ServerOrigin> origin = parseOriginEntry(c.entry);
    ASSERT_EQ(c.valid, origin.has_value()) << c.entry;
    if (!origin) continue;
    EXPECT_EQ(c.scheme, origin->scheme) << c.entry;
    EXPECT_EQ(c.host, origin->host) << c.entry;
    EXPECT_EQ(c.port, origin->port) << c.entry;
  }
}

TEST(ServerAllowList, AnEmptyListAllowsEveryServerAndABrokenOneNone) {
  EXPECT_TRUE(originInAllowList({"http", "anything.example", 80}, ""));
  EXPECT_TRUE(originInAllowList({"", "", 0}, ";;")) << "separators alone name no server";
  EXPECT_FALSE(originInAllowList({"https", "host", 443}, "https://host;host"));
  EXPECT_FALSE(parseOriginList("https://host;host").has_value());
  EXPECT_EQ(2u, parseOriginList(";https://a;;http://b:1;").value().size());
}

TEST(ServerAllowList, AnOriginMatchesInSchemeHostAndPort) {
  const char list[] = "https://components.example.com;http://127.0.0.1:8080";
  struct Case {
    ServerOrigin origin;
    bool allowed;
  } cases[] = {
      {{"https", "components.example.com", 443}, true},
      {{"https", "Components.EXAMPLE.com", 443}, true},
      {{"http", "127.0.0.1", 8080}, true},
      {{"http", "components.example.com", 443}, false},   // downgraded to plain http
      {{"http", "components.example.com", 80}, false},
      {{"https", "components.example.com", 8443}, false}, // another port
      {{"https", "127.0.0.1", 8080}, false},
      {{"http", "127.0.0.1", 8081}, false},
      {{"http", "127.0.0.11", 8080}, false},
      {{"https", "components.example.com.evil", 443}, false},
      {{"https", "example.com", 443}, false},
      {{"", "", 0}, false},  // a URL that could not be parsed
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.allowed, originInAllowList(c.origin, list))
        << c.origin.scheme << "://" << c.origin.host << ":" << c.origin.port;
  }
}

}  // namespace
}  // namespace corvane
