#include <gtest/gtest.h>

#include <string>

#include "system/file_ops.h"
#include "system/unique_handle.h"
#include "tests/support/file_system_fakes.h"
#include "tests/support/scratch_directory.h"

namespace voxtrel {
namespace {

using testing::narrow;
using testing::ScratchTest;

// A relative path of nested 50-unit folders, longer than the classic 260 units in total.
std::wstring deep_folder() {
  const std::wstring level(50, L'd');
  return level + L"\\" + level + L"\\" + level + L"\\" + level + L"\\" + level + L"\\" + level;
}

using FileQueries = ScratchTest;

TEST_F(FileQueries, ClassifiesFilesAndDirectoriesAndReportsMissingOnes) {
  scratch_.write_file(L"file.txt");
  scratch_.make_directory(L"folder");
  const auto file = query_attributes(scratch_.at(L"file.txt"));
  ASSERT_TRUE(file.has_value());
  EXPECT_FALSE(is_directory(*file));
  EXPECT_FALSE(is_link(*file));
  const auto folder = query_attributes(scratch_.at(L"folder"));
  ASSERT_TRUE(folder.has_value());
  EXPECT_TRUE(is_directory(*folder));
  EXPECT_TRUE(path_exists(scratch_.at(L"folder")));
  const auto missing = query_attributes(scratch_.at(L"missing.txt"));
  ASSERT_FALSE(missing.has_value());
  EXPECT_TRUE(missing.error().is_os(ERROR_FILE_NOT_FOUND)) << missing.error().code();
  EXPECT_FALSE(path_exists(scratch_.at(L"missing\\below.txt")));
}

TEST_F(FileQueries, EmptyNulAndLongPaths) {
  EXPECT_FALSE(path_exists(L""));
  scratch_.write_file(L"a");
  const std::wstring with_nul = scratch_.at(L"a") + std::wstring(1, L'\0') + L"b";
  EXPECT_EQ(query_attributes(with_nul).error(), Error::invalid_input(kNulInPathMessage));

  const std::wstring folder = deep_folder();
  scratch_.write_file(folder + L"\\file");
  ASSERT_GT(scratch_.at(folder + L"\\file").size(), 260u);
  EXPECT_TRUE(path_exists(scratch_.at(folder + L"\\file")));
  EXPECT_TRUE(is_directory(*query_attributes(scratch_.at(folder))));
}

// The open every query starts with, refused or failing as Windows can make it.
DWORD refused_open_error = 0;
bool refuse_only_following_opens = false;

HANDLE WINAPI refusing_open(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                            DWORD disposition, DWORD flags, HANDLE model) {
  if (!refuse_only_following_opens || (flags & FILE_FLAG_OPEN_REPARSE_POINT) == 0) {
    SetLastError(refused_open_error);
    return INVALID_HANDLE_VALUE;
  }
  return ::CreateFileW(path, access, share, security, disposition, flags, model);
}

class RefusedQueries : public FileQueries {
 protected:
  RefusedQueries() {
    refuse_only_following_opens = false;
    file_system_calls.create_file = &refusing_open;
  }
  testing::ScopedFileSystemCalls restore_;
};

// A file held without sharing (32), or whose security refuses even an attribute open (5), is
// still read from its folder's listing.
TEST_F(RefusedQueries, RefusedOrBlockedOpenFallsBackToTheListing) {
  scratch_.write_file(L"file.txt");
  scratch_.make_directory(L"folder");
  for (const DWORD error : {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION}) {
    refused_open_error = error;
    const auto file = query_attributes(scratch_.at(L"file.txt"));
    ASSERT_TRUE(file.has_value()) << error;
    EXPECT_FALSE(is_directory(*file));
    const auto folder = query_attributes(scratch_.at(L"folder"));
    ASSERT_TRUE(folder.has_value()) << error;
    EXPECT_TRUE(is_directory(*folder));
    const auto missing = query_attributes(scratch_.at(L"missing"));
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().code(), error) << "the open's error stands";
  }
  refused_open_error = ERROR_INVALID_NAME;
  EXPECT_FALSE(path_exists(scratch_.at(L"file.txt"))) << "other errors have no fallback";
}

// An entry whose own reparse point cannot be followed (1920, an app-execution alias) is read as
// itself, as long as it is no link.
TEST_F(RefusedQueries, UnfollowableEntryIsReadAsItself) {
  refused_open_error = ERROR_CANT_ACCESS_FILE;
  refuse_only_following_opens = true;
  scratch_.write_file(L"alias.exe");
  const auto alias = query_attributes(scratch_.at(L"alias.exe"));
  ASSERT_TRUE(alias.has_value()) << alias.error().code();
  EXPECT_FALSE(is_directory(*alias));
  refuse_only_following_opens = false;
  const auto refused = query_attributes(scratch_.at(L"alias.exe"));
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().code(), ERROR_CANT_ACCESS_FILE);
}

}  // namespace
}  // namespace voxtrel
