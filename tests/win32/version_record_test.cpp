#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

namespace tallivan {
namespace {

// The program `name` in the build: in bin/ beside tests/, where this test runs from.
std::wstring Program(const wchar_t* name) {
  std::wstring self(MAX_PATH, L'\0');
  self.resize(GetModuleFileNameW(nullptr, self.data(), MAX_PATH));
  return (std::filesystem::path(self).parent_path().parent_path() / "bin" / name).wstring();
}

TEST(VersionRecordTest, GivesVersionOneZeroZeroOneAndTheProductInAChineseUtf16Table) {
  const std::wstring path = Program(L"tallivan.exe");
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  ASSERT_GT(size, 0u) << "no version record, error " << GetLastError();
  std::vector<char> record(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, record.data()));

  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(record.data(), L"\\", &value, &length));
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  // 1.0.0.1 for the file and the product: parts 1 and 0 in the high word, 0 and 1 in the low.
  EXPECT_EQ(std::vector<DWORD>({fixed->dwFileVersionMS, fixed->dwFileVersionLS,
                                fixed->dwProductVersionMS, fixed->dwProductVersionLS}),
            std::vector<DWORD>({0x0001'0000, 0x0000'0001, 0x0001'0000, 0x0000'0001}));

  ASSERT_TRUE(VerQueryValueW(record.data(), L"\\VarFileInfo\\Translation", &value, &length));
  ASSERT_EQ(length, 2 * sizeof(WORD));
  EXPECT_EQ(static_cast<const WORD*>(value)[0], 0x0804) << "the language: Chinese, PRC";
  EXPECT_EQ(static_cast<const WORD*>(value)[1], 1200) << "the code page: UTF-16";

  const std::pair<const wchar_t*, std::wstring> strings[] = {
      {L"ProductName", L"Tallivan"},
      {L"FileVersion", L"1.00.0001"},
      {L"ProductVersion", L"1.00.0001"},
      {L"OriginalFilename", L"tallivan.exe"},
  };
  for (const auto& [name, expected] : strings) {
    const std::wstring query = std::wstring(L"\\StringFileInfo\\080404b0\\") + name;
    ASSERT_TRUE(VerQueryValueW(record.data(), query.c_str(), &value, &length)) << name;
    EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(value)), expected) << name;
  }
}

TEST(ManifestTest, AsksForEachMonitorsResolutionAndLongPaths) {
  // {the program, a setting of its manifest, what its value starts with}
  const std::tuple<const wchar_t*, std::string, std::string> cases[] = {
      {L"tallivan.exe", "dpiAwareness", "PerMonitorV2,"},
      {L"tallivan.exe", "dpiAware", "true/pm"},  // before Windows 10
      {L"tallivan.exe", "longPathAware", "true"},
      {L"tallivan-calc.exe", "longPathAware", "true"},
  };
  for (const auto& [program, setting, value] : cases) {
    SCOPED_TRACE(setting);
    // Read as the system's loader reads it: the manifest resource of the executable.
    const HMODULE module =
        LoadLibraryExW(Program(program).c_str(), nullptr,
                       LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr);
    const HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_NE(resource, nullptr);
    const std::string manifest(
        static_cast<const char*>(LockResource(LoadResource(module, resource))),
        SizeofResource(module, resource));
    FreeLibrary(module);
    const std::regex element(
        "<" + setting +
        R"( xmlns="http://schemas.microsoft.com/SMI/20(05|16)/WindowsSettings">)"
        R"(([^<]*)</)" +
        setting + ">");
    std::smatch found;
    EXPECT_TRUE(std::regex_search(manifest, found, element) && found[2].str().starts_with(value))
        << manifest;
  }
}

}  // namespace
}  // namespace tallivan
