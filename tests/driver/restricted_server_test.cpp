// A build with an allowed-origin list refuses every other BaseURL origin (another host,
// port or scheme) before it touches the network or the disk, and works as usual with a
// listed one.
#include <gtest/gtest.h>

#include "tests/driver/driver_fixture.h"
#include "tests/driver/runtime_allowed_origins.h"
#include "shell/installer.h"
#include "support/wine_support.h"

namespace corvane::testing {
namespace {

std::wstring widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

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

  ComPtr<IInstaller> installer;
};

TEST_F(RestrictedServer, UnlistedOriginIsRefusedBeforeAnythingHappens) {
  const std::string otherPort = std::to_string(std::stoi(port()) == 65535 ? 1 : std::stoi(port()) + 1);
  for (const std::string& url :
       {unlistedUrl(), onOrigin("http://127.0.0.1:" + otherPort), onOrigin("https://127.0.0.1:" + port()),
        onOrigin("http://127.0.0.1"), onOrigin("http://components.example.test"),
        onOrigin("https://components.example.test:8443"), std::string("not a url"), std::string("")}) {
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
  EXPECT_FALSE(pathExists(installPath)) << "not even the installation directory is made";
}

TEST_F(RestrictedServer, ListedOriginWorks) {
  setBaseUrl(onOrigin("HTTP://127.0.0.1:" + port()));
  int result = 0;
  auto names = makeBstr(L"data");
  EXPECT_EQ(S_OK, installer->UpdateComponents(names.get(), &result));
  EXPECT_EQ(1, result);
  EXPECT_EQ("component data, first edition\n", readFile(installPath + "data.txt"));
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
