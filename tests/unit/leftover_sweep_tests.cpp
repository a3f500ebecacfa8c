// Step 8, the leftover sweep: which names are leftovers, the order it deletes them in, links and
// listings it meets, holders of oplocks it waits for within a bound, what it says when it is done.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "agent/footprint.h"
#include "driver/leftover_sweep.h"
#include "system/file_system_calls.h"
#include "system/tree_search.h"
#include "system/unique_handle.h"
#include "tests/support/child_process.h"
#include "tests/support/directory_links.h"
#include "tests/support/file_system_fakes.h"
#include "tests/support/scratch_directory.h"

// After <windows.h>: the oplock control codes, and NtOpenFile.
#include <winioctl.h>
#include <winternl.h>

namespace voxtrel {
namespace {

using testing::make_directory_link;
using testing::narrow;

constexpr std::string_view kRemoving = "      Removing: ";
constexpr std::string_view kFailed = "      Failed to remove: ";
constexpr std::string_view kNotSearched = "      Could not search: ";

TEST(LeftoverName, PrefixIsExactCaseSensitiveAndAnchored) {
  for (const std::wstring_view name :
       {L"voxtrel-agent.exe.old", L"voxtrel-agent.exe.old.1", L"voxtrel-agent.exe.old2",
        L"voxtrel-agent.exe.old.bak", L"voxtrel-agent.exe.old\xD83D\xDE00"})
    EXPECT_TRUE(is_leftover_name(name)) << narrow(name);
  // The last one ends in an unpaired surrogate: not valid Unicode.
  for (const std::wstring_view name :
       {L"voxtrel-agent.exe", L"voxtrel-agent.exe.ol", L"Voxtrel-agent.exe.old",
        L"voxtrel-agent.EXE.old", L"voxtrel-agent.exe.OLD", L"xvoxtrel-agent.exe.old",
        L" voxtrel-agent.exe.old", L"", L"voxtrel-agent.exe.old\xD800"})
    EXPECT_FALSE(is_leftover_name(name)) << narrow(name);
}

TEST(LeftoverSummary, CountsDecideTheLinesAndFoldersNotSearchedComeFirst) {
  const auto summary = [](std::uint32_t removed, std::uint32_t failed,
                          std::vector<Path> unsearched = {}) {
    return leftover_summary({removed, failed, std::move(unsearched)});
  };
  EXPECT_EQ(summary(0, 0), "      No leftover .old files found.\n");
  EXPECT_EQ(summary(0, 2), "      Failed to remove 2 leftover file(s).\n");
  EXPECT_EQ(summary(12, 1),
            "      Removed 12 leftover file(s).\n      Failed to remove 1 leftover file(s).\n");
  EXPECT_EQ(summary(0, 0, {L"C:\\a", L"C:\\b\xD800"}),
            "      Could not search: C:\\a\n      Could not search: C:\\b\xEF\xBF\xBD\n"
            "      No leftover .old files found.\n");
  EXPECT_EQ(summary(1, 0, {L"C:\\a"}),
            "      Could not search: C:\\a\n      Removed 1 leftover file(s).\n");
}

class LeftoverSweep : public testing::ScratchTest {
 public:
  // Step 8 on `root` below the scratch directory; its lines in `lines`.
  SweepCounts sweep(std::wstring_view root, std::string* lines = nullptr) {
    auto captured = testing::captured_sweep(scratch_, root);
    if (lines != nullptr) *lines = std::move(captured.lines).value_or("");
    return captured.counts;
  }

