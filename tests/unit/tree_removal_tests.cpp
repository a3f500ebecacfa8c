// The replaced operator new and delete below pair malloc with free; once the optimiser inlines
// them into a new-expression, GCC takes that pair for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "system/holder_wait.h"
#include "system/path.h"
#include "system/relative_open.h"
#include "system/tree_removal.h"
#include "system/tree_search.h"
#include "system/unique_handle.h"
#include "system/windows_api.h"
#include "tests/support/directory_links.h"
#include "tests/support/failing_allocations.h"
#include "tests/support/file_system_fakes.h"
#include "tests/support/scratch_directory.h"

// After <windows.h>: NtOpenFile, to ask the platform directly.
#include <winternl.h>

// This program's own operator new, which fails on request: a walk that runs out of memory.
namespace voxtrel {
namespace {

using testing::make_directory_link;
using testing::narrow;

constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

// A name of `length` units that sorts by `index` (so listing order is the index order wherever
// the file system sorts) and makes each directory record several hundred bytes long.
std::wstring long_name(int index, std::size_t length = 100, wchar_t fill = L'n') {
  std::wstring name = L"entry-" + std::to_wstring(1000 + index) + L"-";
  name.resize(length, fill);
  return name;
}

DWORD code_of(const Status& status) {
  return status ? 0 : status.error().code();
}

class TreeRemoval : public testing::ScratchTest {
 protected:
  void expect_removed(std::wstring_view top) {
    EXPECT_EQ(code_of(remove_tree(scratch_.at(top))), 0u) << narrow(top);
    EXPECT_FALSE(scratch_.exists(top)) << narrow(top) << " is still there";
  }
  // Why the extended disposition cannot be had here, or nothing.
  std::string extended_disposition_refused() {
    scratch_.write_file(L"probe.txt");
    const UniqueFile probe(CreateFileW(scratch_.at(L"probe.txt").c_str(), DELETE, kShareAll,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
    FILE_DISPOSITION_INFO_EX keep{FILE_DISPOSITION_FLAG_DO_NOT_DELETE};
    if (SetFileInformationByHandle(probe.get(), kFileDispositionInfoEx, &keep, sizeof(keep))) {
      return {};
    }
    return "the file system refuses the extended disposition (Wine 8, FAT, before Windows "
           "10 1809): error " +
           std::to_string(GetLastError());
  }
};

TEST_F(TreeRemoval, RemovesWideAndDeepTreesClosingEveryHandle) {
  // Each record is over 300 bytes, so three fit one batch; folders sit among the files, so the
  // walk descends in the middle of a parent's listing and later lists it again from the start.
  const std::wstring middle = L"top\\" + long_name(7, 100, L'd');
  for (const std::wstring& level :
       {std::wstring(L"top"), middle, middle + L"\\" + long_name(3, 100, L'd')}) {
    for (int i = 0; i < 12; ++i) scratch_.write_file(level + L"\\" + long_name(i));
  }
  scratch_.make_directory(L"top\\" + long_name(10, 100, L'd') + L"\\empty");
  std::wstring deep = L"top";
  for (int level = 0; level < 16; ++level) {
    deep += L"\\" + long_name(level, 30);
    scratch_.write_file(deep + L"\\file.txt");
  }
  ASSERT_GT(scratch_.at(deep).size(), std::size_t{MAX_PATH} * 2);
  scratch_.write_file(L"top-sibling\\keep");
  const testing::HandleLeakCheck handles;
  expect_removed(L"top");
  EXPECT_FALSE(handles.leaked());
  EXPECT_TRUE(scratch_.exists(L"top-sibling\\keep"));
}

TEST_F(TreeRemoval, TopThatIsNoDirectoryIsRefusedAndLeftAlone) {
  scratch_.write_file(L"plain.txt");
  EXPECT_EQ(code_of(remove_tree(scratch_.at(L"plain.txt"))), DWORD{ERROR_DIRECTORY});
  EXPECT_EQ(code_of(remove_tree(scratch_.at(L"missing"))), DWORD{ERROR_FILE_NOT_FOUND});
  EXPECT_EQ(code_of(remove_tree(scratch_.at(L"missing\\below"))), DWORD{ERROR_PATH_NOT_FOUND});
  EXPECT_TRUE(scratch_.exists(L"plain.txt"));
}

// The entries listed before the held one are gone, the rest stay, and the directories open on
// the way down are closed.
TEST_F(TreeRemoval, FileHeldWithoutDeleteSharingStopsItThere) {
  const std::wstring folder = L"top\\a\\b\\c";
  for (int i = 0; i < 8; ++i) scratch_.write_file(folder + L"\\" + long_name(i, 20));
  std::vector<std::wstring> names;
  for (const auto& entry : testing::listing(scratch_.at(folder)))
    names.emplace_back(entry.cFileName);
  ASSERT_EQ(names.size(), 8u);
  const UniqueFile held(CreateFileW(scratch_.at(folder + L"\\" + names[4]).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                    nullptr));
  ASSERT_TRUE(held);
  const testing::HandleLeakCheck handles;
  EXPECT_EQ(code_of(remove_tree(scratch_.at(L"top"))), ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(handles.leaked());
  for (std::size_t i = 0; i < names.size(); ++i)
    EXPECT_EQ(scratch_.exists(folder + L"\\" + names[i]), i >= 4) << "listed " << i;
}

// A folder held open without delete sharing is emptied all the same, then stops the removal.
TEST_F(TreeRemoval, FolderHeldWithoutDeleteSharingIsEmptiedThenStopsIt) {
  scratch_.write_file(L"top\\held\\file.txt");
  const UniqueFile holder(CreateFileW(scratch_.at(L"top\\held").c_str(), FILE_LIST_DIRECTORY,
                                      FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  ASSERT_TRUE(holder);
  EXPECT_EQ(code_of(remove_tree(scratch_.at(L"top"))), ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(scratch_.exists(L"top\\held\\file.txt"));
  EXPECT_TRUE(scratch_.exists(L"top\\held"));
}

// A link (as Windows shows one, see FakeDirectoryLinks) is deleted as the link, and its target
// and the target's content stay, whether the removal starts at the link or at a folder that
// holds it.
TEST_F(TreeRemoval, DeletesDirectoryLinksAsLinks) {
  testing::FakeDirectoryLinks links;
  scratch_.write_file(L"target\\sub\\deep.txt");
  scratch_.write_file(L"tree\\file.txt");
  links.add(scratch_.at(L"link"), scratch_.at(L"target"));
  links.add(scratch_.at(L"tree\\link"), scratch_.at(L"target"));
  const testing::HandleLeakCheck handles;
  expect_removed(L"link");
  expect_removed(L"tree");
  EXPECT_FALSE(handles.leaked());
  EXPECT_TRUE(scratch_.exists(L"target\\sub\\deep.txt"));
}

// The same with real junctions and directory symbolic links, where the platform can make them:
// the link goes, its target and the target's content stay, whether the removal starts at the
// link or at a folder that holds it.
TEST_F(TreeRemoval, RemovalDeletesJunctionsAndDirectorySymbolicLinksAsLinks) {
  scratch_.write_file(L"target\\sub\\deep.txt");
  std::string skipped;
  for (const bool junction : {true, false}) {
    const std::wstring link = junction ? L"junction" : L"symbolic-link";
    const std::wstring tree = L"tree-" + link;
    scratch_.write_file(tree + L"\\file.txt");
    const std::wstring target = scratch_.at(L"target");
    std::string reason = make_directory_link(junction, scratch_.at(link), target);
    if (reason.empty())
      reason = make_directory_link(junction, scratch_.at(tree + L"\\link"), target);
    if (!reason.empty()) {
      skipped += reason + "; ";
      continue;
    }
    for (const std::wstring& top : {link, tree}) {
      EXPECT_TRUE(remove_tree(scratch_.at(top)).has_value()) << narrow(top);
      EXPECT_FALSE(scratch_.exists(top)) << narrow(top) << " is still there";
    }
    EXPECT_TRUE(scratch_.exists(L"target\\sub\\deep.txt"));
  }
  if (!skipped.empty()) GTEST_SKIP() << skipped;
}

// Where the file system takes the extended disposition, a read-only file goes with the rest.
TEST_F(TreeRemoval, RemovalDeletesAReadOnlyFileThroughTheExtendedDisposition) {
  if (const std::string reason = extended_disposition_refused(); !reason.empty()) {
    GTEST_SKIP() << reason;
  }
  scratch_.write_file(L"top\\sub\\read-only.txt");
  scratch_.make_read_only(L"top\\sub\\read-only.txt");
  EXPECT_TRUE(remove_tree(scratch_.at(L"top")).has_value());
  EXPECT_FALSE(scratch_.exists(L"top"));
}

// Another process's oplock on a file, answered by its holder in time or never. A batch oplock
// broken by the DELETE open, or a read-handle oplock broken by the disposition, is waited for
// within the bound: acknowledged, the file goes; never, each attempt waits at most the bound
// until the budget (here one second) is spent, and then not at all, and the file stays held
// after its 50 attempts. No open ever waits without a bound.
TEST_F(TreeRemoval, OplockHoldersAreWaitedForWithinTheBoundAndTheBudget) {
  using std::chrono::milliseconds;
  const struct {
    bool batch;
    std::optional<milliseconds> acknowledge_after;
    DWORD error;
    int breaks, waits;
  } cases[] = {{true, milliseconds(20), 0, 1, 1},
               {false, milliseconds(20), 0, 0, 1},
               {true, std::nullopt, ERROR_SHARING_VIOLATION, kMaxDeleteAttempts, 2},
               {false, std::nullopt, ERROR_SHARING_VIOLATION, 0, kMaxDeleteAttempts}};
  for (const auto& c : cases) {
    const std::wstring top = L"top" + std::to_wstring(&c - cases);
    scratch_.write_file(top + L"\\oplocked.txt", "kept");
    const testing::ScopedHolderWaitBudget budget(milliseconds(1000));
    const testing::OplockedEntries oplocks(
        {.name = L"oplocked.txt", .batch = c.batch, .acknowledge_after = c.acknowledge_after});
    const testing::HandleLeakCheck handles;
    EXPECT_EQ(code_of(remove_tree(scratch_.at(top))), c.error) << narrow(top);
    EXPECT_FALSE(handles.leaked()) << narrow(top);
    const auto& holder = testing::oplock_holder;
    EXPECT_EQ(std::tuple(holder.breaks, holder.waits, holder.unbounded),
              std::tuple(c.breaks, c.waits, 0))
        << narrow(top);
    EXPECT_EQ(holder.cancelled, c.error == 0 ? 0 : c.waits) << narrow(top);
    EXPECT_EQ(scratch_.content(top + L"\\oplocked.txt").has_value(), c.error != 0) << narrow(top);
    EXPECT_EQ(holder_wait_budget().spent(), c.error != 0) << narrow(top);
  }
}

// The top opened by its path under the same rules: a break acknowledged in time is no failure,
// one never acknowledged leaves the top held.
TEST_F(TreeRemoval, TopUnderAnOplockIsWaitedForWithinTheBound) {
  for (const bool acknowledged : {true, false}) {
    scratch_.write_file(L"held-top\\file.txt");
    const testing::ScopedHolderWaitBudget budget(std::chrono::milliseconds(1000));
    const testing::OplockedEntries oplocks(
        {.name = L"held-top",
         .acknowledge_after =
             acknowledged ? std::optional(std::chrono::milliseconds(20)) : std::nullopt});
    EXPECT_EQ(code_of(remove_tree(scratch_.at(L"held-top"))),
              acknowledged ? 0 : DWORD{ERROR_SHARING_VIOLATION});
    EXPECT_EQ(scratch_.exists(L"held-top"), !acknowledged);
    EXPECT_EQ(testing::oplock_holder.waits, 1);
  }
}

// Opens of each name, through the table.
std::map<std::wstring, int> opens_by_name;
NTSTATUS NTAPI counting_open(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES object,
                             PIO_STATUS_BLOCK io, ULONG share, ULONG options) {
  ++opens_by_name[std::wstring(object->ObjectName->Buffer,
                               object->ObjectName->Length / sizeof(wchar_t))];
  return ::NtOpenFile(handle, access, object, io, share, options);
}

// Files another process holds open (with delete sharing) stay in their folder's listing once
// deleted, until it lets go. Each is met once, not once more for each folder removed beside it:
// the removal's time grows with the entries, not with their product.
TEST_F(TreeRemoval, EntriesThatStayListedAreMetOnce) {
  std::vector<UniqueFile> holders;
  for (int i = 0; i < 5; ++i) {
    scratch_.write_file(L"top\\pending-" + std::to_wstring(i));
    scratch_.make_directory(L"top\\folder-" + std::to_wstring(i));
    holders.emplace_back(CreateFileW(scratch_.at(L"top\\pending-" + std::to_wstring(i)).c_str(),
                                     GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
  }
  const testing::ScopedFileSystemCalls restore;
  file_system_calls.open_file = &counting_open;
  opens_by_name.clear();
  (void)remove_tree(scratch_.at(L"top"));
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(opens_by_name[L"pending-" + std::to_wstring(i)], 1) << i;
    EXPECT_FALSE(scratch_.exists(L"top\\folder-" + std::to_wstring(i))) << i;
  }
}

// Memory that runs out half-way ends the walk as its own failure, closing what it held; the
// process goes on.
TEST_F(TreeRemoval, WalksThatRunOutOfMemoryFailAlone) {
  std::wstring deep = L"top";
  for (int level = 0; level < 40; ++level) deep += L"\\" + std::to_wstring(level);
  scratch_.write_file(deep + L"\\voxtrel-agent.exe.old");
  const std::wstring top = scratch_.at(L"top");
  // Wine (8 and 10) keeps a handle from the process's first exception on: take it before the
  // count.
  try {
    throw std::bad_alloc();
  } catch (const std::bad_alloc&) {
  }
  const testing::HandleLeakCheck handles;
  for (const int allowed : {0, 4}) {
    testing::fail_allocation_after(allowed, testing::LaterAllocations::kFail);
    auto search = TreeSearch::open(top, nullptr);
    const bool found = search && search->next().has_value();
    (void)testing::allow_allocations();
    EXPECT_FALSE(found) << allowed;
    // Out of memory while searching is said, not taken for a complete search.
    EXPECT_TRUE(!search || search->out_of_memory()) << allowed;
  }
  testing::fail_allocation_after(8, testing::LaterAllocations::kFail);
  const Status removed = remove_tree(top);
  (void)testing::allow_allocations();
  EXPECT_EQ(code_of(removed), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_TRUE(scratch_.exists(deep + L"\\voxtrel-agent.exe.old"));
  EXPECT_FALSE(handles.leaked());
}

// A batch whose first record claims more bytes than the batch holds, or puts the next record
// past its end, ends the removal before anything it lists is deleted; a record without a name is
// passed over (it would name the directory itself), and the rest goes.
TEST_F(TreeRemoval, RecordReachingPastItsBatchEndsTheRemovalAndANamelessOneIsSkipped) {
  for (const wchar_t* name : {L"a.txt", L"b.txt", L"c.txt"})
    scratch_.write_file(L"top\\" + std::wstring(name));
  const testing::ScopedFileSystemCalls restore;
  file_system_calls.get_information = &testing::get_information_rewriting_listing;
  for (const auto change :
       {testing::ListingChange::kFirstReachesPast, testing::ListingChange::kFirstPointsPast}) {
    testing::listing_rewrite = {L"b.txt", change};
    EXPECT_EQ(code_of(remove_tree(scratch_.at(L"top"))), ERROR_INVALID_DATA);
    EXPECT_TRUE(scratch_.exists(L"top\\a.txt"));
    EXPECT_TRUE(scratch_.exists(L"top\\b.txt"));
  }
  testing::listing_rewrite = {L"b.txt", testing::ListingChange::kNameless};
  (void)remove_tree(scratch_.at(L"top"));
  EXPECT_FALSE(scratch_.exists(L"top\\a.txt"));
  EXPECT_FALSE(scratch_.exists(L"top\\c.txt"));
}

// What the platform answers in the tests below, where Wine cannot produce the condition: the
// relative opens and dispositions of the removal go through these fakes.
constexpr NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000D);
constexpr NTSTATUS kStatusSharingViolation = static_cast<NTSTATUS>(0xC0000043);
constexpr NTSTATUS kStatusDeletePending = static_cast<NTSTATUS>(0xC0000056);

struct PlatformScript {
  int sharing_violations = 0;     // DELETE opens of "held.txt" meet a sharing violation this often
  int held_attempts = 0;          // DELETE opens of "held.txt" seen
  int not_empty_refusals = 0;     // directory dispositions refused with ERROR_DIR_NOT_EMPTY
  bool deleted_by_other = false;  // each file is deleted by someone else just before its open
  int deleted_opens = 0;
  bool reject_dont_reparse = false;
  int dont_reparse_rejections = 0;
  bool every_open_as_itself = true;
  int classic_dispositions = 0;    // classic dispositions after a refused extended one
  int directory_delete_opens = 0;  // DELETE opens of a directory's own (empty) name
  int path_delete_opens = 0;       // opens by path that ask for DELETE
};
PlatformScript script;

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
  const std::wstring_view name(object->ObjectName->Buffer,
                               object->ObjectName->Length / sizeof(wchar_t));
  // Below the top, no entry is opened through a link (the top's parent is, to read its record).
  if (object->RootDirectory != nullptr && (options & FILE_OPEN_REPARSE_POINT) == 0)
    script.every_open_as_itself = false;
  // A top opened by its path with DELETE could break a user's oplock and wait for it.
  if (object->RootDirectory == nullptr && (access & DELETE) != 0) ++script.path_delete_opens;
  // Every open of the removal is synchronous; what matters here is whether it asks to delete.
  const bool deleting = (access & ~SYNCHRONIZE) == DELETE;
  if (script.reject_dont_reparse && (object->Attributes & OBJ_DONT_REPARSE) != 0) {
    ++script.dont_reparse_rejections;
    return kStatusInvalidParameter;
  }
  if (deleting && name == L"held.txt" && script.held_attempts++ < script.sharing_violations)
    return kStatusSharingViolation;
  if (deleting && !name.empty() && script.deleted_by_other) {
    if (const NTSTATUS status = delete_behind_the_removal(object)) return status;
  }
  if (deleting && name.empty()) ++script.directory_delete_opens;
  return ::NtOpenFile(handle, access, object, io, share, options);
}

bool is_directory(HANDLE file) {
  const DWORD attributes = GetFileAttributesW(testing::path_of(file).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

BOOL WINAPI scripted_set_information(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class, LPVOID info,
                                     DWORD size) {
  if ((info_class == FileDispositionInfo || info_class == kFileDispositionInfoEx) &&
      script.not_empty_refusals > 0 && is_directory(file)) {
    --script.not_empty_refusals;
    return testing::fail_with(ERROR_DIR_NOT_EMPTY);
  }
  return ::SetFileInformationByHandle(file, info_class, info, size);
}

// Refuses the extended disposition as file systems other than NTFS do (Wine 8, FAT).
BOOL WINAPI refusing_extended_disposition(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class,
                                          LPVOID info, DWORD size) {
  if (info_class == kFileDispositionInfoEx) return testing::fail_with(ERROR_INVALID_PARAMETER);
  if (info_class == FileDispositionInfo) ++script.classic_dispositions;
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

// A file's sharing conflict and a directory not yet empty are each waited out, for 50 attempts.
// A subfolder's first attempt goes through its listing handle; the rest, and the top's, open anew.
TEST_F(ScriptedTreeRemoval, ConflictsAreWaitedOutForFiftyAttemptsAtMost) {
  const struct {
    int sharing_violations, not_empty_refusals, held_attempts, directory_delete_opens;
    DWORD error;
  } cases[] = {{49, 49, 50, 50, 0},
               {50, 0, 50, 0, ERROR_SHARING_VIOLATION},
               {0, 50, 1, 49, ERROR_DIR_NOT_EMPTY}};
  for (const auto& c : cases) {
    script = PlatformScript{.sharing_violations = c.sharing_violations,
                            .not_empty_refusals = c.not_empty_refusals};
    const std::wstring top = L"top-" + std::to_wstring(c.error);
    scratch_.write_file(top + L"\\sub\\held.txt");
    EXPECT_EQ(code_of(remove_tree(scratch_.at(top))), c.error);
    EXPECT_EQ(script.held_attempts, c.held_attempts) << c.error;
    EXPECT_EQ(script.directory_delete_opens, c.directory_delete_opens) << c.error;
    EXPECT_EQ(script.path_delete_opens, 0) << c.error;
    EXPECT_EQ(scratch_.exists(top + L"\\sub\\held.txt"), c.error == ERROR_SHARING_VIOLATION);
  }
}

// Where the extended disposition is accepted (NTFS, Windows 10 1809 and later) a read-only
// file goes, and so does a file another process holds open with delete sharing: its name leaves
// the folder at once, so the folder can go too. Where only the classic one is, the held file's
// name stays until its holder lets go (and a read-only file stops the removal: next test).
TEST_F(ScriptedTreeRemoval, ReadOnlyAndSharedFilesGoOnlyWhereTheExtendedDispositionIsAccepted) {
  const struct {
    decltype(file_system_calls.set_information) set_information;
    bool read_only;
    DWORD error;
  } cases[] = {{&testing::set_information_as_ntfs, true, 0},
               {&testing::set_information_as_ntfs, false, 0},
               {&refusing_extended_disposition, false, ERROR_DIR_NOT_EMPTY}};
  for (const auto& c : cases) {
    file_system_calls.set_information = c.set_information;
    const std::wstring file = L"top\\sub\\file" + std::to_wstring(&c - cases);
    scratch_.write_file(file);
    UniqueFile holder;
    if (c.read_only) {
      scratch_.make_read_only(file);
    } else {
      holder.reset(CreateFileW(scratch_.at(file).c_str(), GENERIC_READ, kShareAll, nullptr,
                               OPEN_EXISTING, 0, nullptr));
      ASSERT_TRUE(holder);
    }
    EXPECT_EQ(code_of(remove_tree(scratch_.at(L"top"))), c.error) << c.read_only;
    EXPECT_EQ(scratch_.exists(file), c.error != 0) << c.read_only;
  }
}

// After the first refusal of the extended disposition the files are opened delete-on-close; a
// read-only file (listed last) still stops the removal with 5 and keeps its attribute.
TEST_F(ScriptedTreeRemoval, AfterARefusalFilesAreOpenedDeleteOnClose) {
  file_system_calls.set_information = &refusing_extended_disposition;
  for (int i = 0; i < 6; ++i) scratch_.write_file(L"top\\sub\\" + long_name(i, 20));
  const auto listed = testing::listing(scratch_.at(L"top\\sub"));
  ASSERT_EQ(listed.size(), 6u);
  const std::wstring read_only = L"top\\sub\\" + std::wstring(listed.back().cFileName);
  scratch_.make_read_only(read_only);
  EXPECT_EQ(code_of(remove_tree(scratch_.at(L"top"))), ERROR_ACCESS_DENIED);
  EXPECT_EQ(script.classic_dispositions, 2);
  EXPECT_EQ(testing::listing(scratch_.at(L"top\\sub")).size(), 1u);
  EXPECT_NE(GetFileAttributesW(scratch_.at(read_only).c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
}

// Entries another process deleted, or has pending deletion, when their turn comes count as
// deleted; no entry is opened through a link; a platform that rejects OBJ_DONT_REPARSE loses it
// once, for the rest of the process (so this test comes last).
TEST_F(ScriptedTreeRemoval, GoneEntriesAndRejectedDontReparseAreTakenInStride) {
  script.deleted_by_other = true;
  script.reject_dont_reparse = true;
  for (int i = 0; i < 6; ++i) {
    scratch_.write_file(L"top\\" + long_name(i, 20));
    scratch_.write_file(L"top\\sub\\" + long_name(i, 20));
  }
  expect_removed(L"top");
  EXPECT_EQ(script.deleted_opens, 12);
  EXPECT_TRUE(script.every_open_as_itself);
  EXPECT_EQ(script.dont_reparse_rejections, 1);
  EXPECT_EQ(relative_open_attribute(), 0u);
}

}  // namespace
}  // namespace voxtrel
