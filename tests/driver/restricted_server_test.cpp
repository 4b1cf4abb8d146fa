// A build with an allowed-origin list refuses every other BaseURL origin (another host,
// port or scheme) before it touches the network or the disk, and works as usual with a
// listed one.
#include <gtest/gtest.h>

#include <windows.h>
#include <wininet.h>

#include <optional>

#include "base/origin.h"
#include "support/text.h"
#include "tests/driver/driver_fixture.h"
#include "tests/driver/runtime_allowed_origins.h"
#include "shell/installer.h"
#include "shell/page_lock.h"
#include "shell/server_allowlist.h"
#include "support/wine_support.h"
#include "transfer/http_request.h"

namespace corvane::testing {
namespace {

class RestrictedServer : public ::testing::Test, public testing::JobTest {
 protected:
  RestrictedServer() : JobTest(::testing::UnitTest::GetInstance()->current_test_info()->name()) {}
  void SetUp() override {
    ASSERT_EQ(S_OK, Installer::createInstance(IID_IInstaller, installer.putVoid()));
    testing::allowedOriginsForTest = "https://components.example.test;http://127.0.0.1:" + port();
    publish("data.cab");
    publish("publisher.cer");
    publishCatalog("data,data.cab,data.txt,2.0.0.0,2,0\n");
    auto auth = makeBstr(L"/auth");
    auto path = makeBstr(widen(installPath).c_str());
    installer->put_AuthPath(auth.get());
    installer->put_InstallPath(path.get());
  }
  void setBaseUrl(const std::string& url) {
    auto value = makeBstr(widen(url).c_str());
    installer->put_BaseURL(value.get());
  }
  void TearDown() override { testing::allowedOriginsForTest.clear(); }
  static std::string port() {
    const std::string root = testing::componentServerUrl();  // http://127.0.0.1:PORT/
    return root.substr(root.rfind(':') + 1, root.size() - root.rfind(':') - 2);
  }
  // The served folder on another origin: the text "http://127.0.0.1:PORT" replaced.
  std::string onOrigin(const std::string& origin) const {
    const std::string root = testing::componentServerUrl();
    return origin + "/" + served.url.substr(root.size());
  }
  // The same server under another name: "localhost" instead of the listed address.
  std::string unlistedUrl() const { return onOrigin("http://localhost:" + port()); }
  // Both methods refuse the URL as BaseURL with the server message.
  void expectServerRefused(const std::string& url) {
    SCOPED_TRACE(url);
    setBaseUrl(url);
    int result = 7;
    auto names = makeBstr(L"data");
    EXPECT_EQ(DISP_E_EXCEPTION, installer->UpdateComponents(names.get(), &result));
    EXPECT_EQ(0, result);
    EXPECT_EQ(L"Server is not allowed", takeThreadErrorInfo().description);
    auto file = makeBstr(L"publisher.cer");
    EXPECT_EQ(DISP_E_EXCEPTION, installer->InstallCertificate(file.get()));
    EXPECT_EQ(L"Server is not allowed", takeThreadErrorInfo().description);
  }

