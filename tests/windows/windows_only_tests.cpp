// Cases that need what only Windows gives: real junctions and directory symbolic links, the
// extended disposition, deletion through a renamed folder's handle, oplocks and a real limited
// token. Each skips with its reason where the platform cannot give the condition (Wine 8 and 10,
// FAT, not an administrator); run-tests.cmd runs them on a Windows machine.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "driver/console.h"
#include "driver/leftover_sweep.h"
#include "system/file_system_calls.h"
#include "system/path.h"
#include "system/process_token.h"
#include "system/text.h"
#include "system/tree_removal.h"
#include "system/tree_search.h"
#include "system/unique_handle.h"
#include "system/windows_api.h"
#include "tests/support/child_process.h"
#include "tests/support/scratch_directory.h"

// After <windows.h>: the reparse-point and oplock control codes, and NtOpenFile.
#include <winioctl.h>
#include <winternl.h>

namespace voxtrel {
namespace {

using testing::narrow;

constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr wchar_t kTokenChildVariable[] = L"VOXTREL_TOKEN_CHILD";

// Makes `link` a junction to `target` (an absolute path).
bool make_junction(const std::wstring& link, const std::wstring& target) {
  const std::wstring substitute = std::wstring(kNtObjectPrefix) + target;
  const std::wstring names = substitute + L'\0' + target + L'\0';
  // The mount-point record in 16-bit units: tag, data length, reserved, the offsets and lengths
  // of both names in bytes, then the names.
  std::wstring record{LOWORD(IO_REPARSE_TAG_MOUNT_POINT), HIWORD(IO_REPARSE_TAG_MOUNT_POINT)};
  for (const std::size_t units :
       {names.size() + 4, 0uz, 0uz, substitute.size(), substitute.size() + 1, target.size()}) {
    record += static_cast<wchar_t>(units * sizeof(wchar_t));
  }
  record += names;
  if (!CreateDirectoryW(link.c_str(), nullptr)) return false;
  const UniqueFile directory(CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                         nullptr));
  DWORD returned = 0;
  return directory && DeviceIoControl(directory.get(), FSCTL_SET_REPARSE_POINT, record.data(),
                                      static_cast<DWORD>(record.size() * sizeof(wchar_t)), nullptr,
                                      0, &returned, nullptr);
}

// Makes `link` a junction or a directory symbolic link to `target`; on failure, why this
// platform cannot. Wine 8 and 10 can do neither: junctions fail with 50, and CreateSymbolicLinkW
// reports success without creating anything; FAT has no reparse points.
std::string make_directory_link(bool junction, const std::wstring& link,
                                const std::wstring& target) {
  if (junction ? !make_junction(link, target)
               : !CreateSymbolicLinkW(
                     link.c_str(), target.c_str(),
                     SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
    return std::string(junction ? "junctions" : "directory symbolic links (administrator?)") +
           " cannot be created here: error " + std::to_string(GetLastError());
  }
  const DWORD attributes = GetFileAttributesW(link.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return "the platform reported a link created but made none";
  }
  return {};
}

class OnWindows : public testing::ScratchTest {
 public:
  // Step 8 on `root` below the scratch directory; its lines in `lines`.
  SweepCounts sweep(std::wstring_view root, std::string* lines = nullptr) {
    auto captured = testing::captured_sweep(scratch_, root);
    if (lines != nullptr) *lines = std::move(captured.lines).value_or("");
    return captured.counts;
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

// The link goes, its target and the target's content stay, whether the removal starts at the
// link or at a folder that holds it.
TEST_F(OnWindows, RemovalDeletesJunctionsAndDirectorySymbolicLinksAsLinks) {
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

TEST_F(OnWindows, RemovalDeletesAReadOnlyFileThroughTheExtendedDisposition) {
  if (const std::string reason = extended_disposition_refused(); !reason.empty()) {
    GTEST_SKIP() << reason;
  }
  scratch_.write_file(L"top\\sub\\read-only.txt");
  scratch_.make_read_only(L"top\\sub\\read-only.txt");
  EXPECT_TRUE(remove_tree(scratch_.at(L"top")).has_value());
  EXPECT_FALSE(scratch_.exists(L"top"));
}

TEST_F(OnWindows, SweepDeletesALeftoverBehindAJunctionUnderTheLinksPath) {
  scratch_.write_file(L"target\\voxtrel-agent.exe.old");
  scratch_.make_directory(L"root");
  if (const std::string reason =
          make_directory_link(true, scratch_.at(L"root\\junction"), scratch_.at(L"target"));
      !reason.empty()) {
    GTEST_SKIP() << reason;
  }
  std::string lines;
  const SweepCounts counts = sweep(L"root", &lines);
  EXPECT_EQ(lines, "      Removing: " + narrow(scratch_.at(L"root\\junction")) +
                       "\\voxtrel-agent.exe.old\n");
  EXPECT_EQ(counts.removed, 1u);
  EXPECT_FALSE(scratch_.exists(L"target\\voxtrel-agent.exe.old"));
  EXPECT_TRUE(scratch_.exists(L"root\\junction"));
}

// Whether a file marked for deletion through a handle opened relative to its folder's handle
// goes once that folder has been renamed. Windows deletes the file the handle holds. Wine 8 and
// 10 keep the path the folder had when it was opened, find another file (or none) there at the
// close, and delete nothing.
bool deletes_in_renamed_folders(const testing::ScratchDirectory& scratch) {
  scratch.write_file(L"probe\\before\\file");
  const UniqueFile folder(CreateFileW(scratch.at(L"probe\\before").c_str(), FILE_LIST_DIRECTORY,
                                      kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                      nullptr));
  EXPECT_TRUE(MoveFileW(scratch.at(L"probe\\before").c_str(), scratch.at(L"probe\\after").c_str()));
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"file");
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, &name, 0, folder.get(), nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE raw = nullptr;
  EXPECT_TRUE(NT_SUCCESS(NtOpenFile(&raw, DELETE, &object, &io, kShareAll, 0)));
  UniqueKernelHandle file(raw);
  FILE_DISPOSITION_INFO disposition{TRUE};
  EXPECT_TRUE(SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition,
                                         sizeof(disposition)));
  file.reset();
  return !scratch.exists(L"probe\\after\\file");
}

// A leftover's folder renamed after the listing: the deletion through the folder's handle still
// reaches the listed file.
TEST_F(OnWindows, SweepDeletesTheListedFileAfterItsFolderWasRenamed) {
  if (!deletes_in_renamed_folders(scratch_)) {
    GTEST_SKIP()
        << "this platform deletes by the path a folder had when it was opened (Wine 8, 10)";
  }
  scratch_.write_file(L"top\\evil\\voxtrel-agent.exe.old", "listed");
  auto search = TreeSearch::open(scratch_.at(L"top"), nullptr);
  ASSERT_TRUE(search.has_value());
  const auto entry = search->next();
  ASSERT_TRUE(entry.has_value());
  ASSERT_TRUE(MoveFileW(scratch_.at(L"top\\evil").c_str(), scratch_.at(L"top\\moved").c_str()));
  EXPECT_TRUE(search->remove(*entry).has_value());
  EXPECT_FALSE(scratch_.exists(L"top\\moved\\voxtrel-agent.exe.old"));
}

// A read-handle oplock that its holder never acknowledges, requested on `path` (a file, or a
// folder opened without read sharing); false, with the reason in `skipped`, where none is granted.
struct UnansweredOplock {
  UniqueFile holder;
  UniqueKernelHandle broken{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  OVERLAPPED overlapped{};
  REQUEST_OPLOCK_OUTPUT_BUFFER granted{};

  bool take(const std::wstring& path, bool folder, std::string& skipped) {
    holder.reset(CreateFileW(
        path.c_str(), folder ? FILE_LIST_DIRECTORY : GENERIC_READ,
        folder ? FILE_SHARE_WRITE | FILE_SHARE_DELETE : kShareAll, nullptr, OPEN_EXISTING,
        FILE_FLAG_OVERLAPPED | (folder ? FILE_FLAG_BACKUP_SEMANTICS : 0), nullptr));
    REQUEST_OPLOCK_INPUT_BUFFER request{
        REQUEST_OPLOCK_CURRENT_VERSION, sizeof(REQUEST_OPLOCK_INPUT_BUFFER),
        OPLOCK_LEVEL_CACHE_READ | OPLOCK_LEVEL_CACHE_HANDLE, REQUEST_OPLOCK_INPUT_FLAG_REQUEST};
    overlapped.hEvent = broken.get();
    if (holder &&
        !DeviceIoControl(holder.get(), FSCTL_REQUEST_OPLOCK, &request, sizeof(request), &granted,
                         sizeof(granted), nullptr, &overlapped) &&
        GetLastError() == ERROR_IO_PENDING) {
      return true;
    }
    skipped =
        "no oplock granted here (Wine 8 and 10 have none): error " + std::to_string(GetLastError());
    return false;
  }
  // The request completes once cancelled; it writes into this object until then.
  ~UnansweredOplock() {
    DWORD returned = 0;
    if (holder && CancelIoEx(holder.get(), &overlapped))
      GetOverlappedResult(holder.get(), &overlapped, &returned, TRUE);
  }
};

// Step 8 on another thread, given `limit` to finish in; its lines, counts and whether it did.
struct TimedSweep {
  OnWindows* test;
  std::wstring root;
  SweepCounts counts;
  bool finished = false;
};
void run_sweep_within(TimedSweep& run, DWORD limit_ms) {
  const UniqueKernelHandle thread(CreateThread(
      nullptr, 0,
      [](void* context) -> DWORD {
        auto* run = static_cast<TimedSweep*>(context);
        run->counts = run->test->sweep(run->root);
        return 0;
      },
      &run, 0, nullptr));
  ASSERT_TRUE(thread);
  run.finished = WaitForSingleObject(thread.get(), limit_ms) == WAIT_OBJECT_0;
  WaitForSingleObject(thread.get(), INFINITE);
}

// Another process holds a read-handle oplock on a leftover and never acknowledges its break: the
// leftover's disposition would wait for it for ever; it is given up after the bound, the leftover
// reported as held, and the sweep goes on.
TEST_F(OnWindows, SweepIsNotStalledByAnOplockOnALeftover) {
  scratch_.write_file(L"root\\voxtrel-agent.exe.old");
  scratch_.write_file(L"root\\z\\voxtrel-agent.exe.old.2");
  UnansweredOplock oplock;
  std::string skipped;
  if (!oplock.take(scratch_.at(L"root\\voxtrel-agent.exe.old"), false, skipped)) {
    GTEST_SKIP() << skipped;
  }
  TimedSweep run{this, L"root", {}};
  run_sweep_within(run, 10'000);
  EXPECT_TRUE(run.finished) << "the sweep waited for the oplock's holder";
  EXPECT_EQ(std::pair(run.counts.removed, run.counts.failed), std::pair(1u, 1u));
  EXPECT_TRUE(scratch_.exists(L"root\\voxtrel-agent.exe.old"));
  EXPECT_FALSE(scratch_.exists(L"root\\z\\voxtrel-agent.exe.old.2"));
}

// The same on the top of the search, which its holder opened without read sharing: the search's
// open of it does not wait, and the top is reported as not searched.
TEST_F(OnWindows, SweepIsNotStalledByAnOplockOnItsTop) {
  scratch_.write_file(L"root\\voxtrel-agent.exe.old");
  UnansweredOplock oplock;
  std::string skipped;
  if (!oplock.take(scratch_.at(L"root"), true, skipped)) GTEST_SKIP() << skipped;
  TimedSweep run{this, L"root", {}};
  run_sweep_within(run, 10'000);
  EXPECT_TRUE(run.finished) << "the sweep waited for the oplock's holder";
  EXPECT_EQ(run.counts.unsearched, std::vector<Path>{scratch_.at(L"root")});
  EXPECT_TRUE(scratch_.exists(L"root\\voxtrel-agent.exe.old"));
}

// The elevation gate's two inputs under the limited token UAC links to an elevated
// administrator's: the token reads as not elevated, and the first physical disk is refused.
TEST(ElevationGateOnWindows, ALimitedTokenIsNotElevatedAndCannotOpenTheDisk) {
  HANDLE raw = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw));
  const UniqueKernelHandle token(raw);
  TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
  DWORD size = 0;
  GetTokenInformation(raw, TokenElevationType, &type, sizeof(type), &size);
  if (type != TokenElevationTypeFull) {
    GTEST_SKIP() << "not run as an administrator under UAC: no limited token to start with";
  }
  SetEnvironmentVariableW(kTokenChildVariable, L"1");
  const auto run = testing::run_captured(L"\"" + testing::test_child_executable() +
                                         L"\" --limited \"" + testing::own_executable() + L"\"");
  SetEnvironmentVariableW(kTokenChildVariable, nullptr);
  ASSERT_EQ(run.exit_code & 4u, 4u) << "the child did not run: " << run.exit_code << run.errors;
  if ((run.exit_code & 2u) != 0) {
    GTEST_SKIP() << "the first physical disk opens under a limited token here (Wine 8, 10)";
  }
  EXPECT_EQ(run.exit_code, 4u) << "the limited token reads as elevated";
}

// In the child, under the limited token: 4, plus 1 if the token reads as elevated, plus 2 if
// the first physical disk opens.
int token_child() {
  const UniqueFile disk(CreateFileW(L"\\\\.\\PHYSICALDRIVE0", GENERIC_READ, kShareAll, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
  return 4 | (is_process_elevated().value_or(true) ? 1 : 0) | (disk ? 2 : 0);
}

}  // namespace
}  // namespace voxtrel

int main(int argc, char** argv) {
  if (GetEnvironmentVariableW(voxtrel::kTokenChildVariable, nullptr, 0) > 0) {
    return voxtrel::token_child();
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
