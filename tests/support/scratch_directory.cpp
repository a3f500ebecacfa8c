#include "tests/support/scratch_directory.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "system/path.h"
#include "system/text.h"
#include "system/unique_handle.h"

namespace voxtrel::testing {

std::string narrow(std::wstring_view text) {
  return to_utf8_lossy(text);
}

ScratchDirectory::ScratchDirectory() {
  // The process id and time join the random number: some runtimes' random_device is a fixed
  // sequence, and test programs run in parallel.
  const auto suffix = std::random_device{}() ^ GetCurrentProcessId() ^ GetTickCount();
  path_ = (std::filesystem::temp_directory_path() / L"voxtrel-test-").wstring() +
          std::to_wstring(suffix);
  CreateDirectoryW(path_.c_str(), nullptr);
}

// Long paths and read-only entries must not stop the clean-up: work on the verbatim form and
// clear every attribute first.
ScratchDirectory::~ScratchDirectory() {
  const std::filesystem::path root(verbatim({}));
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(root, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  std::filesystem::remove_all(root, error);
}

std::wstring ScratchDirectory::at(std::wstring_view relative) const {
  return join_path(path_, relative);
}

std::wstring ScratchDirectory::verbatim(std::wstring_view relative) const {
  return std::wstring(kVerbatimPrefix) + (relative.empty() ? path_ : at(relative));
}

void ScratchDirectory::make_directory(std::wstring_view relative) const {
  std::error_code error;
  std::filesystem::create_directories(verbatim(relative), error);
}

void ScratchDirectory::write_file(std::wstring_view relative, std::string_view content) const {
  const std::filesystem::path full(verbatim(relative));
  std::error_code error;
  std::filesystem::create_directories(full.parent_path(), error);
  std::ofstream file(full, std::ios::binary);
  ASSERT_TRUE(file << content) << "cannot create " << narrow(full.wstring());
}

bool ScratchDirectory::exists(std::wstring_view relative) const {
  return GetFileAttributesW(verbatim(relative).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::optional<std::string> ScratchDirectory::content(std::wstring_view relative) const {
  std::ifstream file(std::filesystem::path(verbatim(relative)), std::ios::binary);
  if (!file) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(file), {});
}

void ScratchDirectory::make_read_only(std::wstring_view relative) const {
  ASSERT_TRUE(SetFileAttributesW(verbatim(relative).c_str(), FILE_ATTRIBUTE_READONLY))
      << narrow(at(relative));
}

std::vector<WIN32_FIND_DATAW> listing(const std::wstring& directory) {
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

void ScratchTest::TearDown() {
  if (HasFailure()) std::cerr << "scratch directory: " << narrow(scratch_.path()) << "\n";
}

}  // namespace voxtrel::testing
