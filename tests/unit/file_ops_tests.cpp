#include <gtest/gtest.h>

#include <set>
#include <string>

#include "system/file_ops.h"
#include "system/unique_handle.h"
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

// Opens `path` for reading with the given sharing, as another program holding the file would.
UniqueFile hold(const std::wstring& path, DWORD share) {
  return UniqueFile(
      CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr));
}

std::set<std::wstring> names_listed(const std::wstring& directory) {
  std::set<std::wstring> names;
  auto listing = list_directory(directory);
  EXPECT_TRUE(listing.has_value()) << narrow(directory);
  if (!listing) return names;
  while (auto item = listing->next()) {
    EXPECT_TRUE(item->has_value()) << "error item " << item->error().code();
    if (*item) names.emplace((*item)->name());
  }
  return names;
}

DWORD open_handle_count() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return count;
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

TEST_F(FileQueries, FileHeldWithoutAnySharingStillAnswers) {
  scratch_.write_file(L"held.txt");
  const UniqueFile held = hold(scratch_.at(L"held.txt"), 0);
  ASSERT_TRUE(held);
  const auto attributes = query_attributes(scratch_.at(L"held.txt"));
  ASSERT_TRUE(attributes.has_value()) << attributes.error().code();
  EXPECT_FALSE(is_directory(*attributes));
  EXPECT_TRUE(path_exists(scratch_.at(L"held.txt")));
}

TEST_F(FileQueries, EmptyPathAndNulPathFailEverywhere) {
  EXPECT_FALSE(query_attributes(L"").has_value());
  EXPECT_FALSE(path_exists(L""));
  const auto listing = list_directory(L"");
  ASSERT_FALSE(listing.has_value());
  EXPECT_TRUE(listing.error().is_os(ERROR_PATH_NOT_FOUND)) << listing.error().code();
  EXPECT_FALSE(remove_file(L"").has_value());

  scratch_.write_file(L"a");
  const std::wstring with_nul = scratch_.at(L"a") + std::wstring(1, L'\0') + L"b";
  const Error invalid = Error::invalid_input(kNulInPathMessage);
  EXPECT_EQ(query_attributes(with_nul).error(), invalid);
  EXPECT_EQ(list_directory(with_nul).error(), invalid);
  EXPECT_EQ(remove_file(with_nul).error(), invalid);
  EXPECT_TRUE(scratch_.exists(L"a"));
}

TEST_F(FileQueries, PathsLongerThan260UnitsWorkForEveryOperation) {
  const std::wstring folder = deep_folder();
  scratch_.write_file(folder + L"\\voxtrel-agent.exe.old");
  const std::wstring path = scratch_.at(folder + L"\\voxtrel-agent.exe.old");
  ASSERT_GT(path.size(), 260u);
  EXPECT_TRUE(path_exists(path));
  EXPECT_TRUE(is_directory(*query_attributes(scratch_.at(folder))));
  EXPECT_EQ(names_listed(scratch_.at(folder)), std::set<std::wstring>{L"voxtrel-agent.exe.old"});
  EXPECT_TRUE(remove_file(path).has_value());
  EXPECT_FALSE(scratch_.exists(folder + L"\\voxtrel-agent.exe.old"));
}

using DirectoryListingTest = ScratchTest;

