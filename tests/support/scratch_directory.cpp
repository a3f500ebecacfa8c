#include "tests/support/scratch_directory.h"

#include <filesystem>
#include <random>

#include "system/path.h"
#include "system/text.h"
#include "system/unique_handle.h"
#include "system/windows_api.h"

namespace voxtrel::testing {
namespace {

std::wstring temp_folder() {
  wchar_t buffer[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  return std::wstring(buffer, length);
}

std::wstring random_suffix() {
  std::random_device device;
  std::mt19937_64 engine(device() ^ (static_cast<std::uint64_t>(GetCurrentProcessId()) << 32) ^
                         GetTickCount64());
  return std::to_wstring(engine() % 1'000'000'000ULL);
}

// Long paths and read-only entries must not stop the clean-up: work on the verbatim form and
// clear every attribute first.
void remove_everything(const std::wstring& path) {
  const std::filesystem::path root(std::wstring(kVerbatimPrefix) + path);
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(root, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  std::filesystem::remove_all(root, error);
}

}  // namespace

std::string narrow(std::wstring_view text) {
  return to_utf8_lossy(text);
}

ScratchDirectory::ScratchDirectory() : path_(temp_folder() + L"voxtrel-test-" + random_suffix()) {
  CreateDirectoryW(path_.c_str(), nullptr);
}

ScratchDirectory::~ScratchDirectory() {
  remove_everything(path_);
}

std::wstring ScratchDirectory::at(std::wstring_view relative) const {
  return join_path(path_, relative);
}

void ScratchDirectory::make_directory(std::wstring_view relative) const {
  std::error_code error;
  std::filesystem::create_directories(std::wstring(kVerbatimPrefix) + at(relative), error);
}

void ScratchDirectory::write_file(std::wstring_view relative, std::string_view content) const {
  const std::wstring full = std::wstring(kVerbatimPrefix) + at(relative);
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(full).parent_path(), error);
  const HANDLE file = CreateFileW(full.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << "cannot create " << narrow(full);
  DWORD written = 0;
  WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  CloseHandle(file);
}

bool ScratchDirectory::exists(std::wstring_view relative) const {
  const std::wstring full = std::wstring(kVerbatimPrefix) + at(relative);
  return GetFileAttributesW(full.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::optional<std::string> ScratchDirectory::content(std::wstring_view relative) const {
  const std::wstring full = std::wstring(kVerbatimPrefix) + at(relative);
  const HANDLE file = CreateFileW(full.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string text;
  char chunk[4096];
  DWORD read = 0;
  while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0) text.append(chunk, read);
  CloseHandle(file);
  return text;
}

void ScratchDirectory::make_read_only(std::wstring_view relative) const {
  const std::wstring full = std::wstring(kVerbatimPrefix) + at(relative);
  ASSERT_TRUE(SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_READONLY)) << narrow(full);
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
