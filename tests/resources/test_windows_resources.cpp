#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "resources/payload_images.h"

namespace rt88h {
namespace {

std::string resourceText(LPCSTR type, LPCSTR name) {
  HRSRC found = FindResourceA(nullptr, name, type);
  if (found == nullptr) return {};
  const char* bytes = static_cast<const char*>(LockResource(LoadResource(nullptr, found)));
  return {bytes, SizeofResource(nullptr, found)};
}

TEST(WindowsResources, PayloadsAreTheBinResourcesOfTheirSizes) {
  const std::pair<uint32_t, DWORD> expected[] = {{129, 720896}, {136, 262144}, {137, 2912256}};
  for (const auto& [id, size] : expected) {
    HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(id), "BIN");
    ASSERT_NE(found, nullptr) << id;
    EXPECT_EQ(SizeofResource(nullptr, found), size) << id;
    const auto image = payloadImage(id);
    EXPECT_EQ(image.data(), LockResource(LoadResource(nullptr, found))) << id;
    EXPECT_EQ(image.size(), size) << id;
  }
  EXPECT_TRUE(payloadImage(128).empty());
  EXPECT_TRUE(payloadImage(130).empty());
}

TEST(WindowsResources, ManifestRunsAsInvokerPerMonitorAwareOnWindows10And11WithCommonControls6) {
  const std::string manifest = resourceText(MAKEINTRESOURCEA(24), MAKEINTRESOURCEA(1));
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos) << manifest;
  // Wine runs every program unscaled, so only the text can tell.
  EXPECT_NE(manifest.find(">PerMonitorV2, PerMonitor</dpiAwareness>"), std::string::npos);
  EXPECT_NE(manifest.find(">true/pm</dpiAware>"), std::string::npos);
  EXPECT_NE(manifest.find("<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>"),
            std::string::npos);
  EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
            std::string::npos)
      << manifest;
}

TEST(WindowsResources, IconHasSixSizes) {
  // GRPICONDIR: reserved, type, count; then 14-byte entries whose first byte is the width.
  const std::string group = resourceText(MAKEINTRESOURCEA(14), MAKEINTRESOURCEA(128));
  ASSERT_EQ(group.size(), 6u + 6u * 14u);
  std::vector<int> widths;
  for (std::size_t i = 0; i < 6; ++i) widths.push_back(static_cast<uint8_t>(group[6 + i * 14]));
  EXPECT_EQ(widths, (std::vector<int>{16, 24, 32, 48, 64, 0}));  // 0 is 256
  EXPECT_NE(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(128)), nullptr);
}

TEST(WindowsResources, VersionInfoCarriesTheVersionAndMarksTestImages) {
  wchar_t path[MAX_PATH] = {};
  ASSERT_GT(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
  std::vector<char> info(GetFileVersionInfoSizeW(path, nullptr));
  ASSERT_FALSE(info.empty());
  ASSERT_TRUE(GetFileVersionInfoW(path, 0, static_cast<DWORD>(info.size()), info.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, DWORD{RT88H_VERSION_MAJOR} << 16 | RT88H_VERSION_MINOR);
  EXPECT_EQ(fixed->dwFileVersionLS, DWORD{RT88H_VERSION_PATCH} << 16);
  EXPECT_EQ((fixed->dwFileFlags & VS_FF_SPECIALBUILD) != 0, payloadImagesAreGenerated());
}

}  // namespace
}  // namespace rt88h
