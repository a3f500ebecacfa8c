#include <gtest/gtest.h>

#include <string>

#include "system/tree_search.h"
#include "system/unique_handle.h"
#include "tests/support/scratch_directory.h"

// After <windows.h>: NtOpenFile, to ask the platform directly.
#include <winternl.h>

namespace voxtrel {
namespace {

using testing::ScratchTest;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Whether a file marked for deletion through a handle opened relative to its folder's handle
// goes once that folder has been renamed. Windows deletes the file the handle holds. Wine 8 keeps
// the path the folder had when it was opened, finds another file (or none) there at the close,
// and deletes nothing.
bool deletes_in_renamed_folders(const testing::ScratchDirectory& scratch) {
  scratch.write_file(L"probe\\before\\file");
  const UniqueFile folder(CreateFileW(scratch.at(L"probe\\before").c_str(), FILE_LIST_DIRECTORY,
                                      kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                      nullptr));
  EXPECT_TRUE(folder);
  EXPECT_TRUE(MoveFileW(scratch.at(L"probe\\before").c_str(), scratch.at(L"probe\\after").c_str()));
  wchar_t name[] = L"file";
  UNICODE_STRING object_name{8, 8, name};
  OBJECT_ATTRIBUTES object{};
  object.Length = sizeof(object);
  object.RootDirectory = folder.get();
  object.ObjectName = &object_name;
  IO_STATUS_BLOCK io{};
  HANDLE raw = nullptr;
  EXPECT_TRUE(NT_SUCCESS(NtOpenFile(&raw, DELETE, &object, &io, kShareAll, 0)));
  {
    const UniqueKernelHandle file(raw);
    FILE_DISPOSITION_INFO disposition{TRUE};
    EXPECT_TRUE(SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition,
                                           sizeof(disposition)));
  }
  return !scratch.exists(L"probe\\after\\file");
}

class TreeSearchTest : public ScratchTest {};

// A folder renamed away after it was listed, and a new folder put in its place holding a file of
// the same name: the deletion goes through the handle of the folder that listed the file, so the
// planted file stays, and (where the platform deletes through renamed folders) the listed one
// goes.
TEST_F(TreeSearchTest, DeletionReachesTheListedFileAfterItsFolderWasSwapped) {
  scratch_.write_file(L"top\\evil\\voxtrel-agent.exe.old", "listed");
  auto search = TreeSearch::open(scratch_.at(L"top"), nullptr);
  ASSERT_TRUE(search.has_value());
  const auto entry = search->next();
  ASSERT_TRUE(entry.has_value());
  ASSERT_EQ(search->path_of(*entry), scratch_.at(L"top\\evil\\voxtrel-agent.exe.old"));

  // The swap happens between the listing and the deletion.
  ASSERT_TRUE(MoveFileW(scratch_.at(L"top\\evil").c_str(), scratch_.at(L"top\\moved").c_str()))
      << GetLastError();
  scratch_.write_file(L"top\\evil\\voxtrel-agent.exe.old", "planted");

  EXPECT_TRUE(search->remove(*entry).has_value());
  EXPECT_EQ(scratch_.content(L"top\\evil\\voxtrel-agent.exe.old"), "planted");
  if (!deletes_in_renamed_folders(scratch_)) {
    GTEST_SKIP() << "this platform deletes by the path a folder had when it was opened, so the "
                    "listed file stays as well";
  }
  EXPECT_FALSE(scratch_.exists(L"top\\moved\\voxtrel-agent.exe.old"));
}

}  // namespace
}  // namespace voxtrel