 protected:
  // The sweep's lines, then a "Could not search:" line for each folder it could not search.
  void expect_sweep(std::wstring_view root, const std::string& output,
                    std::pair<std::uint32_t, std::uint32_t> counts) {
    const auto [found, lines] = testing::captured_sweep(scratch_, root);
    std::string shown = lines.value_or("");
    for (const Path& folder : found.unsearched) shown += full_line(kNotSearched, folder);
    EXPECT_EQ(shown, output) << narrow(root);
    EXPECT_EQ(std::pair(found.removed, found.failed), counts) << narrow(root);
  }
  std::string line(std::string_view start, std::wstring_view relative) {
    return full_line(start, scratch_.at(relative));
  }
  static std::string full_line(std::string_view start, const Path& path) {
    return std::string(start) + narrow(path) + "\n";
  }
};

// The lines a plain recursive walk prints, in the platform's listing order.
void recursive_walk(const std::wstring& directory, std::string& lines) {
  for (const WIN32_FIND_DATAW& entry : testing::listing(directory)) {
    const std::wstring path = directory + L"\\" + entry.cFileName;
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      recursive_walk(path, lines);
    } else if (std::wstring_view(entry.cFileName).starts_with(L"voxtrel-agent.exe.old")) {
      lines += std::string(kRemoving) + narrow(path) + "\n";
    }
  }
}

TEST_F(LeftoverSweep, DepthFirstInListingOrderAndOnlyMatchingFilesGo) {
  const std::wstring leftovers[] = {
      L"root\\voxtrel-agent.exe.old.0",      L"root\\a\\voxtrel-agent.exe.old.1",
      L"root\\a\\b\\voxtrel-agent.exe.old2", L"root\\a\\b\\c\\voxtrel-agent.exe.old.3",
      L"root\\a\\voxtrel-agent.exe.old.4",   L"root\\voxtrel-agent.exe.old\\voxtrel-agent.exe.old",
      L"root\\f\\g\\voxtrel-agent.exe.old5", L"root\\f\\voxtrel-agent.exe.old.bak",
  };
  const std::wstring decoys[] = {
      L"root\\voxtrel-agent.exe",         L"root\\voxtrel-agent.exe.ol",
      L"root\\a\\Voxtrel-agent.exe.old",  L"root\\a\\b\\voxtrel-agent.EXE.old",
      L"root\\f\\xvoxtrel-agent.exe.old", L"root\\f\\g\\old-voxtrel-agent.exe.old",
  };
  // One more leftover, past the classic path limit.
  const std::wstring long_folder =
      L"root\\" + std::wstring(150, L'l') + L"\\" + std::wstring(150, L'l');
  scratch_.write_file(long_folder + L"\\voxtrel-agent.exe.old");
  for (const auto& path : leftovers) scratch_.write_file(path);
  for (const auto& path : decoys) scratch_.write_file(path, "decoy");
  scratch_.make_directory(L"root\\e");
  std::string expected;
  recursive_walk(scratch_.at(L"root"), expected);
  expect_sweep(L"root", expected, {static_cast<std::uint32_t>(std::size(leftovers)) + 1, 0});
  EXPECT_FALSE(scratch_.exists(long_folder + L"\\voxtrel-agent.exe.old"));
  for (const auto& path : leftovers) EXPECT_FALSE(scratch_.exists(path)) << narrow(path);
  for (const auto& path : decoys) EXPECT_EQ(scratch_.content(path), "decoy") << narrow(path);
  EXPECT_TRUE(scratch_.exists(L"root\\voxtrel-agent.exe.old")) << "a directory is not a leftover";
  EXPECT_TRUE(scratch_.exists(L"root\\e"));
}

// A folder renamed away after it was listed, and a new folder put in its place holding a file of
// the same name: the deletion goes through the handle of the folder that listed the file, so the
// planted file stays. (That the listed one goes, which Wine 8 and 10 cannot do, is the next test,
// which skips there.)
TEST_F(LeftoverSweep, DeletionReachesTheListedFileAfterItsFolderWasSwapped) {
  scratch_.write_file(L"top\\evil\\voxtrel-agent.exe.old", "listed");
  auto search = TreeSearch::open(scratch_.at(L"top"), nullptr);
  ASSERT_TRUE(search.has_value());
  const auto entry = search->next();
  ASSERT_TRUE(entry.has_value());
  ASSERT_EQ(search->path_of(*entry), scratch_.at(L"top\\evil\\voxtrel-agent.exe.old"));
  ASSERT_TRUE(MoveFileW(scratch_.at(L"top\\evil").c_str(), scratch_.at(L"top\\moved").c_str()));
  scratch_.write_file(L"top\\evil\\voxtrel-agent.exe.old", "planted");
  EXPECT_TRUE(search->remove(*entry).has_value());
  EXPECT_EQ(scratch_.content(L"top\\evil\\voxtrel-agent.exe.old"), "planted");
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
TEST_F(LeftoverSweep, SweepDeletesTheListedFileAfterItsFolderWasRenamed) {
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

// Links as Windows shows them (see FakeDirectoryLinks): one out of the root is followed, and its
// read-only leftover goes (NTFS takes the extended disposition) under the link's path; one back
// to the root is not searched again, or its held leftover would show twice; both links stay. The
// held leftover stays, reported and counted apart.
TEST_F(LeftoverSweep, FollowsLinksOnceDeletesReadOnlyLeftoversAndReportsHeldOnes) {
  const testing::ScopedFileSystemCalls restore;
  file_system_calls.set_information = &testing::set_information_as_ntfs;
  testing::FakeDirectoryLinks links;
  scratch_.write_file(L"target\\voxtrel-agent.exe.old");
  scratch_.make_read_only(L"target\\voxtrel-agent.exe.old");
  scratch_.write_file(L"root\\voxtrel-agent.exe.old.held", "held");
  const UniqueFile held(CreateFileW(scratch_.at(L"root\\voxtrel-agent.exe.old.held").c_str(),
                                    GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                    nullptr));
  links.add(scratch_.at(L"root\\link"), scratch_.at(L"target"));
  links.add(scratch_.at(L"root\\loop"), scratch_.at(L"root"));
  std::string expected;
  for (const auto& entry : testing::listing(scratch_.at(L"root"))) {
    const std::wstring name = entry.cFileName;
    if (name == L"link") expected += line(kRemoving, L"root\\link\\voxtrel-agent.exe.old");
    if (name != L"voxtrel-agent.exe.old.held") continue;
    expected += line(kRemoving, L"root\\" + name) + line(kFailed, L"root\\" + name);
  }
  expect_sweep(L"root", expected, {1, 1});
  EXPECT_FALSE(scratch_.exists(L"target\\voxtrel-agent.exe.old"));
  EXPECT_EQ(scratch_.content(L"root\\voxtrel-agent.exe.old.held"), "held");
  EXPECT_TRUE(scratch_.exists(L"root\\link") && scratch_.exists(L"root\\loop"));
}

// The same through a real junction, where the platform can make one: its leftover goes under
// the link's path, and the junction stays.
TEST_F(LeftoverSweep, SweepDeletesALeftoverBehindAJunctionUnderTheLinksPath) {
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

// A leftover or a search root under another process's oplock (a batch oplock the DELETE open
// breaks, or a read-handle one the disposition breaks): a holder that acknowledges in time is no
// failure; one that never does costs one bound, and leaves the leftover reported as not removed,
// or the root reported as not searched. The sweep goes on.
TEST_F(LeftoverSweep, OplockHoldersAreWaitedForWithinTheBound) {
  using std::chrono::milliseconds;
  const std::wstring leftover = L"root\\voxtrel-agent.exe.old";
  const struct {
    std::wstring held;
    bool batch;
    bool acknowledged;
    std::string lines;
    std::pair<std::uint32_t, std::uint32_t> counts;
  } cases[] = {
      {L"voxtrel-agent.exe.old", true, true, line(kRemoving, leftover), {1, 0}},
      {L"voxtrel-agent.exe.old", false, true, line(kRemoving, leftover), {1, 0}},
      {L"voxtrel-agent.exe.old",
       true,
       false,
       line(kRemoving, leftover) + line(kFailed, leftover),
       {0, 1}},
      {L"voxtrel-agent.exe.old",
       false,
       false,
       line(kRemoving, leftover) + line(kFailed, leftover),
       {0, 1}},
      {L"root", true, true, line(kRemoving, leftover), {1, 0}},
      {L"root", true, false, line(kNotSearched, L"root"), {0, 0}},
  };
  for (const auto& c : cases) {
    scratch_.write_file(leftover, "held");
    const testing::ScopedHolderWaitBudget budget(milliseconds(5000));
    const testing::OplockedEntries oplocks(
        {.name = c.held,
         .batch = c.batch,
         .acknowledge_after = c.acknowledged ? std::optional(milliseconds(20)) : std::nullopt});
    expect_sweep(L"root", c.lines, c.counts);
    const auto& holder = testing::oplock_holder;
    EXPECT_EQ(std::tuple(holder.waits, holder.cancelled, holder.unbounded),
              std::tuple(1, c.acknowledged ? 0 : 1, 0))
        << narrow(c.held) << " " << c.batch << c.acknowledged;
  }
}

// With the budget spent, nothing is waited for: a break in progress leaves the leftover held at
// once, and a disposition that waits is given up at once.
TEST_F(LeftoverSweep, SpentBudgetWaitsForNoHolder) {
  for (const bool batch : {true, false}) {
    scratch_.write_file(L"root\\voxtrel-agent.exe.old", "held");
    const testing::ScopedHolderWaitBudget budget(std::chrono::milliseconds::zero());
    const testing::OplockedEntries oplocks(
        {.name = L"voxtrel-agent.exe.old", .batch = batch, .acknowledge_after = {}});
    expect_sweep(L"root",
                 line(kRemoving, L"root\\voxtrel-agent.exe.old") +
                     line(kFailed, L"root\\voxtrel-agent.exe.old"),
                 {0, 1});
    EXPECT_EQ(testing::oplock_holder.waits, batch ? 0 : 1) << batch;
    EXPECT_EQ(scratch_.content(L"root\\voxtrel-agent.exe.old"), "held");
  }
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
  LeftoverSweep* test;
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
TEST_F(LeftoverSweep, SweepIsNotStalledByAnOplockOnALeftover) {
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
TEST_F(LeftoverSweep, SweepIsNotStalledByAnOplockOnItsTop) {
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

// What a followed link or another file system may list. A folder or a link's target held without
// read sharing is a folder that could not be searched, never a leftover; a link whose target is a
// file is an entry; a batch whose first record reaches past its end leaves its folder not
// searched.
TEST_F(LeftoverSweep, LinksAndListingsFromElsewhereAreTakenForWhatTheyAre) {
  const std::wstring held = L"held\\voxtrel-agent.exe.old-link";
  scratch_.write_file(held + L"\\voxtrel-agent.exe.old", "inside");
  const UniqueFile holder(CreateFileW(scratch_.at(held).c_str(), GENERIC_READ, 0, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  ASSERT_TRUE(holder);
  scratch_.write_file(L"plain\\held\\voxtrel-agent.exe.old", "inside");
  const UniqueFile plain_holder(CreateFileW(scratch_.at(L"plain\\held").c_str(), GENERIC_READ, 0,
                                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                            nullptr));
  ASSERT_TRUE(plain_holder);
  scratch_.write_file(L"file\\voxtrel-agent.exe.old-link");
  scratch_.write_file(L"past\\a\\voxtrel-agent.exe.old", "unlisted");
  scratch_.write_file(L"past\\a\\trigger");
  scratch_.write_file(L"past\\b\\voxtrel-agent.exe.old");
  const testing::ScopedFileSystemCalls restore;
  file_system_calls.get_information = &testing::get_information_rewriting_listing;
  using enum testing::ListingChange;
  testing::listing_rewrite = {L"voxtrel-agent.exe.old-link", kAsDirectoryLink};
  expect_sweep(L"held", line(kNotSearched, held), {});
  expect_sweep(L"plain", line(kNotSearched, L"plain\\held"), {});
  expect_sweep(L"file", line(kRemoving, L"file\\voxtrel-agent.exe.old-link"), {1, 0});
  testing::listing_rewrite = {L"trigger", kFirstReachesPast};
  expect_sweep(L"past",
               line(kRemoving, L"past\\b\\voxtrel-agent.exe.old") + line(kNotSearched, L"past\\a"),
               {1, 0});
  EXPECT_EQ(scratch_.content(held + L"\\voxtrel-agent.exe.old"), "inside");
  EXPECT_FALSE(scratch_.exists(L"file\\voxtrel-agent.exe.old-link"));
  EXPECT_EQ(scratch_.content(L"past\\a\\voxtrel-agent.exe.old"), "unlisted");
}

// A leftover swapped for a folder of the same name after it was listed is not deleted: the
// deletion asks for a file.
TEST_F(LeftoverSweep, FolderSwappedInForALeftoverStays) {
  scratch_.write_file(L"top\\voxtrel-agent.exe.old");
  auto search = TreeSearch::open(scratch_.at(L"top"), nullptr);
  ASSERT_TRUE(search.has_value());
  const auto entry = search->next();
  ASSERT_TRUE(entry.has_value());
  ASSERT_TRUE(DeleteFileW(scratch_.at(L"top\\voxtrel-agent.exe.old").c_str()));
  scratch_.make_directory(L"top\\voxtrel-agent.exe.old");
  EXPECT_FALSE(search->remove(*entry).has_value());
  EXPECT_TRUE(scratch_.exists(L"top\\voxtrel-agent.exe.old"));
}

TEST_F(LeftoverSweep, MissingRootOrFileAsRootIsSilent) {
  scratch_.write_file(L"voxtrel-agent.exe.old");
  expect_sweep(L"missing", "", {});
  expect_sweep(L"voxtrel-agent.exe.old", "", {});
  EXPECT_TRUE(scratch_.exists(L"voxtrel-agent.exe.old"));
}

TEST_F(LeftoverSweep, SubdirectoryWithUnpairedSurrogateIsSearchedUnderItsOwnName) {
  const std::wstring odd = L"root\\odd\xD800";
  scratch_.make_directory(odd);
  const auto listed = testing::listing(scratch_.at(L"root"));
  if (listed.size() != 1 || std::wstring_view(listed[0].cFileName) != L"odd\xD800")
    GTEST_SKIP() << "the file system refuses or changes a name with an unpaired surrogate";
  scratch_.write_file(odd + L"\\voxtrel-agent.exe.old");
  scratch_.write_file(odd + L"\\voxtrel-agent.exe.old\xDC00", "not valid Unicode");
  // Shown with U+FFFD, but deleted under the name the platform gave.
  expect_sweep(L"root",
               std::string(kRemoving) + narrow(scratch_.at(L"root")) +
                   "\\odd\xEF\xBF\xBD\\voxtrel-agent.exe.old\n",
               {1, 0});
  EXPECT_FALSE(scratch_.exists(odd + L"\\voxtrel-agent.exe.old"));
  EXPECT_EQ(scratch_.content(odd + L"\\voxtrel-agent.exe.old\xDC00"), "not valid Unicode");
}

}  // namespace
}  // namespace voxtrel
