// The version resource of every image, read back through the platform's version API and
// compared with the version the build was configured with.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "support/files.h"
#include "tests/shell/server_support.h"

namespace corvane::testing {
namespace {

struct ImageVersion {
  const char* name;
  std::wstring path;
  const wchar_t* originalFilename;
  DWORD fileType;
};

// Test names and failure reports show the image's name, not the parameter's bytes.
void PrintTo(const ImageVersion& image, std::ostream* out) { *out << image.name; }

std::wstring wide(const char* text) { return std::wstring(text, text + strlen(text)); }

class VersionBlock {
 public:
  explicit VersionBlock(const std::wstring& path) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return;
    bytes_.resize(size);
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, bytes_.data())) bytes_.clear();
  }
  bool present() const { return !bytes_.empty(); }
  const VS_FIXEDFILEINFO* fixed() const {
    void* found = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(bytes_.data(), L"\\", &found, &length) || length < sizeof(VS_FIXEDFILEINFO)) return nullptr;
    return static_cast<const VS_FIXEDFILEINFO*>(found);
  }
  std::wstring text(const wchar_t* name) const {
    void* found = nullptr;
    UINT length = 0;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    if (!::VerQueryValueW(bytes_.data(), query.c_str(), &found, &length) || length == 0) return L"(missing)";
    return std::wstring(static_cast<const wchar_t*>(found));
  }

 private:
  std::vector<BYTE> bytes_;
};

class VersionResource : public ::testing::TestWithParam<ImageVersion> {};

TEST_P(VersionResource, CarriesTheConfiguredVersion) {
  const ImageVersion& image = GetParam();
  const VersionBlock block(image.path);
  ASSERT_TRUE(block.present()) << "no version resource in " << image.name;
  const VS_FIXEDFILEINFO* fixed = block.fixed();
  ASSERT_NE(nullptr, fixed);
  EXPECT_EQ(0xFEEF04BDu, fixed->dwSignature);
  const DWORD high = MAKELONG(PROJECT_VERSION_MINOR, PROJECT_VERSION_MAJOR);
  const DWORD low = MAKELONG(PROJECT_VERSION_TWEAK, PROJECT_VERSION_PATCH);
  EXPECT_EQ(high, fixed->dwFileVersionMS);
  EXPECT_EQ(low, fixed->dwFileVersionLS);
  EXPECT_EQ(high, fixed->dwProductVersionMS);
  EXPECT_EQ(low, fixed->dwProductVersionLS);
  EXPECT_EQ(image.fileType, fixed->dwFileType);

  const std::wstring version = wide(PROJECT_VERSION);
  EXPECT_EQ(version, block.text(L"FileVersion"));
  EXPECT_EQ(version, block.text(L"ProductVersion"));
  EXPECT_EQ(L"Corvane", block.text(L"CompanyName"));
  EXPECT_EQ(L"Corvane Installer control", block.text(L"ProductName"));
  EXPECT_EQ(image.originalFilename, block.text(L"OriginalFilename"));
  EXPECT_NE(std::wstring::npos, block.text(L"LegalCopyright").find(L"Corvane"));
  EXPECT_NE(std::wstring::npos, block.text(L"FileDescription").find(L"Corvane Installer control"));
}

INSTANTIATE_TEST_SUITE_P(
    Images, VersionResource,
    ::testing::Values(ImageVersion{"control", serverDllPath(), L"VARuDevavuzez.dll", VFT_DLL},
                      ImageVersion{"host", wide(windowsPathOf(INSTALLER_HOST_EXE).c_str()), L"installer-host.exe", VFT_APP}),
    [](const ::testing::TestParamInfo<ImageVersion>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace corvane::testing
