#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "system/file_ops.h"
#include "system/path.h"
#include "system/relative_open.h"
#include "system/tree_removal.h"
#include "system/unique_handle.h"
#include "system/windows_api.h"
#include "tests/support/file_system_fakes.h"
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

// A name of `length` units that sorts by `index` (so listing order is the index order wherever
// the file system sorts) and makes each directory record several hundred bytes long.
std::wstring long_name(int index, std::size_t length = 100, wchar_t fill = L'n') {
  std::wstring name = L"entry-" + std::to_wstring(1000 + index) + L"-";
  name.resize(length, fill);
  return name;
}

std::wstring verbatim(const std::wstring& path) {
  return std::wstring(kVerbatimPrefix) + path;
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

TEST_F(TreeRemoval, FileHeldWithoutDeleteSharingStopsItThere) {
  for (int i = 0; i < 8; ++i) scratch_.write_file(L"top\\" + long_name(i, 20));
  std::vector<std::wstring> names;
  for (const auto& entry : testing::listing(scratch_.at(L"top")))
    names.emplace_back(entry.cFileName);
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

// What the platform answers in the tests below, where Wine cannot produce the condition: the
// relative opens and dispositions of the removal go through these fakes.
constexpr NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000D);
constexpr NTSTATUS kStatusSharingViolation = static_cast<NTSTATUS>(0xC0000043);
constexpr NTSTATUS kStatusDeletePending = static_cast<NTSTATUS>(0xC0000056);

struct PlatformScript {
  std::wstring held_name;         // DELETE opens of this name meet a sharing violation...
  int sharing_violations = 0;     // ...this many times
  int held_attempts = 0;          // DELETE opens of held_name seen
  int not_empty_refusals = 0;     // directory dispositions refused with ERROR_DIR_NOT_EMPTY
  bool deleted_by_other = false;  // each file is deleted by someone else just before its open
  int deleted_opens = 0;
  bool reject_dont_reparse = false;
  int dont_reparse_rejections = 0;
  bool every_open_as_itself = true;
  HANDLE directory_delete = nullptr;  // the open handle of a directory's own deletion
};
PlatformScript script;

std::wstring_view object_name(const OBJECT_ATTRIBUTES* object) {
  return {object->ObjectName->Buffer, object->ObjectName->Length / sizeof(wchar_t)};
}

// Another process deletes the entry, or has it pending deletion when the removal gets there.
NTSTATUS delete_behind_the_removal(POBJECT_ATTRIBUTES object) {
  HANDLE raw = nullptr;
  IO_STATUS_BLOCK io{};
  if (NT_SUCCESS(::NtOpenFile(&raw, DELETE, object, &io, kShareAll, FILE_OPEN_REPARSE_POINT))) {
    FILE_DISPOSITION_INFO disposition{TRUE};
    ::SetFileInformationByHandle(raw, FileDispositionInfo, &disposition, sizeof(disposition));
    CloseHandle(raw);
  }
  return ++script.deleted_opens % 2 == 0 ? kStatusDeletePending : 0;
}

NTSTATUS NTAPI scripted_open(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES object,
                             PIO_STATUS_BLOCK io, ULONG share, ULONG options) {
  const std::wstring_view name = object_name(object);
  if ((options & FILE_OPEN_REPARSE_POINT) == 0) script.every_open_as_itself = false;
  if (script.reject_dont_reparse && (object->Attributes & OBJ_DONT_REPARSE) != 0) {
    ++script.dont_reparse_rejections;
    return kStatusInvalidParameter;
  }
  if (access == DELETE && !name.empty() && name == script.held_name) {
    ++script.held_attempts;
    if (script.sharing_violations > 0) {
      --script.sharing_violations;
      return kStatusSharingViolation;
    }
  }
  if (access == DELETE && !name.empty() && script.deleted_by_other) {
    if (const NTSTATUS status = delete_behind_the_removal(object)) return status;
  }
  const NTSTATUS status = ::NtOpenFile(handle, access, object, io, share, options);
  if (access == DELETE)
    script.directory_delete = NT_SUCCESS(status) && name.empty() ? *handle : nullptr;
  return status;
}

BOOL WINAPI scripted_set_information(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class, LPVOID info,
                                     DWORD size) {
  if (file == script.directory_delete && script.not_empty_refusals > 0) {
    --script.not_empty_refusals;
    SetLastError(ERROR_DIR_NOT_EMPTY);
    return FALSE;
  }
  return ::SetFileInformationByHandle(file, info_class, info, size);
}

// Refuses the extended disposition as file systems other than NTFS do (Wine, FAT).
BOOL WINAPI refusing_extended_disposition(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class,
                                          LPVOID info, DWORD size) {
  if (info_class == kFileDispositionInfoEx) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return ::SetFileInformationByHandle(file, info_class, info, size);
}

class ScriptedTreeRemoval : public TreeRemoval {
 protected:
  ScriptedTreeRemoval() {
    script = PlatformScript();
    file_system_calls.open_file = &scripted_open;
    file_system_calls.set_information = &scripted_set_information;
  }
  testing::ScopedFileSystemCalls restore_;
};

TEST_F(ScriptedTreeRemoval, SharingConflictIsWaitedOutForFiftyAttemptsAtMost) {
  script.held_name = L"held.txt";
  script.sharing_violations = 49;
  scratch_.write_file(L"let-go\\held.txt");
  expect_removed(remove_tree(scratch_.at(L"let-go")), scratch_, L"let-go");
  EXPECT_EQ(script.held_attempts, 50);

  script = PlatformScript{.held_name = L"held.txt", .sharing_violations = 50};
  scratch_.write_file(L"kept\\held.txt");
  const Status status = remove_tree(scratch_.at(L"kept"));
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().code(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(script.held_attempts, 50);
  EXPECT_TRUE(scratch_.exists(L"kept\\held.txt"));
}

TEST_F(ScriptedTreeRemoval, DirectoryNotYetEmptyIsWaitedOut) {
  script.not_empty_refusals = 49;
  scratch_.write_file(L"top\\file.txt");
  expect_removed(remove_tree(scratch_.at(L"top")), scratch_, L"top");

  script.not_empty_refusals = 50;
  scratch_.make_directory(L"stays");
  const Status status = remove_tree(scratch_.at(L"stays"));
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().code(), ERROR_DIR_NOT_EMPTY);
}

// Entries deleted by another process between the listing and their own deletion, or pending
// deletion then, count as deleted; and no entry is ever opened through a link.
TEST_F(ScriptedTreeRemoval, EntriesGoneOrPendingWhenReachedCountAsDeleted) {
  script.deleted_by_other = true;
  for (int i = 0; i < 6; ++i) {
    scratch_.write_file(L"top\\" + long_name(i, 20));
    scratch_.write_file(L"top\\sub\\" + long_name(i, 20));
  }
  expect_removed(remove_tree(scratch_.at(L"top")), scratch_, L"top");
  EXPECT_EQ(script.deleted_opens, 12);
  EXPECT_TRUE(script.every_open_as_itself);
}

TEST_F(ScriptedTreeRemoval, ReadOnlyFileGoesWhereTheExtendedDispositionIsAccepted) {
  file_system_calls.set_information = &testing::set_information_as_ntfs;
  scratch_.write_file(L"top\\sub\\read-only.txt");
  scratch_.make_read_only(L"top\\sub\\read-only.txt");
  expect_removed(remove_tree(scratch_.at(L"top")), scratch_, L"top");
}

TEST_F(ScriptedTreeRemoval, ReadOnlyFileStopsItWhereOnlyTheClassicDispositionIs) {
  file_system_calls.set_information = &refusing_extended_disposition;
  scratch_.write_file(L"top\\sub\\read-only.txt");
  scratch_.make_read_only(L"top\\sub\\read-only.txt");
  const Status status = remove_tree(scratch_.at(L"top"));
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().code(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(scratch_.exists(L"top\\sub\\read-only.txt"));
}

// Last in this program: the attribute stays 0 for the rest of the process.
TEST_F(ScriptedTreeRemoval, RejectedDontReparseIsDroppedOnceForTheWholeProcess) {
  script.reject_dont_reparse = true;
  scratch_.write_file(L"top\\sub\\file.txt");
  scratch_.write_file(L"top\\other.txt");
  expect_removed(remove_tree(scratch_.at(L"top")), scratch_, L"top");
  EXPECT_EQ(script.dont_reparse_rejections, 1);
  EXPECT_EQ(relative_open_attribute(), 0u);
}

}  // namespace
}  // namespace voxtrel
