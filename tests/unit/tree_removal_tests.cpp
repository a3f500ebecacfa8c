#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "system/file_ops.h"
#include "system/path.h"
#include "system/relative_open.h"
#include "system/tree_removal.h"
#include "system/unique_handle.h"
#include "system/windows_api.h"
#include "tests/support/scratch_directory.h"

// After <windows.h>: the reparse-point control code, and NtOpenFile to ask the platform directly.
#include <winioctl.h>
#include <winternl.h>

namespace voxtrel {
namespace {

using testing::narrow;
using testing::ScratchTest;

constexpr DWORD kShareAllButDelete = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD kDeleteIgnoringReadOnly = 0x13;

// A name of `length` units that sorts by `index` (so listing order is the index order wherever
// the file system sorts) and makes each directory record several hundred bytes long.
std::wstring long_name(int index, std::size_t length = 100, wchar_t fill = L'n') {
  std::wstring name = L"entry-" + std::to_wstring(1000 + index) + L"-";
  name.resize(length, fill);
  return name;
}

struct ChangeNotificationTraits {
  using Raw = HANDLE;
  static Raw empty() noexcept { return INVALID_HANDLE_VALUE; }
  static void close(Raw h) noexcept { FindCloseChangeNotification(h); }
};
using UniqueChangeNotification = UniqueHandle<ChangeNotificationTraits>;

std::wstring verbatim(const std::wstring& path) {
  return std::wstring(kVerbatimPrefix) + path;
}

// The directory's entries in the order the platform lists them.
std::vector<std::wstring> listing_order(const std::wstring& directory) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data{};
  const UniqueFind search(FindFirstFileW(verbatim(join_path(directory, L"*")).c_str(), &data));
  if (!search) return names;
  do {
    const std::wstring_view name = data.cFileName;
    if (name != L"." && name != L"..") names.emplace_back(name);
  } while (FindNextFileW(search.get(), &data));
  return names;
}

// Notices handles left open between its creation and leaked(). Where the process handle count
// is kept (Windows) it compares counts. Wine's count never moves, but Wine hands out the lowest
// free handle slots first, so there the lowest free slots are the same before and after exactly
// when nothing opened meanwhile was kept open.
class HandleLeakCheck {
 public:
  HandleLeakCheck() : count_(handle_count()), free_slots_(lowest_free_slots()) {}

  [[nodiscard]] bool leaked() const {
    if (counts_kept()) return handle_count() != count_;
    return lowest_free_slots() != free_slots_;
  }

 private:
  // More than the removal ever holds at once in these tests (one per level of depth, plus one).
  static constexpr int kSlotProbes = 64;

