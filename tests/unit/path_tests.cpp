#include <gtest/gtest.h>

#include <string>

#include "system/path.h"
#include "tests/support/scratch_directory.h"

namespace voxtrel {
namespace {

using testing::narrow;

// A drive path of exactly `units` units: "C:\" and then "a"s.
std::wstring drive_path_of(std::size_t units) {
  return L"C:\\" + std::wstring(units - 3, L'a');
}

std::wstring current_directory() {
  wchar_t buffer[MAX_PATH + 1] = {};
  const DWORD length = GetCurrentDirectoryW(MAX_PATH + 1, buffer);
  return std::wstring(buffer, length);
}

struct PreparationCase {
  const char* what;
  std::wstring path;
  std::wstring prepared;
};

TEST(PathPreparation, ShortAndVerbatimFormsAndLongFormsTable) {
  const std::wstring long_tail(300, L'x');
  const PreparationCase cases[] = {
      {"empty", L"", L""},
      {"short drive path", L"C:\\Program Files\\Voxtrel", L"C:\\Program Files\\Voxtrel"},
      {"bare drive", L"C:", L"C:"},
      {"247 units with the terminator", drive_path_of(246), drive_path_of(246)},
      {"248 units with the terminator", drive_path_of(247), L"\\\\?\\" + drive_path_of(247)},
      {"verbatim kept even when long", L"\\\\?\\C:\\" + long_tail, L"\\\\?\\C:\\" + long_tail},
      {"NT object prefix kept", L"\\??\\C:\\" + long_tail, L"\\??\\C:\\" + long_tail},
      {"short device path", L"\\\\.\\PHYSICALDRIVE0", L"\\\\.\\PHYSICALDRIVE0"},
      {"long device path rewritten", L"\\\\.\\C:\\" + long_tail, L"\\\\?\\C:\\" + long_tail},
      {"short UNC path", L"\\\\server\\share\\f", L"\\\\server\\share\\f"},
      {"long UNC path", L"\\\\server\\share\\" + long_tail,
       L"\\\\?\\UNC\\server\\share\\" + long_tail},
      {"short forward slashes", L"C:/a/b", L"C:/a/b"},
      {"short forward-slash UNC", L"//server/share", L"//server/share"},
      {"long forward slashes", L"C:/a/" + long_tail, L"\\\\?\\C:\\a\\" + long_tail},
      {"long forward-slash UNC", L"//server/share/" + long_tail,
       L"\\\\?\\UNC\\server\\share\\" + long_tail},
      {"relative", L"sub\\file", L"\\\\?\\" + current_directory() + L"\\sub\\file"},
  };
  for (const auto& c : cases) {
    const auto prepared = prepare_path(c.path);
    ASSERT_TRUE(prepared.has_value()) << c.what << ": error " << prepared.error().code();
    EXPECT_EQ(narrow(*prepared), narrow(c.prepared)) << c.what;
  }
}

TEST(PathPreparation, DriveRelativePathIsMadeAbsolute) {
  const auto prepared = prepare_path(L"C:relative");
  ASSERT_TRUE(prepared.has_value());
  EXPECT_TRUE(prepared->starts_with(L"\\\\?\\C:\\")) << narrow(*prepared);
  EXPECT_TRUE(prepared->ends_with(L"\\relative")) << narrow(*prepared);
}

TEST(PathPreparation, NulUnitIsInvalidInput) {
  const auto prepared = prepare_path(std::wstring(L"C:\\a\0b", 6));
  ASSERT_FALSE(prepared.has_value());
  EXPECT_EQ(prepared.error(), Error::invalid_input(kNulInPathMessage));
}

struct JoinCase {
  std::wstring directory;
  std::wstring name;
  std::wstring joined;
};

TEST(PathJoining, OneSeparatorUnlessAlreadyThereOrBareDriveTable) {
  const JoinCase cases[] = {
      {L"C:\\dir", L"f", L"C:\\dir\\f"},
      {L"C:\\dir\\", L"f", L"C:\\dir\\f"},
      {L"C:/dir/", L"f", L"C:/dir/f"},
      {L"C:", L"f", L"C:f"},
      {L"", L"f", L"f"},
      {L"C:\\", L"f", L"C:\\f"},
      {L"\\\\?\\C:\\x", L"f", L"\\\\?\\C:\\x\\f"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(narrow(join_path(c.directory, c.name)), narrow(c.joined))
        << narrow(c.directory) << " + " << narrow(c.name);
  }
}

}  // namespace
}  // namespace voxtrel
