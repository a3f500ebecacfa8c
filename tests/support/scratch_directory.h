// A fresh directory per test under the temporary folder, with a random suffix, printed when the
// test fails and removed in tear-down by std::filesystem, not by the tool's own removal code
// (relative paths "a\\b" may pass the classic limit); and a check for handles left open.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "system/path.h"
#include "system/text.h"
#include "system/unique_handle.h"
#include "system/windows_api.h"

namespace voxtrel::testing {

// The UTF-8 form of a UTF-16 text, for messages.
[[nodiscard]] inline std::string narrow(std::wstring_view text) {
  return to_utf8_lossy(text);
}

class ScratchDirectory {
 public:
  // The process id and time join the random number: some runtimes' random_device is a fixed
  // sequence, and test programs run in parallel.
  ScratchDirectory() {
    const auto suffix = std::random_device{}() ^ GetCurrentProcessId() ^ GetTickCount();
    path_ = (std::filesystem::temp_directory_path() / L"voxtrel-test-").wstring() +
            std::to_wstring(suffix);
    CreateDirectoryW(path_.c_str(), nullptr);
  }
  // Long paths and read-only entries must not stop the clean-up: work on the verbatim form and
  // clear every attribute first.
  ~ScratchDirectory() {
    const std::filesystem::path root(verbatim({}));
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(root, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error))
      SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
    std::filesystem::remove_all(root, error);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  [[nodiscard]] const std::wstring& path() const { return path_; }
  [[nodiscard]] std::wstring at(std::wstring_view relative) const {
    return join_path(path_, relative);
  }
  // Creates the file and its parents.
  void write_file(std::wstring_view relative, std::string_view content = "x") const {
    const std::filesystem::path full(verbatim(relative));
    std::error_code error;
    std::filesystem::create_directories(full.parent_path(), error);
    std::ofstream file(full, std::ios::binary);
    ASSERT_TRUE(file << content) << "cannot create " << narrow(full.wstring());
  }
  void make_directory(std::wstring_view relative) const {
    std::error_code error;
    std::filesystem::create_directories(verbatim(relative), error);
  }
  [[nodiscard]] bool exists(std::wstring_view relative) const {
    return GetFileAttributesW(verbatim(relative).c_str()) != INVALID_FILE_ATTRIBUTES;
  }
  [[nodiscard]] std::optional<std::string> content(std::wstring_view relative) const {
    std::ifstream file(std::filesystem::path(verbatim(relative)), std::ios::binary);
    if (!file) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(file), {});
  }
  void make_read_only(std::wstring_view relative) const {
    ASSERT_TRUE(SetFileAttributesW(verbatim(relative).c_str(), FILE_ATTRIBUTE_READONLY))
        << narrow(at(relative));
  }

 private:
  [[nodiscard]] std::wstring verbatim(std::wstring_view relative) const {
    return std::wstring(kVerbatimPrefix) + (relative.empty() ? path_ : at(relative));
  }
  std::wstring path_;
};

class ScratchTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (HasFailure()) std::cerr << "scratch directory: " << narrow(scratch_.path()) << "\n";
  }
  ScratchDirectory scratch_;
};

// The entries of `directory` (a full path) in the order the platform lists them, "." and ".."
// left out.
[[nodiscard]] inline std::vector<WIN32_FIND_DATAW> listing(const std::wstring& directory) {
  std::vector<WIN32_FIND_DATAW> entries;
  WIN32_FIND_DATAW data{};
  const UniqueFind search(
      FindFirstFileW((std::wstring(kVerbatimPrefix) + directory + L"\\*").c_str(), &data));
  if (!search) return entries;
  do {
    const std::wstring_view name = data.cFileName;
    if (name != L"." && name != L"..") entries.push_back(data);
  } while (FindNextFileW(search.get(), &data));
  return entries;
}

// Notices handles left open since its creation. Where the process handle count is kept
// (Windows) it compares counts. Wine's (8 and 10) count never moves, but Wine hands out the lowest
// free handle slots first, so there the lowest free slots (64: more than a removal here holds at
// once) are the same before and after exactly when nothing opened meanwhile was kept open.
class HandleLeakCheck {
 public:
  [[nodiscard]] bool leaked() const {
    const DWORD now = count();
    const std::vector<HANDLE> slots = free_slots();
    const UniqueKernelHandle probe(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return count() == now + 1 ? now != count_ : slots != slots_;
  }

 private:
  static DWORD count() {
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
  }
  static std::vector<HANDLE> free_slots() {
    std::vector<UniqueKernelHandle> probes;
    std::vector<HANDLE> slots;
    for (int i = 0; i < 64; ++i) {
      probes.emplace_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
      slots.push_back(probes.back().get());
    }
    return slots;
  }
  DWORD count_ = count();
  std::vector<HANDLE> slots_ = free_slots();
};

}  // namespace voxtrel::testing