  static DWORD handle_count() {
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
  }
  static std::vector<HANDLE> lowest_free_slots() {
    std::vector<UniqueKernelHandle> probes;
    std::vector<HANDLE> slots;
    for (int i = 0; i < kSlotProbes; ++i) {
      probes.emplace_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
      slots.push_back(probes.back().get());
    }
    return slots;
  }
  static bool counts_kept() {
    const DWORD before = handle_count();
    const UniqueKernelHandle probe(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return handle_count() == before + 1;
  }

  DWORD count_;
  std::vector<HANDLE> free_slots_;
};

// Opens `path` for reading the way a process that forbids deleting it would.
UniqueFile hold_without_delete_sharing(const std::wstring& path) {
  return UniqueFile(CreateFileW(verbatim(path).c_str(), GENERIC_READ, kShareAllButDelete, nullptr,
                                OPEN_EXISTING, 0, nullptr));
}

// Whether this file system deletes read-only files through the extended disposition, which
// overrides the attribute (NTFS on Windows 10 1809 and later), found by deleting a probe file.
bool extended_disposition_supported(const testing::ScratchDirectory& scratch) {
  scratch.write_file(L"disposition-probe");
  const UniqueFile probe(CreateFileW(verbatim(scratch.at(L"disposition-probe")).c_str(), DELETE,
                                     kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
  FILE_DISPOSITION_INFO_EX info{kDeleteIgnoringReadOnly};
  return SetFileInformationByHandle(probe.get(), kFileDispositionInfoEx, &info, sizeof(info));
}

// Asks the platform directly whether a relative open takes OBJ_DONT_REPARSE.
bool platform_accepts_dont_reparse(const std::wstring& directory, std::wstring name) {
  const UniqueFile parent(CreateFileW(verbatim(directory).c_str(), FILE_LIST_DIRECTORY, kShareAll,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  EXPECT_TRUE(parent);
  const auto bytes = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  UNICODE_STRING object_name{bytes, bytes, name.data()};
  OBJECT_ATTRIBUTES object{};
  object.Length = sizeof(object);
  object.RootDirectory = parent.get();
  object.ObjectName = &object_name;
  object.Attributes = OBJ_DONT_REPARSE;
  IO_STATUS_BLOCK io{};
  HANDLE raw = nullptr;
  const NTSTATUS status = NtOpenFile(&raw, SYNCHRONIZE | FILE_LIST_DIRECTORY, &object, &io,
                                     kShareAll, FILE_SYNCHRONOUS_IO_NONALERT);
  if (NT_SUCCESS(status)) {
    CloseHandle(raw);
    return true;
  }
  EXPECT_EQ(RtlNtStatusToDosError(status), ERROR_INVALID_PARAMETER) << std::hex << status;
  return false;
}

enum class LinkKind : std::uint8_t { kJunction, kDirectorySymbolicLink };

// Turns the empty directory `link` into a junction to `target` (an absolute path).
std::optional<DWORD> set_junction(const std::wstring& link, const std::wstring& target) {
  const std::wstring substitute = std::wstring(kNtObjectPrefix) + target;
  const auto substitute_bytes = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
  const auto print_bytes = static_cast<WORD>(target.size() * sizeof(wchar_t));
  // The mount-point reparse record: tag, data length, reserved, then the four name offsets and
  // lengths, then both names, each ending in a NUL.
  const WORD data_bytes =
      static_cast<WORD>(4 * sizeof(WORD) + substitute_bytes + print_bytes + 2 * sizeof(wchar_t));
  std::vector<std::byte> record(sizeof(DWORD) + 2 * sizeof(WORD) + data_bytes);
  std::byte* out = record.data();
  auto put = [&out](const void* data, std::size_t bytes) {
    std::memcpy(out, data, bytes);
    out += bytes;
  };
  const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  const WORD header[] = {
      data_bytes, 0, 0, substitute_bytes, static_cast<WORD>(substitute_bytes + sizeof(wchar_t)),
      print_bytes};
  put(&tag, sizeof(tag));
  put(header, sizeof(header));
  put(substitute.c_str(), substitute_bytes + sizeof(wchar_t));
  put(target.c_str(), print_bytes + sizeof(wchar_t));

  const UniqueFile directory(CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                         nullptr));
  if (!directory) return GetLastError();
  DWORD returned = 0;
  if (!DeviceIoControl(directory.get(), FSCTL_SET_REPARSE_POINT, record.data(),
                       static_cast<DWORD>(record.size()), nullptr, 0, &returned, nullptr)) {
    return GetLastError();
  }
  return std::nullopt;
}

// Makes `link` a directory link of the given kind to `target`; on failure, why this platform
// cannot. Wine 8 cannot do either: junctions fail with 50, and CreateSymbolicLinkW reports
// success without creating anything.
std::optional<std::string> make_directory_link(LinkKind kind, const std::wstring& link,
                                               const std::wstring& target) {
  if (kind == LinkKind::kJunction) {
    if (!CreateDirectoryW(link.c_str(), nullptr)) return "cannot create the junction's folder";
    if (const auto error = set_junction(link, target)) {
      RemoveDirectoryW(link.c_str());
      return "junctions cannot be created here (error " + std::to_string(*error) + ")";
    }
  } else if (!CreateSymbolicLinkW(
                 link.c_str(), target.c_str(),
                 SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
    return "directory symbolic links cannot be created here (error " +
           std::to_string(GetLastError()) + "; they need developer mode or the privilege)";
  }
  const DWORD attributes = GetFileAttributesW(link.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return "the platform reported a link created but made none";
  }
  return std::nullopt;
}

class TreeRemoval : public ScratchTest {};

void expect_removed(const Status& status, const testing::ScratchDirectory& scratch,
                    std::wstring_view top) {
  EXPECT_TRUE(status) << "error " << status.error().code();
  EXPECT_FALSE(scratch.exists(top)) << narrow(top) << " is still there";
}

TEST_F(TreeRemoval, RemovesNestedFoldersWhoseListingsSpanSeveralBatches) {
  // Each record is over 300 bytes, so three fit one batch; folders sit among the files, so the
  // walk descends in the middle of a parent's listing and later lists it again from the start.
  const std::wstring middle = L"top\\" + long_name(7, 100, L'd');
  for (const std::wstring& level :
       {std::wstring(L"top"), middle, middle + L"\\" + long_name(3, 100, L'd')}) {
    for (int i = 0; i < 12; ++i) scratch_.write_file(level + L"\\" + long_name(i));
  }
  scratch_.make_directory(L"top\\" + long_name(10, 100, L'd') + L"\\empty");
  scratch_.write_file(L"top-sibling\\keep", "stays");

  expect_removed(remove_tree(scratch_.at(L"top")), scratch_, L"top");
  EXPECT_TRUE(scratch_.exists(L"top-sibling\\keep"));
}

TEST_F(TreeRemoval, RemovesTreeDeeperThanClassicPathLimit) {
  std::wstring deep = L"deep";
  for (int level = 0; level < 16; ++level) {
    deep += L"\\" + long_name(level, 30);
    scratch_.write_file(deep + L"\\file.txt");
  }
  ASSERT_GT(scratch_.at(deep).size(), std::size_t{MAX_PATH} * 2);
  ASSERT_TRUE(scratch_.exists(deep + L"\\file.txt"));

  expect_removed(remove_tree(scratch_.at(L"deep")), scratch_, L"deep");
}

TEST_F(TreeRemoval, TopThatIsNoDirectoryIsRefusedAndLeftAlone) {
  scratch_.write_file(L"plain.txt", "content");
  struct Case {
    std::wstring_view top;
    DWORD error;
  };
  for (const Case& c : {Case{L"plain.txt", ERROR_DIRECTORY}, Case{L"missing", ERROR_FILE_NOT_FOUND},
                        Case{L"missing\\below", ERROR_PATH_NOT_FOUND}}) {
    const Status status = remove_tree(scratch_.at(c.top));
    ASSERT_FALSE(status) << narrow(c.top);
    EXPECT_EQ(status.error().code(), c.error) << narrow(c.top);
  }
  EXPECT_TRUE(scratch_.exists(L"plain.txt"));
}

TEST_F(TreeRemoval, EntriesRemovedMeanwhileDoNotStopIt) {
  for (int i = 0; i < 300; ++i) scratch_.write_file(L"top\\" + long_name(i, 40));
  const std::vector<std::wstring> names = listing_order(scratch_.at(L"top"));
  // Once the removal has deleted its first entry, a second thread deletes the same entries in
  // the same order, so the two keep meeting: an entry in the removal's current batch is often
  // gone, or pending deletion, by the time the removal gets to it.
  // The notification's handle keeps the folder open: it is closed before the removal can end.
  UniqueChangeNotification first_change(FindFirstChangeNotificationW(
      verbatim(scratch_.at(L"top")).c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME));
  ASSERT_TRUE(first_change);
  std::atomic<int> deleted_by_other = 0;
  std::thread other([&] {
    const DWORD waited = WaitForSingleObject(first_change.get(), 10'000);
    first_change.reset();
    if (waited != WAIT_OBJECT_0) return;
    for (const std::wstring& name : names) {
      if (DeleteFileW(verbatim(scratch_.at(L"top\\" + name)).c_str())) ++deleted_by_other;
    }
  });
  const Status status = remove_tree(scratch_.at(L"top"));
  other.join();

  expect_removed(status, scratch_, L"top");
  RecordProperty("deleted_by_other_thread", deleted_by_other.load());
}

TEST_F(TreeRemoval, EntryPendingDeletionIsPassedOverAsGone) {
  scratch_.write_file(L"top\\sub\\pending.txt");
  scratch_.write_file(L"top\\sub\\other.txt");
  UniqueFile pending(CreateFileW(verbatim(scratch_.at(L"top\\sub\\pending.txt")).c_str(), DELETE,
                                 kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(pending);
  FILE_DISPOSITION_INFO classic{TRUE};
  ASSERT_TRUE(
      SetFileInformationByHandle(pending.get(), FileDispositionInfo, &classic, sizeof(classic)));

  // The pending file cannot be opened, but it is not an error: the walk goes on past it and
  // stops only at its folder, which cannot go while the file is still there.
  const Status status = remove_tree(scratch_.at(L"top"));

  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().code(), ERROR_DIR_NOT_EMPTY);
  EXPECT_FALSE(scratch_.exists(L"top\\sub\\other.txt"));
  pending.reset();
  expect_removed(remove_tree(scratch_.at(L"top")), scratch_, L"top");
}

TEST_F(TreeRemoval, FileHeldWithoutDeleteSharingStopsItThere) {
  for (int i = 0; i < 8; ++i) scratch_.write_file(L"top\\" + long_name(i, 20));
  const std::vector<std::wstring> names = listing_order(scratch_.at(L"top"));
  ASSERT_EQ(names.size(), 8u);
  const std::size_t held_index = 4;
  const UniqueFile held = hold_without_delete_sharing(scratch_.at(L"top\\" + names[held_index]));
  ASSERT_TRUE(held);

  const Status status = remove_tree(scratch_.at(L"top"));

  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().code(), ERROR_SHARING_VIOLATION);
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(scratch_.exists(L"top\\" + names[i]), i >= held_index)
        << "listed " << i << ": " << narrow(names[i]);
  }
}

TEST_F(TreeRemoval, ReadOnlyFileGoesWhereTheExtendedDispositionIsAccepted) {
  const bool extended = extended_disposition_supported(scratch_);
  scratch_.write_file(L"top\\sub\\read-only.txt");
  ASSERT_TRUE(SetFileAttributesW(verbatim(scratch_.at(L"top\\sub\\read-only.txt")).c_str(),
                                 FILE_ATTRIBUTE_READONLY));

  const Status status = remove_tree(scratch_.at(L"top"));

  if (extended) {
    expect_removed(status, scratch_, L"top");
  } else {
    // The classic disposition keeps the read-only attribute's protection (Wine, FAT, older
    // Windows).
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().code(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(scratch_.exists(L"top\\sub\\read-only.txt"));
  }
}

TEST_F(TreeRemoval, ClosesEveryHandleOnSuccessAndOnFailure) {
  // Failure deep down, with directories open on the stack.
  scratch_.write_file(L"locked\\a\\b\\c\\held.txt");
  scratch_.write_file(L"locked\\a\\b\\c\\d\\other.txt");
  const UniqueFile held = hold_without_delete_sharing(scratch_.at(L"locked\\a\\b\\c\\held.txt"));
  ASSERT_TRUE(held);
  const HandleLeakCheck around_failure;
  ASSERT_FALSE(remove_tree(scratch_.at(L"locked")));
  EXPECT_FALSE(around_failure.leaked());

  for (int i = 0; i < 6; ++i) scratch_.write_file(L"fine\\x\\y\\" + long_name(i));
  const HandleLeakCheck around_success;
  expect_removed(remove_tree(scratch_.at(L"fine")), scratch_, L"fine");
  EXPECT_FALSE(around_success.leaked());
}

TEST_F(TreeRemoval, RelativeOpensDropDontReparseOnlyWherePlatformRejectsIt) {
  scratch_.write_file(L"top\\sub\\file.txt");
  const bool accepted = platform_accepts_dont_reparse(scratch_.at(L"top"), L"sub");

  expect_removed(remove_tree(scratch_.at(L"top")), scratch_, L"top");
  EXPECT_EQ(relative_open_attribute(), accepted ? OBJ_DONT_REPARSE : 0u);
}

// The link goes, its target and the target's content stay, whether the removal starts at the
// link or at a folder that holds it.
void expect_links_removed_as_links(const testing::ScratchDirectory& scratch, LinkKind kind) {
  scratch.write_file(L"target\\content.txt", "target content");
  scratch.write_file(L"target\\sub\\deep.txt", "deep content");
  scratch.write_file(L"tree\\file.txt");
  for (const std::wstring link : {L"link", L"tree\\link"}) {
    if (const auto reason = make_directory_link(kind, scratch.at(link), scratch.at(L"target"))) {
      GTEST_SKIP() << *reason;
    }
  }
  expect_removed(remove_tree(scratch.at(L"link")), scratch, L"link");
  expect_removed(remove_tree(scratch.at(L"tree")), scratch, L"tree");
  EXPECT_TRUE(scratch.exists(L"target\\content.txt"));
  EXPECT_TRUE(scratch.exists(L"target\\sub\\deep.txt"));
}

TEST_F(TreeRemoval, DeletesJunctionsAsLinks) {
  expect_links_removed_as_links(scratch_, LinkKind::kJunction);
}

TEST_F(TreeRemoval, DeletesDirectorySymbolicLinksAsLinks) {
  expect_links_removed_as_links(scratch_, LinkKind::kDirectorySymbolicLink);
}

}  // namespace
}  // namespace voxtrel
