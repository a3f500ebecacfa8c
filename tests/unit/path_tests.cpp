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

// Queries answer as GetModuleFileNameW does (a text that does not fit is cut to the buffer with
// its NUL, the buffer's size returned, ERROR_INSUFFICIENT_BUFFER) or as GetFullPathNameW does
// (nothing copied, the size needed returned): either way the whole text comes back.
TEST(TextQuery, GrowsTheBufferUntilTheWholeTextFits) {
  for (const bool truncates : {true, false}) {
    for (const std::size_t units : {511u, 512u, 513u, 700u, 5000u}) {
      std::wstring text;
      for (std::size_t i = 0; i < units; ++i) text.push_back(static_cast<wchar_t>(L'a' + i % 26));
      int calls = 0;
      const auto answer = query_text([&](wchar_t* buffer, DWORD size) -> DWORD {
        if (++calls > 8) return 0;  // a buffer that never grows: give up
        if (text.size() < size || truncates) {
          const std::size_t copied = text.size() < size ? text.size() : size - 1;
          text.copy(buffer, copied);
          buffer[copied] = L'\0';
          if (copied == text.size()) return static_cast<DWORD>(copied);
          SetLastError(ERROR_INSUFFICIENT_BUFFER);
          return size;
        }
        return static_cast<DWORD>(text.size() + 1);
      });
      EXPECT_EQ(answer.value_or(L"<failed>").size(), units) << units << " units";
      EXPECT_TRUE(answer.value_or(L"") == text) << units << " units";
    }
  }
}

TEST(TextQuery, ZeroIsAFailureOnlyWithALastError) {
  SetLastError(ERROR_ACCESS_DENIED);  // left over from an earlier call
  EXPECT_EQ(query_text([](wchar_t*, DWORD) { return DWORD{0}; }), std::wstring());
  const auto failed = query_text([](wchar_t*, DWORD) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return DWORD{0};
  });
  ASSERT_FALSE(failed.has_value());
  EXPECT_TRUE(failed.error().is_os(ERROR_ENVVAR_NOT_FOUND));
}

}  // namespace
}  // namespace voxtrel
