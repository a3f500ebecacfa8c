// What the tool asks of one entry on disk: whether it is a file, a folder or a link, or missing
// (with the fall-backs Windows allows when the open is refused), and whether it is pending
// deletion.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "system/file_queries.h"
#include "system/file_system_calls.h"
#include "system/path.h"
#include "system/unique_handle.h"
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
      (refuse_only_following_opens && (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0))
    return opened;
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

// The NtOpenFile fake that answers "delete pending" (tests/support/file_system_fakes.h).
using testing::open_pending_deletion;
using testing::opened_names;
using testing::pending_names;

// The question goes to NtOpenFile, in the NT form of the full path, for attributes only (which
// no share mode and no oplock stands in the way of); STATUS_DELETE_PENDING is the only yes, an
// entry that opens is a no, and what does not open is an error.
TEST_F(FileQueries, PendingDeletionIsAskedOfTheNtNameForAttributesOnly) {
  const testing::ScopedFileSystemCalls restore;
  file_system_calls.open_file = &open_pending_deletion;
  scratch_.write_file(L"pending.txt");
  scratch_.write_file(L"kept.txt");
  const std::wstring nt = std::wstring(kNtObjectPrefix) + scratch_.at(L"pending.txt");
  pending_names = {nt, L"\\??\\UNC\\server\\share\\held"};
  opened_names.clear();
  const std::pair<std::wstring, std::wstring> forms[] = {
      {scratch_.at(L"pending.txt"), nt},
      {std::wstring(kVerbatimPrefix) + scratch_.at(L"pending.txt"), nt},
      {scratch_.at(L"sub\\..\\pending.txt"), nt},
      {L"\\\\server\\share\\held", L"\\??\\UNC\\server\\share\\held"},
  };
  for (const auto& [path, name] : forms) {
    EXPECT_EQ(deletion_pending(path), true) << narrow(path);
    ASSERT_FALSE(opened_names.empty());
    EXPECT_EQ(opened_names.back(),
              std::pair(name, ACCESS_MASK{FILE_READ_ATTRIBUTES | SYNCHRONIZE}));
  }
  const testing::HandleLeakCheck handles;
  EXPECT_EQ(deletion_pending(scratch_.at(L"kept.txt")), false);
  EXPECT_EQ(deletion_pending(scratch_.at(L"missing.txt")), std::unexpected(Error::os(2)));
  EXPECT_EQ(deletion_pending(scratch_.at(L"kept.txt") + L'\0'),
            std::unexpected(Error::invalid_input(kNulInPathMessage)));
  EXPECT_EQ(deletion_pending(L"\\\\?\\C:\\" + std::wstring(40000, L'x')),
            std::unexpected(Error::os(ERROR_FILENAME_EXCED_RANGE)));
  EXPECT_FALSE(handles.leaked());
}

// Deleted through one handle while another stays open, an entry is pending deletion until the
// last one closes; then it is gone.
TEST_F(FileQueries, AFileDeletedWhileHeldIsPendingDeletionUntilReleased) {
  scratch_.write_file(L"held.txt");
  const std::wstring path = scratch_.at(L"held.txt");
  UniqueFile holder(
      CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(holder);
  {
    // The classic disposition: DeleteFileW takes the name away at once on NTFS (Windows 10 1809).
    const UniqueFile deleting(
        CreateFileW(path.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    FILE_DISPOSITION_INFO classic{TRUE};
    ASSERT_TRUE(
        SetFileInformationByHandle(deleting.get(), FileDispositionInfo, &classic, sizeof(classic)));
  }
  const auto pending = deletion_pending(path);
  if (pending == false) {
    GTEST_SKIP() << "this platform opens an entry pending deletion as any other (Wine 8, 10)";
  }
  EXPECT_EQ(pending, true);
  holder.reset();
  EXPECT_EQ(deletion_pending(path), std::unexpected(Error::os(ERROR_FILE_NOT_FOUND)));
}

}  // namespace
}  // namespace voxtrel
