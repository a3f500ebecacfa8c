#include "system/directory_walk.h"

#include <cstring>

#include "system/file_system_calls.h"
#include "system/relative_open.h"

namespace voxtrel {
namespace {

// Where a record's name starts: everything before it is the record's fixed part.
constexpr std::size_t kNameOffset = offsetof(FILE_ID_BOTH_DIR_INFO, FileName);

template <typename Field>
Field read_field(const std::byte* record, std::size_t offset) noexcept {
  Field value{};
  std::memcpy(&value, record + offset, sizeof(value));
  return value;
}

// FileIdBothDirectoryInformation: the class of FILE_ID_BOTH_DIR_INFO records.
constexpr auto kIdBothDirectoryInformation = static_cast<FILE_INFORMATION_CLASS>(37);
// One record with the longest name a component may have.
constexpr std::size_t kSingleRecordBytes = kNameOffset + 256 * sizeof(wchar_t);

// The first record of `batch` (`bytes` long), checked to lie wholly inside it.
Result<ListedEntry> first_record(const std::byte* batch, std::size_t bytes) {
  if (bytes < kNameOffset) return fail_os(ERROR_INVALID_DATA);
  const auto name_bytes = read_field<DWORD>(batch, offsetof(FILE_ID_BOTH_DIR_INFO, FileNameLength));
  if (kNameOffset + std::size_t{name_bytes} > bytes) return fail_os(ERROR_INVALID_DATA);
  const auto attributes = read_field<DWORD>(batch, offsetof(FILE_ID_BOTH_DIR_INFO, FileAttributes));
  const bool reparse = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  return ListedEntry{
      .attributes = attributes,
      // For a reparse point the record's EA size field holds the reparse tag.
      .reparse_tag =
          reparse ? read_field<DWORD>(batch, offsetof(FILE_ID_BOTH_DIR_INFO, EaSize)) : 0,
      .file_id = read_field<std::uint64_t>(batch, offsetof(FILE_ID_BOTH_DIR_INFO, FileId)),
  };
}

}  // namespace

Result<std::optional<ListedEntry>> listed_entry(std::wstring_view path) {
  auto full = nt_path(path);
  if (!full) return std::unexpected(full.error());
  const std::size_t separator = full->find_last_of(L'\\');
  const std::wstring_view leaf = std::wstring_view(*full).substr(separator + 1);
  if (leaf.empty()) return std::nullopt;
  std::wstring folder_path = full->substr(0, separator);
  // A drive's root keeps its separator: "\??\C:" is the volume itself.
  if (folder_path.ends_with(L':')) folder_path += L'\\';
  auto folder = open_path(folder_path, kListAccess, FILE_DIRECTORY_FILE, LinkHandling::kFollow);
  if (!folder) return std::unexpected(folder.error());
  std::uint64_t buffer[(kSingleRecordBytes + 7) / sizeof(std::uint64_t)];
  UNICODE_STRING mask{static_cast<USHORT>(leaf.size() * sizeof(wchar_t)),
                      static_cast<USHORT>(leaf.size() * sizeof(wchar_t)),
                      const_cast<wchar_t*>(leaf.data())};
  IO_STATUS_BLOCK io{};
  // A mask counts only in the first query of a handle; this handle is new.
  const NTSTATUS status = file_system_calls.query_directory(
      folder->get(), nullptr, nullptr, nullptr, &io, buffer, sizeof(buffer),
      kIdBothDirectoryInformation, TRUE, &mask, TRUE);
  if (!NT_SUCCESS(status)) {
    const DWORD error = RtlNtStatusToDosError(status);
    return fail_os(error == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND : error);
  }
  auto entry = first_record(reinterpret_cast<const std::byte*>(buffer),
                            io.Information < sizeof(buffer) ? io.Information : sizeof(buffer));
  if (!entry) return std::unexpected(entry.error());
  return *entry;
}

Result<FileIdentity> identity_of(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file_system_calls.get_file_information(handle, &info)) return fail_os(GetLastError());
  return FileIdentity{info.dwVolumeSerialNumber,
                      (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

HandleListing::HandleListing(std::size_t batch_bytes)
    : bytes_(batch_bytes),
      buffer_(std::make_unique<std::uint64_t[]>((batch_bytes + 7) / sizeof(std::uint64_t))) {}

Status HandleListing::read_batch(HANDLE directory) {
  const FILE_INFO_BY_HANDLE_CLASS query =
      restart_ ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo;
  if (file_system_calls.get_information(directory, query, buffer_.get(),
                                        static_cast<DWORD>(bytes_))) {
    restart_ = false;
    filled_ = true;
    offset_ = 0;
    return {};
  }
  const DWORD error = GetLastError();
  if (error != ERROR_NO_MORE_FILES) return fail_os(error);
  ended_ = true;
  return {};
}

// The record at offset_; moves offset_ to the next one, or marks the batch used up. The query
// reports no byte count, so the bound is the buffer it was given: the record's fixed part, its
// name, and the next record's start must all lie inside it. The fields are copied out, so the
// name's alignment does not matter.
Result<DirectoryRecord> HandleListing::read_record() {
  const auto* batch = reinterpret_cast<const std::byte*>(buffer_.get());
  const std::byte* record = batch + offset_;
  const std::size_t room = bytes_ - offset_;
  if (room < kNameOffset) return fail_os(ERROR_INVALID_DATA);
  const auto next = read_field<DWORD>(record, offsetof(FILE_ID_BOTH_DIR_INFO, NextEntryOffset));
  const auto name_bytes =
      read_field<DWORD>(record, offsetof(FILE_ID_BOTH_DIR_INFO, FileNameLength));
  const std::size_t record_bytes = kNameOffset + std::size_t{name_bytes};
  if (name_bytes % sizeof(wchar_t) != 0 || record_bytes > room || (next != 0 && next >= room)) {
    return fail_os(ERROR_INVALID_DATA);
  }
  name_.resize(name_bytes / sizeof(wchar_t));
  std::memcpy(name_.data(), record + kNameOffset, name_bytes);
  if (next == 0) {
    filled_ = false;
  } else {
    offset_ += next;
  }
  return DirectoryRecord{
      .attributes = read_field<DWORD>(record, offsetof(FILE_ID_BOTH_DIR_INFO, FileAttributes)),
      .file_id = read_field<std::uint64_t>(record, offsetof(FILE_ID_BOTH_DIR_INFO, FileId)),
      .name = name_,
  };
}

Result<std::optional<DirectoryRecord>> HandleListing::next(HANDLE directory) {
  for (;;) {
    if (!filled_) {
      if (ended_) return std::nullopt;
      if (auto read = read_batch(directory); !read) return std::unexpected(read.error());
      if (ended_) return std::nullopt;
    }
    auto record = read_record();
    if (!record) {
      filled_ = false;
      ended_ = true;
      return std::unexpected(record.error());
    }
    if (!record->name.empty() && record->name != L"." && record->name != L"..") return *record;
  }
}

void HandleListing::restart() noexcept {
  drop_batch();
  restart_ = true;
}

void HandleListing::drop_batch() noexcept {
  filled_ = false;
  ended_ = false;
}

DirectoryWalk::DirectoryWalk(std::size_t batch_bytes, WalkProgress* progress)
    : batch_bytes_(batch_bytes), progress_(progress) {}

void DirectoryWalk::enter_top(UniqueKernelHandle directory, FileIdentity identity,
                              std::wstring_view path) {
  path_.assign(path);
  frames_.push_back({std::move(directory), HandleListing(batch_bytes_), identity, path_.size()});
}

void DirectoryWalk::enter(UniqueKernelHandle directory, FileIdentity identity,
                          std::wstring_view name) {
  // In place: a copy per level would make a deep chain cost the square of its depth.
  append_path(path_, name);
  frames_.push_back({std::move(directory), HandleListing(batch_bytes_), identity, path_.size()});
}

void DirectoryWalk::leave() {
  frames_.pop_back();
  if (!frames_.empty()) path_.resize(frames_.back().path_length);
}

Result<std::optional<DirectoryRecord>> DirectoryWalk::next_record() {
  WalkFrame& frame = frames_.back();
  return frame.listing.next(frame.directory.get());
}

}  // namespace voxtrel
