// Real hosts driving the registered control end to end against the reference server:
// installer-host through COM late binding, and a page's JScript in cscript.
#include <gtest/gtest.h>

#include <fstream>

#include "support/text.h"
#include "tests/driver/driver_fixture.h"
#include "tests/shell/server_support.h"

namespace corvane::testing {
namespace {

class RegisteredControl : public ::testing::Test, public testing::JobTest {
 protected:
  RegisteredControl() : JobTest(::testing::UnitTest::GetInstance()->current_test_info()->name()) {}
  void SetUp() override {
    ASSERT_EQ(0u, testing::regsvr32(testing::serverDllPath()));
    publish("data.cab");
    publish("ok.cab");
    publish("publisher.cer");
    publishCatalog("data,data.cab,data.txt,2.0.0.0,2,0\nok,ok.cab,registers_ok.dll,1.0.0.1,1,0\n");
  }
  testing::ProcessResult host(const std::string& arguments) {
    return runProcess(L"\"" + widen(windowsPathOf(INSTALLER_HOST_EXE)) + L"\" " + widen(arguments));
  }
};

TEST_F(RegisteredControl, HostHelpExplainsBothCommands) {
  const auto result = host("--help");
  EXPECT_EQ(0u, result.exitCode);
  EXPECT_NE(std::string::npos, result.output.find("installer-host update [--verbose] [--json] --base-url URL"));
  EXPECT_NE(std::string::npos, result.output.find("installer-host certificate [--verbose] [--json] --base-url URL"));
  EXPECT_NE(std::string::npos, result.output.find("Exit status:"));
  EXPECT_NE(std::string::npos, result.output.find("  1   the call returned, but a named component is not in place"));
  EXPECT_EQ(result.output, host("help").output);
}

// Each mistake: its own message, the short usage once (never the whole help), status 64.
TEST_F(RegisteredControl, HostUsageErrorsNameTheProblemOnce) {
  const struct {
    const char* arguments;
    const char* message;
  } cases[] = {
      {"", "installer-host: missing command"},
      {"install x", "installer-host: unknown command 'install'"},
      {"update --auth-path", "installer-host: --auth-path needs a value"},
      {"update --base-url --auth-path /a --install-path C:\\x\\ n",
       "installer-host: --base-url needs a value, but the next argument is the option --auth-path"},
      {"certificate --base-url u --auth-path /a", "installer-host: FILE is required"},
  };
  for (const auto& c : cases) {
    const auto result = host(c.arguments);
    EXPECT_EQ(64u, result.exitCode) << c.arguments;
    EXPECT_EQ(0u, result.output.find(c.message)) << c.arguments << "\n" << result.output;
    const size_t synopsis = result.output.find("usage: installer-host update");
    EXPECT_NE(std::string::npos, synopsis) << result.output;
    EXPECT_EQ(std::string::npos, result.output.find("usage: installer-host update", synopsis + 1)) << result.output;
    EXPECT_EQ(std::string::npos, result.output.find("Exit status:")) << result.output;
  }
}

TEST_F(RegisteredControl, HostInstallsThenFindsEverythingCurrent) {
  const std::string update =
      "update --base-url " + served.url + " --auth-path /auth --install-path " + installPath + " data,ok";
  auto first = host(update);
  EXPECT_EQ(0u, first.exitCode) << first.output;
  EXPECT_NE(std::string::npos, first.output.find("result: 1")) << first.output;
  EXPECT_NE(std::string::npos, first.output.find("component data: 0 (installed data.txt at 2.0.0.0)"))
      << first.output;
  EXPECT_EQ("component data, first edition\n", readFile(installPath + "data.txt"));
  EXPECT_EQ(readFile(builtArtefact("registers_ok.dll")), readFile(installPath + "registers_ok.dll"));
  EXPECT_EQ("data,,data.txt,2.0.0.0,2,0\nok,,registers_ok.dll,1.0.0.1,1,0\n", readFile(listPath));
  auto second = host(update);
  EXPECT_EQ(0u, second.exitCode) << second.output;
  EXPECT_NE(std::string::npos, second.output.find("result: 0")) << second.output;
  EXPECT_NE(std::string::npos,
            second.output.find("component ok: 100 (already installed at the catalog's version 1.0.0.1)"))
      << second.output;
}

// One line for each kind of step, in the words an operator reads: the catalog, the proof
// before a deletion, the deletion, a download with its result, an extraction, a library
// that cannot be loaded, a registration, a list write, the certificate's outcome.
TEST_F(RegisteredControl, VerboseHostExplainsEachStep) {
  const std::string settings = " --base-url " + served.url + " --auth-path /auth";
  ASSERT_EQ(0u, host("update" + settings + " --install-path " + installPath + " data,ok").exitCode);
  // "data" is retired, "ok" is replaced, and "bad" is a text file posing as a library.
  publishCatalog("ok,ok.cab,registers_ok.dll,1.0.0.2,1,0\nbad,data.cab,other.txt,1.0.0.0,1,0\n");
  const auto update = host("update --verbose" + settings + " --install-path " + installPath + " ok,bad");
  EXPECT_EQ(1u, update.exitCode) << "bad did not register\n" << update.output;
  for (const std::string& expected :
       {"UpdateComponents(\"ok,bad\"): BaseURL " + served.url, std::string("catalog cvprobecl.txt: read, 2 records"),
        std::string("handshake before deleting stale files: Success"),
        "stale data " + installPath + "data.txt: deleted",
        std::string("download ok.cab: Success (0), handshake HTTP status 200, file HTTP status 200"),
        std::string("registers_ok.dll from ok.cab: extracted"),
        "could not load library " + installPath + "other.txt (error 193: not a valid image for this process)",
        "registered " + installPath + "registers_ok.dll", installPath + "components.txt written",
        std::string("UpdateComponents returns 1")}) {
    EXPECT_NE(std::string::npos, update.output.find(expected)) << expected << "\n" << update.output;
  }
  const auto certificate = host("certificate --verbose" + settings + " publisher.cer");
  EXPECT_NE(std::string::npos, certificate.output.find("certificate added to TrustedPublisher")) << certificate.output;
  const auto missing = host("certificate --verbose" + settings + " missing.cer");
  EXPECT_NE(std::string::npos, missing.output.find("download missing.cer: HttpStatusFailed (11)")) << missing.output;
  EXPECT_NE(std::string::npos, missing.output.find("certificate not added: its download failed")) << missing.output;
  // What an operator meets most: a handshake signed by another key, a folder with no catalog.
  const auto foreignKey = host("certificate --verbose --base-url " + served.url +
                               " --auth-path /_fault/wrong-key/auth publisher.cer");
  EXPECT_NE(std::string::npos, foreignKey.output.find("download publisher.cer: ServerNotAuthenticated (17)"))
      << foreignKey.output;
  const auto noCatalog = host("update --verbose --base-url " + served.url + "nowhere/ --auth-path /auth --install-path " +
                              installPath + " ok");
  EXPECT_NE(std::string::npos, noCatalog.output.find("cvprobecl.txt cannot be read: HTTP status 404")) << noCatalog.output;
}

// A log that cannot be written (here: a folder) changes nothing the call does.
TEST_F(RegisteredControl, UnwritableLogChangesNothing) {
  const std::string update = "update --base-url " + served.url + " --auth-path /auth --install-path ";
  const auto plain = host(update + installPath + "plain\\ data,ok");
  ASSERT_TRUE(::SetEnvironmentVariableA("CORVANE_INSTALLER_LOG", installPath.c_str()));
  const auto logged = host(update + installPath + "logged\\ data,ok");
  ::SetEnvironmentVariableA("CORVANE_INSTALLER_LOG", nullptr);
  EXPECT_EQ(plain.exitCode, logged.exitCode);
  EXPECT_EQ(plain.output, logged.output);
  EXPECT_EQ(readFile(installPath + "plain\\components.txt"), readFile(installPath + "logged\\components.txt"));
  EXPECT_FALSE(readFile(installPath + "logged\\components.txt").empty());
}

// The exit status says whether everything asked for is in place; --json gives the same
// outcomes to a script. Each row installs into a folder of its own.
TEST_F(RegisteredControl, HostExitStatusAndJson) {
  const std::string settings = " --base-url " + served.url + " --auth-path /auth";
  const struct {
    const char* arguments;  // after the settings; {dir} is the row's folder
    unsigned status;
    const char* expected;   // found in the output
  } cases[] = {
      {"update --install-path {dir} data,ok", 0, "component ok: 0 (installed registers_ok.dll at 1.0.0.1)"},
      {"update --install-path {dir} data,nothere", 1,
       "component nothere: 101 (the catalog has no component of this name)"},
      {"update --json --install-path {dir} data,nothere,data", 1,
       "{\"command\":\"update\",\"result\":1,\"components\":["
       "{\"name\":\"nothere\",\"result\":101,\"detail\":\"the catalog has no component of this name\",\"inPlace\":false},"
       "{\"name\":\"data\",\"result\":0,\"detail\":\"installed data.txt at 2.0.0.0\",\"inPlace\":true}]}"},
      {"update --json --install-path relative\\ data", 2,
       "{\"command\":\"update\",\"error\":\"Installation path is not allowed\"}"},
      {"certificate publisher.cer", 0, "certificate publisher.cer: 0 (added to the user's TrustedPublisher store)"},
      {"certificate missing.cer", 1, "certificate missing.cer: 11 (the download of missing.cer got an HTTP status"},
      {"certificate --json data.cab", 1,
       "{\"command\":\"certificate\",\"result\":\"done\",\"certificate\":{\"name\":\"data.cab\",\"result\":106,"
       "\"detail\":\"the store refused the file: not a certificate?\",\"inPlace\":false}}"},
  };
  int row = 0;
  for (const auto& c : cases) {
    std::string arguments = c.arguments;
    const size_t dir = arguments.find("{dir}");
    if (dir != std::string::npos) arguments.replace(dir, 5, installPath + "row" + std::to_string(++row) + "\\");
    const size_t space = arguments.find(' ');
    const auto result = host(arguments.substr(0, space) + settings + arguments.substr(space));
    EXPECT_EQ(c.status, result.exitCode) << arguments << "\n" << result.output;
    EXPECT_NE(std::string::npos, result.output.find(c.expected)) << arguments << "\n" << result.output;
    if (arguments.find("--json") != std::string::npos) {
      EXPECT_EQ(0u, result.output.find('{')) << "nothing but the object: " << result.output;
    }
  }
}

TEST_F(RegisteredControl, HostCertificateCommandReachesTheStore) {
  ::RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Microsoft\\SystemCertificates\\TrustedPublisher\\Certificates");
  const auto result = host("certificate --base-url " + served.url + " --auth-path /auth publisher.cer");
  EXPECT_EQ(0u, result.exitCode) << result.output;
  EXPECT_NE(std::string::npos, result.output.find("result: done"));
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExA(HKEY_CURRENT_USER,
                                           "Software\\Microsoft\\SystemCertificates\\TrustedPublisher\\Certificates",
                                           0, KEY_READ, &key));
  DWORD subkeys = 0;
  ::RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr);
  ::RegCloseKey(key);
  EXPECT_EQ(1u, subkeys);
}

