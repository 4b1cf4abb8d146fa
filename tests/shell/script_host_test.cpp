// Wine's cscript with its JScript and VBScript engines as the host: creation by ProgID,
// properties, and each refusal's message and source as the script sees them.
#include <gtest/gtest.h>

#include "tests/shell/server_support.h"

namespace corvane::testing {
namespace {

class ScriptHost : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(0u, testing::regsvr32(testing::serverDllPath())); }

  static std::string runScript(const wchar_t* file) {
    const std::wstring line =
        L"\"" + testing::systemProgram(L"cscript.exe") + L"\" //nologo \"" + testing::testSourcePath(file) + L"\"";
    const testing::ProcessResult result = testing::runProcess(line);
    EXPECT_EQ(0u, result.exitCode) << result.output;
    return result.output;
  }
  static void expectLine(const std::string& output, const std::string& line) {
    EXPECT_NE(std::string::npos, output.find(line + "\r\n")) << "missing line: " << line << "\nin:\n" << output;
  }
};

TEST_F(ScriptHost, JScriptSeesPropertiesAndRefusals) {
  const std::string output = runScript(L"scripts\\installer_host.js");
  expectLine(output, "fresh BaseURL: string of length 0");
  expectLine(output, "update without BaseURL: CodebaseURL is not initialized");
  expectLine(output, "certificate without BaseURL: BaseURL is not initialized");
  expectLine(output, "update without AuthPath: AuthURL is not initialized");
  expectLine(output, "certificate without AuthPath: AuthURL is not initialized");
  expectLine(output, "update without InstallPath: Installation path is not specified");
  expectLine(output, "BaseURL: http://127.0.0.1:9/base/");
  expectLine(output, "AuthPath: auth.php");
  expectLine(output, "InstallPath: []");
  expectLine(output, "second object BaseURL: []");
}

TEST_F(ScriptHost, VBScriptSeesDescriptionAndSource) {
  const std::string output = runScript(L"scripts\\installer_host.vbs");
  expectLine(output, "fresh BaseURL is null: False empty: False len: 0");
  expectLine(output,
             "update without BaseURL: CodebaseURL is not initialized | VARuDevavuzez.Installer.1 [80020009]");
  expectLine(output, "certificate without BaseURL: BaseURL is not initialized | VARuDevavuzez.Installer.1 [80020009]");
  expectLine(output, "update without AuthPath: AuthURL is not initialized | VARuDevavuzez.Installer.1 [80020009]");
  expectLine(output,
             "update without InstallPath: Installation path is not specified | VARuDevavuzez.Installer.1 [80020009]");
  expectLine(output, "BaseURL: http://127.0.0.1:9/base/");
  expectLine(output, "AuthPath: auth.php");
  expectLine(output, "second object by versioned ProgID: ok");
  expectLine(output, "second object AuthPath length: 0");
}

}  // namespace
}  // namespace corvane::testing