TEST_F(DirectoryListingTest, YieldsEveryEntryOnceWithoutDotEntries) {
  scratch_.write_file(L"list\\a.txt");
  scratch_.write_file(L"list\\.hidden");
  scratch_.make_directory(L"list\\sub");
  const std::wstring directory = scratch_.at(L"list");
  auto listing = list_directory(directory);
  ASSERT_TRUE(listing.has_value());
  std::set<std::wstring> names;
  while (auto item = listing->next()) {
    ASSERT_TRUE(item->has_value()) << item->error().code();
    const DirectoryEntry& entry = **item;
    EXPECT_TRUE(names.emplace(entry.name()).second) << "listed twice: " << narrow(entry.name());
    EXPECT_EQ(narrow(entry.entry_path()), narrow(directory + L"\\" + std::wstring(entry.name())));
    const bool folder = (entry.find_record().dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    EXPECT_EQ(folder, entry.name() == L"sub") << narrow(entry.name());
  }
  EXPECT_EQ(names, (std::set<std::wstring>{L"a.txt", L".hidden", L"sub"}));
  EXPECT_FALSE(listing->next().has_value()) << "a finished listing yields nothing more";
}

TEST_F(DirectoryListingTest, EntryPathKeepsTheDirectoryAsGiven) {
  scratch_.write_file(L"list\\a.txt");
  const std::wstring given = scratch_.at(L"list") + L"\\";
  auto listing = list_directory(given);
  ASSERT_TRUE(listing.has_value());
  auto item = listing->next();
  ASSERT_TRUE(item && item->has_value());
  EXPECT_EQ(narrow((*item)->entry_path()), narrow(given + L"a.txt"));
}

TEST_F(DirectoryListingTest, EmptyFolderIsEmptyAndMissingOrFileIsAnError) {
  scratch_.make_directory(L"empty");
  scratch_.write_file(L"plain.txt");
  EXPECT_TRUE(names_listed(scratch_.at(L"empty")).empty());
  EXPECT_FALSE(list_directory(scratch_.at(L"missing")).has_value());
  EXPECT_FALSE(list_directory(scratch_.at(L"plain.txt")).has_value());
}

TEST_F(DirectoryListingTest, SearchHandleClosedWhenDroppedOrFinished) {
  for (int i = 0; i < 5; ++i) scratch_.write_file(L"list\\f" + std::to_wstring(i));
  const DWORD before = open_handle_count();
  if (before == 0) GTEST_SKIP() << "the platform does not count process handles";
  {
    auto listing = list_directory(scratch_.at(L"list"));
    ASSERT_TRUE(listing.has_value());
    ASSERT_TRUE(listing->next().has_value());
    EXPECT_GT(open_handle_count(), before) << "an open listing holds its search handle";
  }
  EXPECT_EQ(open_handle_count(), before) << "dropped before its end";
  auto listing = list_directory(scratch_.at(L"list"));
  ASSERT_TRUE(listing.has_value());
  while (listing->next()) {
  }
  EXPECT_EQ(open_handle_count(), before) << "finished but not yet dropped";
}

using FileRemoval = ScratchTest;

TEST_F(FileRemoval, RemovesOnlyTheNamedFile) {
  scratch_.write_file(L"gone.txt");
  scratch_.write_file(L"stays.txt");
  EXPECT_TRUE(remove_file(scratch_.at(L"gone.txt")).has_value());
  EXPECT_FALSE(scratch_.exists(L"gone.txt"));
  EXPECT_TRUE(scratch_.exists(L"stays.txt"));
  const auto again = remove_file(scratch_.at(L"gone.txt"));
  ASSERT_FALSE(again.has_value());
  EXPECT_TRUE(again.error().is_os(ERROR_FILE_NOT_FOUND)) << again.error().code();
}

TEST_F(FileRemoval, ReadOnlyFileFollowsThePlatformsAbility) {
  const bool can = testing::deletes_read_only_files(scratch_);
  scratch_.write_file(L"read-only.txt");
  scratch_.make_read_only(L"read-only.txt");
  const auto removed = remove_file(scratch_.at(L"read-only.txt"));
  if (can) {
    EXPECT_TRUE(removed.has_value()) << removed.error().code();
    EXPECT_FALSE(scratch_.exists(L"read-only.txt"));
  } else {
    ASSERT_FALSE(removed.has_value());
    // DeleteFileW's error, not the second attempt's.
    EXPECT_TRUE(removed.error().is_os(ERROR_ACCESS_DENIED)) << removed.error().code();
    EXPECT_TRUE(scratch_.exists(L"read-only.txt"));
  }
}

TEST_F(FileRemoval, FileHeldWithoutDeleteSharingStays) {
  scratch_.write_file(L"held.txt", "keep me");
  const UniqueFile held = hold(scratch_.at(L"held.txt"), FILE_SHARE_READ | FILE_SHARE_WRITE);
  ASSERT_TRUE(held);
  const auto removed = remove_file(scratch_.at(L"held.txt"));
  ASSERT_FALSE(removed.has_value());
  EXPECT_TRUE(removed.error().is_os(ERROR_SHARING_VIOLATION)) << removed.error().code();
  EXPECT_EQ(scratch_.content(L"held.txt"), "keep me");
}

TEST_F(FileRemoval, DirectoryIsNeverRemoved) {
  scratch_.make_directory(L"empty");
  scratch_.write_file(L"full\\inside.txt");
  EXPECT_FALSE(remove_file(scratch_.at(L"empty")).has_value());
  EXPECT_FALSE(remove_file(scratch_.at(L"full")).has_value());
  EXPECT_TRUE(scratch_.exists(L"empty"));
  EXPECT_TRUE(scratch_.exists(L"full\\inside.txt"));
}

}  // namespace
}  // namespace voxtrel
