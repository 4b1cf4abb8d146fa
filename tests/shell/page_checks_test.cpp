// What a page hands the control, checked natively: allow-list entries and URLs, the page
// lock's decision, and the settings that reach the wire.
#include <gtest/gtest.h>

#include "base/origin.h"
#include "shell/page_lock.h"
#include "shell/wire_settings.h"

namespace corvane {
namespace {

TEST(OriginEntry, OnlyTheThreeFormsParse) {
  struct Row {
    const char* entry;
    bool secure;
    const char* host;
    unsigned port;
  };
  const Row good[] = {{"https://pages.example", true, "pages.example", 443},
                      {"https://Pages.Example:8443", true, "Pages.Example", 8443},
                      {"http://127.0.0.1:8080", false, "127.0.0.1", 8080},
                      {"https://a-b.c:1", true, "a-b.c", 1}};
  for (const Row& row : good) {
    const std::optional<Origin> origin = parseOriginEntry(row.entry);
    ASSERT_TRUE(origin) << row.entry;
    EXPECT_EQ(row.secure, origin->secure) << row.entry;
    EXPECT_EQ(row.host, origin->host) << row.entry;
    EXPECT_EQ(row.port, origin->port) << row.entry;
  }
  for (const char* entry : {"", "pages.example", "http://pages.example", "https://pages.example/",
                            "https://pages.example:0", "https://pages.example:65536", "https://pages.example:",
                            "HTTPS://pages.example", "ftp://pages.example:21", "https://user@pages.example",
                            "https://pages.example:443/x", "https://", "https://pa ges.example", "https://*.example",
                            " https://pages.example", "https://pages.example:80x", "https://[::1]",
                            "http://[::1]:8080", "https://pages.example:4294967739", "http://a.example:000080"}) {
    EXPECT_FALSE(parseOriginEntry(entry)) << entry;
  }
}

TEST(SameOrigin, NeedsSchemePortAndHostToAgree) {
  const Origin base{false, "Example.COM", 80};
  EXPECT_TRUE(sameOrigin(base, Origin{false, "example.com", 80}));
  EXPECT_FALSE(sameOrigin(base, Origin{true, "example.com", 80}));
  EXPECT_FALSE(sameOrigin(base, Origin{false, "example.com", 8080}));
  EXPECT_FALSE(sameOrigin(base, Origin{false, "example.org", 80}));
  EXPECT_FALSE(sameOrigin(base, Origin{false, "example.com.evil", 80}));
  EXPECT_FALSE(sameOrigin(base, Origin{false, "", 80}));
}

TEST(OriginList, SemicolonsSeparateAndOneBadEntrySpoilsTheList) {
  EXPECT_EQ(2u, parseOriginList("https://a.example;http://b.example:81;").value().size());
  EXPECT_TRUE(parseOriginList("").value().empty());
  EXPECT_FALSE(parseOriginList("https://a.example;http://b.example"));
}

TEST(HttpUrl, OriginOfADocumentAsBrowsersReadIt) {
  struct Row {
    const char* url;
    const char* host;  // nullptr: no origin
    unsigned port;
    bool userInfo;
  };
  const Row rows[] = {
      {"https://pages.example/install.html?x#y", "pages.example", 443, false},
      {"HTTP://Pages.Example:8080", "Pages.Example", 8080, false},
      {"http://pages.example/", "pages.example", 80, false},
      {"https://listed.example@foreign.example/", "foreign.example", 443, true},
      {"https://a:b@c.example:99/", "c.example", 99, true},
      {"https://foreign.example\\@listed.example/", "foreign.example", 443, false},
      {"https://a@b@pages.example/", "pages.example", 443, true},
      {"https://pages.example:00443/", "pages.example", 443, false},
      {"https://[::1]:8443/", nullptr, 0, false},
      {"http://[::1]/", nullptr, 0, false},
      {"https://pages.example:4294967739/", nullptr, 0, false},
      {"https://pages.example:000443/", nullptr, 0, false},
      {"https://pages.example:/", nullptr, 0, false},
      {"https://pages.example?q=@x", "pages.example", 443, false},
      {"file:///C:/page.html", nullptr, 0, false},
      {"about:blank", nullptr, 0, false},
      {"javascript:alert(1)", nullptr, 0, false},
      {"https://", nullptr, 0, false},
      {"https://pages.example:0/", nullptr, 0, false},
      {"https://pages.example:99999/", nullptr, 0, false},
      {"https://pages.example /", nullptr, 0, false},
      {"https://pages.example/\r\nX: 1", nullptr, 0, false},
      {"https://pages%2Eexample/", nullptr, 0, false},
      {"https://pages.example:80:81/", nullptr, 0, false},
  };
  for (const Row& row : rows) {
    const std::optional<UrlAuthority> parts = parseHttpUrl(row.url);
    if (row.host == nullptr) {
      EXPECT_FALSE(parts) << row.url;
      continue;
    }
    ASSERT_TRUE(parts) << row.url;
    EXPECT_EQ(row.host, parts->origin.host) << row.url;
    EXPECT_EQ(row.port, parts->origin.port) << row.url;
    EXPECT_EQ(row.userInfo, parts->hasUserInfo) << row.url;
  }
}

TEST(PageLock, DecidesByDocumentOriginAndByWhatTheSiteIs) {
  const char list[] = "https://pages.example;http://127.0.0.1:8080";
  struct Row {
    const char* label;
    PageEvidence evidence;
    bool allowed;
  };
  const Row rows[] = {
      {"no site", {false, std::nullopt, false}, true},
      {"listed page", {true, std::string("https://PAGES.example/a.html"), true}, true},
      {"listed http page", {true, std::string("http://127.0.0.1:8080/"), true}, true},
      {"listed host, other port", {true, std::string("https://pages.example:8443/"), true}, false},
      {"listed host, other scheme", {true, std::string("http://pages.example/"), true}, false},
      {"foreign page", {true, std::string("https://foreign.example/"), true}, false},
      {"listed name as user", {true, std::string("https://pages.example@foreign.example/"), true}, false},
      {"document without http origin", {true, std::string("file:///C:/x.html"), true}, false},
      {"unreadable document url", {true, std::string(), true}, false},
      {"browser, no document", {true, std::nullopt, true}, false},
      {"neither browser nor container", {true, std::nullopt, false}, true},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.allowed, pageAllowed(row.evidence, list)) << row.label;
  }
  EXPECT_TRUE(pageAllowed({true, std::string("https://foreign.example/"), true}, "")) << "no lock in this build";
  EXPECT_FALSE(pageAllowed({true, std::string("https://pages.example/"), true}, "pages.example"))
      << "a list that does not parse refuses every page";
}

TEST(WireSettings, BaseUrlMustBeAPlainHttpUrlWithAHost) {
  for (const char* url : {"http://127.0.0.1:9/base/", "https://components.example/client/", "HTTPS://c.example",
                          "http://c.example/a%20b/"}) {
    EXPECT_TRUE(baseUrlFitsTheWire(url)) << url;
  }
  for (const char* url : {"", "file:///C:/x/", "ftp://c.example/", "javascript:alert(1)", "http://", "http:///x/",
                          "http://user@c.example/", "http://user:pw@c.example/", "http://c.example/a b/",
                          "http://c.example/\r\nX-Evil: 1", "http://c.example/\t", "http://c.example/\x7F",
                          "http://c.\xE9xample/", "c.example/", "//c.example/", "http://c.example:0/",
                          "http://c.example:65536/", "http://c.example\\x/", "http://[::1]:8080/",
                          "http://c.example:000080/",
                          // The catalog's name would become part of the query or fragment.
                          "http://c.example/a?b=c&d=%20", "http://c.example/get?file=", "http://c.example/x#",
                          "http://c.example/#/"}) {
    EXPECT_FALSE(baseUrlFitsTheWire(url)) << url;
  }
}

TEST(WireSettings, AuthPathMustBeAnAbsolutePathOfPrintableAscii) {
  for (const char* path : {"/auth", "/auth/session.cgi?x=1", "/"}) EXPECT_TRUE(authPathFitsTheWire(path)) << path;
  for (const char* path : {"", "auth.php", "/auth/session.cgi HTTP/1.1\r\nX-Evil: 1", "/a b", "/a\tb", "/a\x80",
                           "/a\x7F", "http://other.example/auth"}) {
    EXPECT_FALSE(authPathFitsTheWire(path)) << path;
  }
}

}  // namespace
}  // namespace corvane