// A page installs, and later updates to an edition of the file that is shorter: each time
// the file holds exactly the package's bytes.
TEST_F(RegisteredControl, PageScriptUpdatesThroughIDispatch) {
  const std::string script = installPath.substr(0, installPath.size() - 1) + "-page.js";
  {
    std::ofstream out(script, std::ios::binary);
    out << "var installer = new ActiveXObject(\"VARuDevavuzez.Installer\");\n"
           "installer.BaseURL = WScript.Arguments(0);\n"
           "installer.AuthPath = \"/auth\";\n"
           "try { installer.UpdateComponents(\"data\"); } catch (e) { WScript.Echo(\"refused: \" + e.description); }\n"
           "installer.InstallPath = WScript.Arguments(1);\n"
           "WScript.Echo(\"result=\" + installer.UpdateComponents(\"data,shrinks\"));\n"
           "WScript.Echo(\"again=\" + installer.UpdateComponents(\"data,shrinks\"));\n";
  }
  const auto runPage = [&] {
    return runProcess(testing::systemProgram(L"cscript.exe") + L" //nologo \"" + widen(script) + L"\" " +
                      widen(served.url) + L" " + widen(installPath));
  };
  const struct {
    const char* shrinksEdition;
    const char* version;
  } steps[] = {{"long", "1.0.0.0"}, {"short", "1.0.0.1"}};
  for (const auto& step : steps) {
    SCOPED_TRACE(step.shrinksEdition);
    const std::string cabinet = std::string("shrinks-") + step.shrinksEdition + ".cab";
    publish(cabinet);
    publishCatalog("data,data.cab,data.txt,2.0.0.0,2,0\nshrinks," + cabinet + ",shrinks.txt," + step.version +
                   ",2,0\n");
    const auto result = runPage();
    EXPECT_NE(std::string::npos, result.output.find("refused: Installation path is not specified")) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("result=1")) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("again=0")) << result.output;
    EXPECT_EQ("component data, first edition\n", readFile(installPath + "data.txt"));
    EXPECT_EQ(readFile(builtArtefact(std::string("editions/") + step.shrinksEdition + "/shrinks.txt")),
              readFile(installPath + "shrinks.txt"));
  }
}

}  // namespace
}  // namespace corvane::testing
