#include "bench/deep_chain.h"

#include <chrono>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "system/file_system_calls.h"
#include "system/tree_removal.h"

namespace voxtrel::bench {
namespace {

constexpr std::size_t kDirectoryNameUnits = 255;
constexpr std::wstring_view kFileName = L"file";
constexpr NTSTATUS kStatusObjectNameNotFound = static_cast<NTSTATUS>(0xC0000034);
constexpr std::wstring_view kChainTop = L"C:\\deep-chain";

// Level 0 is the top; level i holds the directory of level i + 1 (but the last) and one file.
struct Chain {
  std::uint32_t levels = 0;
  std::vector<bool> directory_gone;
  std::vector<bool> file_gone;
  std::wstring directory_name = std::wstring(kDirectoryNameUnits, L'd');

  [[nodiscard]] bool has_directory(std::uint32_t level) const {
    return level <= levels && !directory_gone[level];
  }
};

enum class Kind : std::uint8_t { kDirectory, kFile };
struct Opened {
  std::uint32_t level = 0;
  Kind kind = Kind::kDirectory;
  bool listed = false;  // its one batch has been read
};

Chain chain;
// Each open is a real handle (an event), so that closing it costs what closing a file does.
std::unordered_map<HANDLE, Opened> opened;

HANDLE open_handle(Opened what) {
  const HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  opened[handle] = what;
  return handle;
}

// Opened by its path, the top is level 0; its parent's listing is not there to be read (a chain
// hangs from nothing), so the removal's look at the top's record finds nothing.
NTSTATUS NTAPI open_in_chain(PHANDLE handle, ACCESS_MASK, POBJECT_ATTRIBUTES object,
                             PIO_STATUS_BLOCK io, ULONG, ULONG) {
  const std::wstring_view name(object->ObjectName->Buffer,
                               object->ObjectName->Length / sizeof(wchar_t));
  if (object->RootDirectory == nullptr) {
    if (!name.ends_with(kChainTop)) return kStatusObjectNameNotFound;
    *handle = open_handle({0, Kind::kDirectory});
    io->Status = 0;
    return 0;
  }
  const Opened parent = opened.at(object->RootDirectory);
  Opened what{parent.level, parent.kind};
  if (name == kFileName && !chain.file_gone[parent.level]) {
    what.kind = Kind::kFile;
  } else if (name == chain.directory_name && chain.has_directory(parent.level + 1)) {
    what.level = parent.level + 1;
  } else if (!name.empty()) {
    return kStatusObjectNameNotFound;
  }
  *handle = open_handle(what);
  io->Status = 0;
  return 0;
}

// Appends one directory record to `batch` at `offset`; returns where the next one goes.
std::size_t put_record(std::byte* batch, std::size_t offset, std::wstring_view name,
                       DWORD attributes) {
  auto* record = reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(batch + offset);
  std::memset(record, 0, offsetof(FILE_ID_BOTH_DIR_INFO, FileName));
  record->FileAttributes = attributes;
  record->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
  std::memcpy(record->FileName, name.data(), record->FileNameLength);
  const std::size_t size = offsetof(FILE_ID_BOTH_DIR_INFO, FileName) + record->FileNameLength;
  record->NextEntryOffset = static_cast<DWORD>((size + 7) & ~std::size_t{7});
  return offset + record->NextEntryOffset;
}

BOOL WINAPI query_chain(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class, LPVOID info, DWORD) {
  Opened& what = opened.at(file);
  if (info_class == FileBasicInfo) {
    *static_cast<FILE_BASIC_INFO*>(info) = {};
    static_cast<FILE_BASIC_INFO*>(info)->FileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    return TRUE;
  }
  if (info_class == FileIdBothDirectoryRestartInfo) what.listed = false;
  auto* batch = static_cast<std::byte*>(info);
  std::size_t end = 0;
  std::size_t last = 0;
  if (!what.listed && !chain.file_gone[what.level]) {
    end = put_record(batch, last = end, kFileName, FILE_ATTRIBUTE_NORMAL);
  }
  if (!what.listed && chain.has_directory(what.level + 1)) {
    end = put_record(batch, last = end, chain.directory_name, FILE_ATTRIBUTE_DIRECTORY);
  }
  what.listed = true;
  if (end == 0) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(batch + last)->NextEntryOffset = 0;
  return TRUE;
}

// Both dispositions delete; a directory that still holds something is refused, as NTFS does.
BOOL WINAPI delete_in_chain(HANDLE file, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD) {
  const Opened what = opened.at(file);
  if (what.kind == Kind::kFile) {
    chain.file_gone[what.level] = true;
    return TRUE;
  }
  if (!chain.file_gone[what.level] || chain.has_directory(what.level + 1)) {
    SetLastError(ERROR_DIR_NOT_EMPTY);
    return FALSE;
  }
  chain.directory_gone[what.level] = true;
  return TRUE;
}

}  // namespace

Result<ChainRemoval> remove_deep_chain(std::uint32_t levels) {
  chain = Chain{.levels = levels,
                .directory_gone = std::vector<bool>(levels + 1),
                .file_gone = std::vector<bool>(levels + 1)};
  const FileSystemCalls saved = file_system_calls;
  file_system_calls.open_file = &open_in_chain;
  file_system_calls.get_information = &query_chain;
  file_system_calls.set_information = &delete_in_chain;
  const auto start = std::chrono::steady_clock::now();
  const Status removed = remove_tree(kChainTop);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  file_system_calls = saved;
  opened.clear();
  if (!removed) return std::unexpected(removed.error());
  if (chain.has_directory(0)) return fail_os(ERROR_INVALID_DATA);
  return ChainRemoval{2 * (std::uint64_t{levels} + 1), took.count()};
}

}  // namespace voxtrel::bench
