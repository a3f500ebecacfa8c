// Paths: the forms the tool hands the platform (the verbatim prefix past the classic limit), a
// name joined to a folder, the texts the platform answers paths in, and a path as the transcript
// shows it.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "system/error.h"
#include "system/path.h"
#include "system/text.h"
#include "system/windows_api.h"
#include "tests/support/scratch_directory.h"

namespace voxtrel {
namespace {

using testing::narrow;

TEST(PathPreparation, ShortAndVerbatimFormsAndLongFormsTable) {
  const std::wstring long_tail(300, L'x');
  // A drive path of exactly `units` units; GetFullPathNameW's answer for the relative forms.
  const auto drive_path = [](std::size_t units) { return L"C:\\" + std::wstring(units - 3, L'a'); };
  const auto full = [](const wchar_t* path) {
    wchar_t buffer[MAX_PATH];
    return std::wstring(buffer, GetFullPathNameW(path, MAX_PATH, buffer, nullptr));
  };
  const std::pair<std::wstring, std::wstring> cases[] = {
      {L"", L""},
      {L"C:\\Program Files\\Voxtrel", L"C:\\Program Files\\Voxtrel"},
      {L"C:", L"C:"},
      {drive_path(246), drive_path(246)},  // 247 units with the terminator
      {drive_path(247), L"\\\\?\\" + drive_path(247)},
      {L"\\\\?\\C:\\" + long_tail, L"\\\\?\\C:\\" + long_tail},  // verbatim kept even when long
      {L"\\??\\C:\\" + long_tail, L"\\??\\C:\\" + long_tail},
      {L"\\\\.\\PHYSICALDRIVE0", L"\\\\.\\PHYSICALDRIVE0"},
      {L"\\\\.\\C:\\" + long_tail, L"\\\\?\\C:\\" + long_tail},
      {L"\\\\server\\share\\f", L"\\\\server\\share\\f"},
      {L"\\\\server\\share\\" + long_tail, L"\\\\?\\UNC\\server\\share\\" + long_tail},
      {L"C:/a/b", L"C:/a/b"},
      {L"//server/share", L"//server/share"},
      {L"C:/a/" + long_tail, L"\\\\?\\C:\\a\\" + long_tail},
      {L"//server/share/" + long_tail, L"\\\\?\\UNC\\server\\share\\" + long_tail},
      {L"sub\\file", L"\\\\?\\" + full(L"sub\\file")},
      {L"C:relative", L"\\\\?\\" + full(L"C:relative")},
  };
  for (const auto& [path, expected] : cases)
    EXPECT_EQ(narrow(prepare_path(path).value_or(L"<failed>")), narrow(expected)) << narrow(path);
  EXPECT_EQ(prepare_path(std::wstring(L"C:\\a\0b", 6)),
            std::unexpected(Error::invalid_input(kNulInPathMessage)));
}

TEST(PathJoining, OneSeparatorUnlessAlreadyThereOrBareDriveTable) {
  const std::wstring_view cases[][3] = {
      {L"C:\\dir", L"f", L"C:\\dir\\f"},
      {L"C:\\dir\\", L"f", L"C:\\dir\\f"},
      {L"C:/dir/", L"f", L"C:/dir/f"},
      {L"C:", L"f", L"C:f"},
      {L"", L"f", L"f"},
      {L"C:\\", L"f", L"C:\\f"},
      {L"\\\\?\\C:\\x", L"f", L"\\\\?\\C:\\x\\f"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(narrow(join_path(c[0], c[1])), narrow(c[2])) << narrow(c[0]) << " + " << narrow(c[1]);
}

// Queries answer as GetModuleFileNameW does (a text that does not fit is cut to the buffer with
// its NUL, the buffer's size returned) or as GetFullPathNameW does (the size needed returned):
// either way the whole text comes back.
TEST(TextQuery, GrowsTheBufferUntilTheWholeTextFits) {
  for (const bool truncates : {true, false}) {
    for (const std::size_t units : {511u, 512u, 513u, 5000u}) {
      const std::wstring text(units, L'q');
      int calls = 0;
      const auto answer = query_text([&](wchar_t* buffer, DWORD size) -> DWORD {
        const bool fits = text.size() < size;
        if (++calls > 8) return 0;  // a buffer that never grows: give up
        if (!fits && !truncates) return static_cast<DWORD>(text.size() + 1);
        const std::size_t copied = text.copy(buffer, size - 1);
        buffer[copied] = L'\0';
        if (fits) return static_cast<DWORD>(copied);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
      });
      EXPECT_TRUE(answer.value_or(L"<failed>") == text) << units << " units, " << truncates;
    }
  }
}

// Zero with last error 0 is the empty text, whatever an earlier call left behind. An empty folder
// name would make every program joined to it relative to the current directory: refused.
TEST(TextQuery, ZeroIsAFailureOnlyWithALastErrorAndNoFolderName) {
  const auto zero = [](wchar_t*, DWORD) { return DWORD{0}; };
  SetLastError(ERROR_ACCESS_DENIED);
  EXPECT_EQ(query_text(zero), std::wstring());
  EXPECT_EQ(query_text([](wchar_t*, DWORD) {
              SetLastError(ERROR_ENVVAR_NOT_FOUND);
              return DWORD{0};
            }),
            std::unexpected(Error::os(ERROR_ENVVAR_NOT_FOUND)));
  EXPECT_EQ(reported_directory(zero), std::unexpected(Error::not_found(kProgramNotFoundMessage)));
}

// A path is shown whole up to the bound; past it, 510 units of its start and 511 of its end with
// "..." between, less a unit at each cut that would split a surrogate pair. Unpaired surrogates
// show as U+FFFD either way.
TEST(ShownPath, LongPathsKeepTheirStartAndEndWithinTheBoundTable) {
  const auto units = [](std::size_t count, wchar_t unit) { return std::wstring(count, unit); };
  const std::wstring pair = L"\xD83D\xDE00";  // U+1F600
  const std::pair<std::wstring, std::wstring> cases[] = {
      {L"C:\\ProgramData\\x\\voxtrel-agent.exe.old", L"C:\\ProgramData\\x\\voxtrel-agent.exe.old"},
      {units(kMaxShownPathUnits, L'a'), units(kMaxShownPathUnits, L'a')},
      {units(1022, L'a') + pair, units(1022, L'a') + pair},
      {units(510, L'h') + units(5, L'm') + units(510, L't'),
       units(510, L'h') + L"..." + L"m" + units(510, L't')},
      // The pair at the start's cut, then at the end's: it is left out whole.
      {units(509, L'h') + pair + units(4, L'm') + units(510, L't'),
       units(509, L'h') + L"..." + L"m" + units(510, L't')},
      {units(510, L'h') + units(3, L'm') + pair + units(510, L't'),
       units(510, L'h') + L"..." + units(510, L't')},
      {units(509, L'h') + L"\xD800" + units(5, L'm') + units(510, L't'),
       units(509, L'h') + L"\xFFFD..." + L"m" + units(510, L't')},
      {L"C:\\x\xDC00y", L"C:\\x\xFFFDy"},
  };
  for (const auto& [path, shown] : cases) {
    EXPECT_EQ(shown_path(path), to_utf8_strict(shown).value_or("<not valid>"))
        << path.size() << " units";
    EXPECT_LE(shown.size(), kMaxShownPathUnits);
  }
}

}  // namespace
}  // namespace voxtrel