  ComPtr<IInstaller> installer;
};

TEST_F(RestrictedServer, UnlistedOriginIsRefusedBeforeAnythingHappens) {
  const std::string otherPort = std::to_string(std::stoi(port()) == 65535 ? 1 : std::stoi(port()) + 1);
  for (const std::string& url :
       {unlistedUrl(), onOrigin("http://127.0.0.1:" + otherPort), onOrigin("https://127.0.0.1:" + port()),
        onOrigin("http://127.0.0.1"), onOrigin("http://components.example.test"),
        onOrigin("https://components.example.test:8443"), std::string("not a url"), std::string("")}) {
    expectServerRefused(url);
  }
  EXPECT_FALSE(pathExists(installPath)) << "not even the installation directory is made";
}

// The platform's own reading, to show that what is fetched is what was checked.
std::optional<Origin> platformOrigin(const char* url) {
  URL_COMPONENTSA parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = 1;
  if (!::InternetCrackUrlA(url, 0, 0, &parts) || parts.lpszHostName == nullptr) return std::nullopt;
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return std::nullopt;
  return Origin{parts.nScheme == INTERNET_SCHEME_HTTPS, std::string(parts.lpszHostName, parts.dwHostNameLength),
                parts.nPort};
}

std::string describe(const std::optional<Origin>& origin) {
  if (!origin) return "no origin";
  return (origin->secure ? "https " : "http ") + origin->host + " " + std::to_string(origin->port);
}

// One URL, one origin: the requests and the same-server rules (urlOrigin), the server
// allow-list, the page lock and WinINet itself see the same one, or every check refuses.
TEST_F(RestrictedServer, EveryCheckSeesOneOriginOrRefusesTheUrl) {
  const char list[] = "https://host.example;http://host.example:8080";
  testing::allowedOriginsForTest = list;
  struct Row {
    const char* url;
    std::optional<Origin> origin;  // nullopt: refused everywhere
  };
  const Row rows[] = {
      {"http://[::1]/x", std::nullopt},          // WinINet: host "[:", port 1
      {"http://[::1]:8080/x", std::nullopt},     // IPv6 literals are refused everywhere
      {"https://[::1]/", std::nullopt},
      {"http://u:p@host.example:8080/x", Origin{false, "host.example", 8080}},
      {"http://a@b@host.example/", std::nullopt},  // WinINet: host "b@host.example"
      {"http://host%2Eexample:8080/", std::nullopt},
      {"https://host.example./", Origin{true, "host.example.", 443}},  // a trailing dot is another host
      {"HTTPS://Host.Example/", Origin{true, "Host.Example", 443}},
      {"hTtP://host.example:8080/", Origin{false, "host.example", 8080}},
      {"http://host.example:08080/", Origin{false, "host.example", 8080}},
      {"https://host.example:00443/", Origin{true, "host.example", 443}},
      {"http://host.example:000008080/", std::nullopt},   // WinINet: 8080
      {"https://host.example:66979/", std::nullopt},      // WinINet: 443, modulo 65536
      {"https://host.example:4294967739/", std::nullopt}, // 2^32 + 443; WinINet: 65535
      {"http://host.example:/", std::nullopt},            // WinINet: port 0
      {"http://host.example:8080x/", std::nullopt},       // WinINet: 8080
      {"http://host.example\\@evil.example/", std::nullopt},  // WinINet: host evil.example
      {"http://evil.example\\@host.example:8080/", std::nullopt},
      {"http://host.example\\evil/", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.url);
    const std::optional<Origin> read = urlOrigin(row.url);
    EXPECT_EQ(describe(row.origin), describe(read));
    const bool listed = row.origin && originListed(*row.origin, *parseOriginList(list));
    EXPECT_EQ(listed, originInAllowList(read, list));
    const std::optional<UrlAuthority> page = parseHttpUrl(row.url);
    if (row.origin) {
      EXPECT_EQ(describe(row.origin), describe(platformOrigin(row.url)));
      EXPECT_EQ(describe(row.origin), describe(page ? std::optional<Origin>(page->origin) : std::nullopt));
      EXPECT_EQ(listed, pageAllowed(PageEvidence{true, std::string(row.url), true}, list));
    } else {
      expectServerRefused(row.url);
    }
  }
}

TEST_F(RestrictedServer, ListedOriginWorks) {
  setBaseUrl(onOrigin("HTTP://127.0.0.1:" + port()));
  int result = 0;
  auto names = makeBstr(L"data");
  EXPECT_EQ(S_OK, installer->UpdateComponents(names.get(), &result));
  EXPECT_EQ(1, result);
  EXPECT_EQ("component data, first edition\n", readFile(installPath + "data.txt"));
}

// The message stays the one pages compare; the diagnostic log says which rule refused and
// what broke it. One row per rule.
TEST_F(RestrictedServer, EachRefusalLogsItsRule) {
  const std::string log = installPath.substr(0, installPath.size() - 1) + "-refusals.log";
  ASSERT_TRUE(::SetEnvironmentVariableA("CORVANE_INSTALLER_LOG", log.c_str()));
  const std::string listed = onOrigin("http://127.0.0.1:" + port());
  const std::string list = "\"https://components.example.test;http://127.0.0.1:" + port() + "\"";
  const struct {
    std::string baseUrl;
    std::string authPath;
    std::wstring installPath;  // empty: the fixture's
    const char* message;
    std::string rule;
  } rows[] = {
      {unlistedUrl(), "/auth", L"", "Server is not allowed",
       "the origin http://localhost:" + port() + " is not on the build's ALLOWED_SERVER_ORIGINS " + list +
           " (a host name and its address are different entries"},
      {listed + "a\\b/", "/auth", L"", "Server is not allowed",
       "BaseURL holds a backslash at position " + std::to_string(listed.size() + 2)},
      {listed + "a b/", "/auth", L"", "Server is not allowed",
       "BaseURL holds the byte 0x20 (a blank, control or non-ASCII character) at position " +
           std::to_string(listed.size() + 2)},
      {"ftp://127.0.0.1/", "/auth", L"", "Server is not allowed",
       "BaseURL is not an absolute http:// or https:// URL with a host"},
      {"http://user@127.0.0.1:" + port() + "/", "/auth", L"", "Server is not allowed",
       "BaseURL carries a user name or password"},
      {listed, "auth", L"", "Server is not allowed", "AuthPath does not begin with '/'"},
      {listed, "/au\x7Fth", L"", "Server is not allowed", "AuthPath holds the byte 0x7F"},
      {listed, "/auth", L"\\\\server\\share\\", "Installation path is not allowed", "a share path"},
      {listed, "/auth", L"\\\\?\\C:\\x\\", "Installation path is not allowed", "a device path"},
      {listed, "/auth", L"acc\\", "Installation path is not allowed", "a relative path"},
      {listed, "/auth", L"C:acc\\", "Installation path is not allowed", "a drive-relative path"},
      {listed, "/auth", L"C:\\a\\..\\b\\", "Installation path is not allowed", "a `..` segment"},
      {listed, "/auth", L"C:\\a\\COM1\\", "Installation path is not allowed", "a device name `COM1`"},
      {listed, "/auth", L"C:\\a|b\\", "Installation path is not allowed", "the character 0x7C '|' at position 5"},
      {listed, "/auth", L"C:\\a.\\", "Installation path is not allowed",
       "a segment ending with a dot or a blank (`a.`)"},
      {listed, "/auth", std::wstring(L"C:\\x") + wchar_t(0xD800) + L"\\", "Installation path is not allowed",
       "InstallPath holds U+D800 at position 5"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.rule);
    ::DeleteFileA(log.c_str());
    setBaseUrl(row.baseUrl);
    auto auth = makeBstr(widen(row.authPath).c_str());
    installer->put_AuthPath(auth.get());
    auto path = makeBstr(row.installPath.empty() ? widen(installPath).c_str() : row.installPath.c_str());
    installer->put_InstallPath(path.get());
    int result = 0;
    auto names = makeBstr(L"data");
    EXPECT_EQ(DISP_E_EXCEPTION, installer->UpdateComponents(names.get(), &result));
    EXPECT_EQ(widen(row.message), takeThreadErrorInfo().description);
    const std::string logged = readFile(log);
    EXPECT_NE(std::string::npos, logged.find(std::string("refused: ") + row.message + ": " + row.rule)) << logged;
  }
  ::SetEnvironmentVariableA("CORVANE_INSTALLER_LOG", nullptr);
  EXPECT_FALSE(fileExists(installPath + "components.txt"));
}

TEST_F(RestrictedServer, SettingChecksStillComeFirst) {
  installer->put_AuthPath(nullptr);
  setBaseUrl(unlistedUrl());
  int result = 0;
  EXPECT_EQ(DISP_E_EXCEPTION, installer->UpdateComponents(nullptr, &result));
  EXPECT_EQ(L"AuthURL is not initialized", takeThreadErrorInfo().description);
}

}  // namespace
}  // namespace corvane::testing
