#include <gtest/gtest.h>

#include <string>

#include "system/file_ops.h"
#include "tests/support/file_system_fakes.h"
#include "tests/support/scratch_directory.h"

namespace voxtrel {
namespace {

using testing::narrow;

// What query_attributes makes of `path`: "file", "directory", "link", or the error code.
std::string kind_of(const std::wstring& path) {
  const auto entry = query_attributes(path);
  if (!entry) return std::to_string(entry.error().code());
  return is_link(*entry) ? "link" : is_directory(*entry) ? "directory" : "file";
}

using FileQueries = testing::ScratchTest;

TEST_F(FileQueries, ClassifiesEntriesAndReportsMissingOnes) {
  // Nested 50-unit folders, longer than the classic 260 units in total.
  std::wstring deep = L"d";
  for (int level = 0; level < 6; ++level) deep += L"\\" + std::wstring(50, L'd');
  scratch_.write_file(deep + L"\\file");
  ASSERT_GT(scratch_.at(deep + L"\\file").size(), std::size_t{MAX_PATH});
  const std::pair<std::wstring, std::string> cases[] = {{deep + L"\\file", "file"},
                                                        {deep, "directory"},
                                                        {L"missing.txt", "2"},
                                                        {L"missing\\below.txt", "3"}};
  for (const auto& [path, kind] : cases)
    EXPECT_EQ(kind_of(scratch_.at(path)), kind) << narrow(path);
  EXPECT_TRUE(path_exists(scratch_.at(deep)));
  EXPECT_FALSE(path_exists(scratch_.at(L"missing.txt")));
  EXPECT_FALSE(path_exists(L""));
  const std::wstring with_nul = scratch_.at(L"d") + std::wstring(1, L'\0') + L"b";
  EXPECT_EQ(query_attributes(with_nul).error(), Error::invalid_input(kNulInPathMessage));
}

// The open every query starts with, refused as Windows can refuse an open of an existing entry;
// a name that does not exist is reported missing whatever else is going on.
DWORD refused_open_error = 0;
bool refuse_only_following_opens = false;

HANDLE WINAPI refusing_open(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                            DWORD disposition, DWORD flags, HANDLE model) {
  const HANDLE opened = ::CreateFileW(path, access, share, security, disposition, flags, model);
  if (opened == INVALID_HANDLE_VALUE ||
      (refuse_only_following_opens && (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0)) {
    return opened;
  }
  CloseHandle(opened);
  SetLastError(refused_open_error);
  return INVALID_HANDLE_VALUE;
}

// A file held without sharing (32), or whose security refuses even an attribute open (5), is
// still read from its folder's listing. An entry whose own reparse point cannot be followed
// (1920, an app-execution alias) is read as itself. Other errors stand.
TEST_F(FileQueries, RefusedOpensFallBackWhereWindowsAllows) {
  const testing::ScopedFileSystemCalls restore;
  file_system_calls.create_file = &refusing_open;
  scratch_.write_file(L"file.txt");
  scratch_.make_directory(L"folder");
  const struct {
    DWORD error;
    bool only_following;
    std::string file, folder;
  } cases[] = {
      {ERROR_ACCESS_DENIED, false, "file", "directory"},
      {ERROR_SHARING_VIOLATION, false, "file", "directory"},
      {ERROR_NO_SYSTEM_RESOURCES, false, "1450", "1450"},
      {ERROR_NO_SYSTEM_RESOURCES, true, "1450", "1450"},
      {ERROR_CANT_ACCESS_FILE, true, "file", "directory"},
  };
  for (const auto& c : cases) {
    refused_open_error = c.error;
    refuse_only_following_opens = c.only_following;
    EXPECT_EQ(kind_of(scratch_.at(L"file.txt")), c.file) << c.error << " " << c.only_following;
    EXPECT_EQ(kind_of(scratch_.at(L"folder")), c.folder) << c.error << " " << c.only_following;
    EXPECT_EQ(kind_of(scratch_.at(L"missing")), "2") << c.error << " " << c.only_following;
  }
}

}  // namespace
}  // namespace voxtrel
