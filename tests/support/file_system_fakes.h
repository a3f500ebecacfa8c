// Fakes for the file-system call table: a test makes the platform answer as another Windows
// version or file system would, for the life of one scope. Each fake answers only what Windows
// itself answers to that call.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "system/file_system_calls.h"
#include "system/holder_wait.h"
#include "system/unique_handle.h"
#include "tests/support/scratch_directory.h"

// After <windows.h>: FSCTL_OPLOCK_BREAK_NOTIFY.
#include <winioctl.h>

namespace voxtrel::testing {

// Where a fake that answers one call passes every other one on.
inline decltype(FileSystemCalls::set_information) next_set_information =
    &::SetFileInformationByHandle;

// Puts the table back as it was when the scope ends.
struct ScopedFileSystemCalls {
  ~ScopedFileSystemCalls() { file_system_calls = saved; }
  const FileSystemCalls saved = file_system_calls;
};

// A Win32 call refused with `error`, as a fake answers it.
inline BOOL fail_with(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// What the fakes below share.
namespace detail {

inline constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
inline constexpr DWORD kKnownDispositionFlags = 0x1F;  // DELETE to IGNORE_READONLY_ATTRIBUTE
inline constexpr NTSTATUS kStatusReparsePointEncountered = static_cast<NTSTATUS>(0xC000050B);

inline void set_attributes(HANDLE file, DWORD attributes) {
  FILE_BASIC_INFO basic{};
  basic.FileAttributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
  ::SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof(basic));
}

// NTFS moves a name deleted with POSIX semantics out of its folder at once (into its hidden
// \$Extend\$Deleted), and the file goes at the last close. Here: into the temporary directory,
// on the volume of the scratch directories.
inline bool move_out_of_its_folder(HANDLE file) {
  static int moved = 0;
  std::array<wchar_t, MAX_PATH + 1> temp{};
  const std::wstring to = std::wstring(temp.data(), GetTempPathW(MAX_PATH, temp.data())) +
                          L"voxtrel-deleted-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                          std::to_wstring(++moved);
  std::vector<std::byte> buffer(sizeof(FILE_RENAME_INFO) + to.size() * sizeof(wchar_t));
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->FileNameLength = static_cast<DWORD>(to.size() * sizeof(wchar_t));
  std::memcpy(rename->FileName, to.c_str(), (to.size() + 1) * sizeof(wchar_t));
  return ::SetFileInformationByHandle(file, FileRenameInfo, rename, buffer.size());
}

// Through a handle of the fake's own: Wine 8 and 10 refuse the classic disposition on a read-only
// file (as NTFS does) and Wine 8 has no extended one to ignore the attribute with, so the
// attribute is lifted for the call and put back, as NTFS never changes it.
inline BOOL delete_as_ntfs(const std::wstring& path, DWORD attributes, bool posix) {
  const UniqueFile own(::CreateFileW(
      path.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!own || (posix && !move_out_of_its_folder(own.get()))) return FALSE;
  const bool read_only = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (read_only) set_attributes(own.get(), attributes & ~FILE_ATTRIBUTE_READONLY);
  FILE_DISPOSITION_INFO classic{TRUE};
  const BOOL deleted =
      ::SetFileInformationByHandle(own.get(), FileDispositionInfo, &classic, sizeof(classic));
  const DWORD error = GetLastError();
  if (read_only) set_attributes(own.get(), attributes);
  SetLastError(error);
  return deleted;
}

// The links FakeDirectoryLinks made, by the volume and file ID of their folders, and the table
// it replaced, which each fake passes its call on to.
using Identity = std::pair<DWORD, std::uint64_t>;
inline std::map<Identity, std::wstring> links;
inline FileSystemCalls next{};

inline Identity identity_of(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  ::GetFileInformationByHandle(handle, &info);
  return {info.dwVolumeSerialNumber,
          (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

// The target of the link `handle` holds as itself; null for anything else.
inline const std::wstring* link_of(HANDLE handle) {
  const auto link = links.find(identity_of(handle));
  return link == links.end() ? nullptr : &link->second;
}

// The target of the link at `path`; null for anything else.
inline const std::wstring* link_at(LPCWSTR path) {
  const UniqueFile probe(
      ::CreateFileW(path, FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  return probe ? link_of(probe.get()) : nullptr;
}

// The target of the link `object` names; null for anything else.
inline const std::wstring* link_named(POBJECT_ATTRIBUTES object) {
  OBJECT_ATTRIBUTES probe = *object;
  probe.Attributes &= ~OBJ_DONT_REPARSE;
  HANDLE raw = nullptr;
  IO_STATUS_BLOCK io{};
  if (!NT_SUCCESS(::NtOpenFile(&raw, FILE_READ_ATTRIBUTES | SYNCHRONIZE, &probe, &io, kShareAll,
                               FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT)))
    return nullptr;
  const UniqueKernelHandle handle(raw);
  return link_of(raw);
}

inline NTSTATUS NTAPI open_with_links(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES object,
                                      PIO_STATUS_BLOCK io, ULONG share, ULONG options) {
  const auto* link = (options & FILE_OPEN_REPARSE_POINT) != 0 ? nullptr : link_named(object);
  if (link == nullptr) return next.open_file(handle, access, object, io, share, options);
  if ((object->Attributes & OBJ_DONT_REPARSE) != 0) return kStatusReparsePointEncountered;
  std::wstring nt_path = L"\\??\\" + *link;
  const auto bytes = static_cast<USHORT>(nt_path.size() * sizeof(wchar_t));
  UNICODE_STRING name{bytes, bytes, nt_path.data()};
  OBJECT_ATTRIBUTES target{};
  InitializeObjectAttributes(&target, &name, object->Attributes, nullptr, nullptr);
  return next.open_file(handle, access, &target, io, share, options);
}

inline HANDLE WINAPI create_with_links(LPCWSTR path, DWORD access, DWORD share,
                                       LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                       DWORD flags, HANDLE model) {
  const auto* link = (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0 ? nullptr : link_at(path);
  return next.create_file(link != nullptr ? link->c_str() : path, access, share, security,
                          disposition, flags, model);
}

// A directory listing's records of links: the attribute, and the tag where the platform puts it.
inline void mark_link_records(HANDLE directory, void* batch) {
  const DWORD volume = identity_of(directory).first;
  for (auto* record = static_cast<FILE_ID_BOTH_DIR_INFO*>(batch);;) {
    if (links.contains({volume, record->FileId.QuadPart})) {
      record->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
      record->EaSize = IO_REPARSE_TAG_MOUNT_POINT;
    }
    if (record->NextEntryOffset == 0) break;
    record = reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(reinterpret_cast<std::byte*>(record) +
                                                      record->NextEntryOffset);
  }
}

inline BOOL WINAPI query_with_links(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class, LPVOID info,
                                    DWORD size) {
  if (!next.get_information(file, info_class, info, size)) return FALSE;
  if (info_class == FileIdBothDirectoryInfo || info_class == FileIdBothDirectoryRestartInfo) {
    mark_link_records(file, info);
  } else if (info_class == FileBasicInfo && link_of(file) != nullptr) {
    static_cast<FILE_BASIC_INFO*>(info)->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  } else if (info_class == FileAttributeTagInfo && link_of(file) != nullptr) {
    static_cast<FILE_ATTRIBUTE_TAG_INFO*>(info)->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    static_cast<FILE_ATTRIBUTE_TAG_INFO*>(info)->ReparseTag = IO_REPARSE_TAG_MOUNT_POINT;
  }
  return TRUE;
}

// The same records read with a name to look for (FileIdBothDirectoryInformation, class 37).
inline NTSTATUS NTAPI query_directory_with_links(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc,
                                                 PVOID context, PIO_STATUS_BLOCK io, PVOID buffer,
                                                 ULONG length, FILE_INFORMATION_CLASS info_class,
                                                 BOOLEAN single, PUNICODE_STRING name,
                                                 BOOLEAN restart) {
  const NTSTATUS status = next.query_directory(file, event, apc, context, io, buffer, length,
                                               info_class, single, name, restart);
  if (NT_SUCCESS(status)) mark_link_records(file, buffer);
  return status;
}

inline BOOL WINAPI file_information_with_links(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  if (!next.get_file_information(file, info)) return FALSE;
  if (link_of(file) != nullptr) info->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  return TRUE;
}

}  // namespace detail

// The path `file` names, verbatim ("\\?\" first), whatever its access; empty when unknown.
inline std::wstring path_of(HANDLE file) {
  std::wstring path(32768, L'\0');
  path.resize(GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()), 0));
  return path;
}

// SetFileInformationByHandle as NTFS on Windows 10 1809 and later answers the extended
// disposition (class 21): a buffer shorter than FILE_DISPOSITION_INFO_EX fails with 24
// (STATUS_INFO_LENGTH_MISMATCH), an unknown flag bit with 87; a read-only file is refused (5)
// unless the ignore-read-only flag is set, and then goes with its attributes untouched; a
// directory with entries is refused (145). With POSIX semantics the name goes at once, even
// while others hold the file open; without, at the last close. Other classes go to the platform.
inline BOOL WINAPI set_information_as_ntfs(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class,
                                           LPVOID info, DWORD size) {
  using namespace detail;
  if (info_class != kFileDispositionInfoEx)
    return ::SetFileInformationByHandle(file, info_class, info, size);
  if (size < sizeof(FILE_DISPOSITION_INFO_EX)) return fail_with(ERROR_BAD_LENGTH);
  const DWORD flags = static_cast<const FILE_DISPOSITION_INFO_EX*>(info)->Flags;
  if ((flags & ~kKnownDispositionFlags) != 0) return fail_with(ERROR_INVALID_PARAMETER);
  FILE_DISPOSITION_INFO keep{FALSE};
  if ((flags & FILE_DISPOSITION_FLAG_DELETE) == 0)
    return ::SetFileInformationByHandle(file, FileDispositionInfo, &keep, sizeof(keep));
  // The handle may carry DELETE alone: the file is looked at through the path it names.
  const std::wstring path = path_of(file);
  if (path.empty()) return FALSE;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
      (flags & FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE) == 0)
    return fail_with(ERROR_ACCESS_DENIED);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !listing(path.substr(4)).empty())
    return fail_with(ERROR_DIR_NOT_EMPTY);
  return delete_as_ntfs(path, attributes, (flags & FILE_DISPOSITION_FLAG_POSIX_SEMANTICS) != 0);
}

// What the directory query answers, through the table, for any batch that lists a record named
// `name`: the platform's own batch, with that record changed as a link, another file system or a
// network server could give it. Every other query goes to the platform unchanged.
enum class ListingChange : std::uint8_t {
  kAsDirectoryLink,   // the record is a directory symbolic link (0x410, tag in EaSize)
  kFirstReachesPast,  // the batch's first record is its last and claims a name longer than it
  kFirstPointsPast,   // the batch's first record puts the next one far past the batch's end
  kNameless,          // the record has an empty name
};
struct ListingRewrite {
  std::wstring name;
  ListingChange change = ListingChange::kAsDirectoryLink;
};
inline ListingRewrite listing_rewrite;
inline BOOL WINAPI get_information_rewriting_listing(HANDLE file,
                                                     FILE_INFO_BY_HANDLE_CLASS info_class,
                                                     LPVOID info, DWORD size) {
  if (!::GetFileInformationByHandleEx(file, info_class, info, size)) return FALSE;
  if (info_class != FileIdBothDirectoryInfo && info_class != FileIdBothDirectoryRestartInfo)
    return TRUE;
  auto* const batch = static_cast<std::byte*>(info);
  for (std::size_t offset = 0;;) {
    auto* record = reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(batch + offset);
    const std::wstring_view name(record->FileName, record->FileNameLength / sizeof(wchar_t));
    if (name == listing_rewrite.name) {
      switch (listing_rewrite.change) {
        case ListingChange::kAsDirectoryLink:
          record->FileAttributes |= FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
          record->EaSize = IO_REPARSE_TAG_SYMLINK;
          break;
        case ListingChange::kFirstPointsPast:
          reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(batch)->NextEntryOffset = 2 * size;
          break;
        case ListingChange::kNameless:
          record->FileNameLength = 0;
          break;
        case ListingChange::kFirstReachesPast:
          reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(batch)->NextEntryOffset = 0;
          reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(batch)->FileNameLength = size;
          break;
      }
      return TRUE;
    }
    if (record->NextEntryOffset == 0) return TRUE;
    offset += record->NextEntryOffset;
  }
}

// Another process's oplock on every entry whose name (or, for an open by path, whose path) ends
// in `name`, and how its holder answers a break, as the oplock chapters of the driver
// documentation describe it. With `batch`, an open that breaks it (any access beyond attributes
// and SYNCHRONIZE) with FILE_COMPLETE_IF_OPLOCKED succeeds at once with
// STATUS_OPLOCK_BREAK_IN_PROGRESS (0x108) and a real handle, and FSCTL_OPLOCK_BREAK_NOTIFY on that
// handle waits until the holder acknowledges; without the option the open itself would wait
// (counted in `unbounded`, then let through so that the test ends). Without `batch` it is a
// read-handle oplock: opens break nothing, but a disposition on such a handle waits until the
// holder acknowledges. The holder acknowledges after `acknowledge_after`, or never. Each wait is
// a real synchronous read that only the acknowledgement or CancelSynchronousIo ends.
struct OplockHolder {
  std::wstring name;
  bool batch = true;
  std::optional<std::chrono::milliseconds> acknowledge_after;
  int breaks = 0;        // opens answered 0x108
  int waits = 0;         // notifications and dispositions that waited for the holder
  int acknowledged = 0;  // waits the acknowledgement ended
  int cancelled = 0;     // waits a cancel ended
  int unbounded = 0;     // opens that would have waited without a bound
};
inline OplockHolder oplock_holder;

namespace detail {
inline std::vector<HANDLE> oplocked_handles;

inline bool names_oplocked_entry(POBJECT_ATTRIBUTES object) {
  const std::wstring_view name(object->ObjectName->Buffer,
                               object->ObjectName->Length / sizeof(wchar_t));
  const std::wstring_view wanted = oplock_holder.name;
  if (object->RootDirectory != nullptr) return name == wanted;
  return name.ends_with(wanted) && name[name.size() - wanted.size() - 1] == L'\\';
}

inline bool is_oplocked(HANDLE handle) {
  return std::ranges::find(oplocked_handles, handle) != oplocked_handles.end();
}

// The holder: acknowledges the break after its delay by writing to the pipe the waiter reads,
// unless the wait ended before. (A thread of the platform's, not std::thread: winpthreads keeps a
// handle for the life of the process, which the handle-leak checks would count.)
struct Acknowledger {
  HANDLE pipe = nullptr;
  HANDLE ended = nullptr;
  DWORD delay_ms = 0;
};
inline DWORD WINAPI acknowledge(void* context) {
  const auto& holder = *static_cast<Acknowledger*>(context);
  DWORD written = 0;
  if (WaitForSingleObject(holder.ended, holder.delay_ms) == WAIT_TIMEOUT)
    WriteFile(holder.pipe, "a", 1, &written, nullptr);
  return 0;
}

// Blocks until the holder acknowledges; false when a cancel ended the wait instead.
inline bool wait_for_holder() {
  ++oplock_holder.waits;
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  CreatePipe(&read, &write, nullptr, 0);
  const UniqueKernelHandle reader(read);
  const UniqueKernelHandle writer(write);
  const UniqueKernelHandle ended(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  Acknowledger holder{write, ended.get(), 0};
  UniqueKernelHandle thread;
  if (oplock_holder.acknowledge_after) {
    holder.delay_ms = static_cast<DWORD>(oplock_holder.acknowledge_after->count());
    thread.reset(CreateThread(nullptr, 0, &acknowledge, &holder, 0, nullptr));
  }
  char byte = 0;
  DWORD got = 0;
  const bool acknowledged = ReadFile(reader.get(), &byte, 1, &got, nullptr) != FALSE;
  const DWORD error = GetLastError();
  SetEvent(ended.get());
  if (thread) WaitForSingleObject(thread.get(), INFINITE);
  ++(acknowledged ? oplock_holder.acknowledged : oplock_holder.cancelled);
  SetLastError(acknowledged ? ERROR_SUCCESS : error);
  return acknowledged;
}
}  // namespace detail

inline NTSTATUS NTAPI open_file_under_oplock(PHANDLE handle, ACCESS_MASK access,
                                             POBJECT_ATTRIBUTES object, PIO_STATUS_BLOCK io,
                                             ULONG share, ULONG options) {
  constexpr ACCESS_MASK kNoBreak = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
  constexpr NTSTATUS kStatusOplockBreakInProgress = 0x00000108;
  const NTSTATUS status = ::NtOpenFile(handle, access, object, io, share, options);
  if (!NT_SUCCESS(status)) return status;
  // A handle value of an entry closed since may come back for another entry.
  std::erase(detail::oplocked_handles, *handle);
  if (!detail::names_oplocked_entry(object)) return status;
  detail::oplocked_handles.push_back(*handle);
  if (!oplock_holder.batch || (access & ~kNoBreak) == 0) return status;
  if ((options & FILE_COMPLETE_IF_OPLOCKED) == 0) {
    ++oplock_holder.unbounded;
    return status;
  }
  ++oplock_holder.breaks;
  io->Status = kStatusOplockBreakInProgress;
  return kStatusOplockBreakInProgress;
}

inline BOOL WINAPI notify_under_oplock(HANDLE device, DWORD code, LPVOID in, DWORD in_size,
                                       LPVOID out, DWORD out_size, LPDWORD returned,
                                       LPOVERLAPPED overlapped) {
  if (code != FSCTL_OPLOCK_BREAK_NOTIFY || !detail::is_oplocked(device))
    return ::DeviceIoControl(device, code, in, in_size, out, out_size, returned, overlapped);
  return detail::wait_for_holder();
}

inline BOOL WINAPI set_information_under_oplock(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class,
                                                LPVOID info, DWORD size) {
  constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
  const bool disposition =
      info_class == FileDispositionInfo || info_class == kFileDispositionInfoEx;
  if (disposition && !oplock_holder.batch && detail::is_oplocked(file)) {
    if (!detail::wait_for_holder()) return FALSE;
    // Acknowledged: the handle-caching part is gone, nothing waits on it any more.
    std::erase(detail::oplocked_handles, file);
  }
  return next_set_information(file, info_class, info, size);
}

// The run's budget of holder waits set to `remaining` for the scope, and put back after it.
class ScopedHolderWaitBudget {
 public:
  explicit ScopedHolderWaitBudget(std::chrono::milliseconds remaining) {
    holder_wait_budget().set_remaining(remaining);
  }
  ~ScopedHolderWaitBudget() { holder_wait_budget().set_remaining(saved_); }
  ScopedHolderWaitBudget(const ScopedHolderWaitBudget&) = delete;
  ScopedHolderWaitBudget& operator=(const ScopedHolderWaitBudget&) = delete;

 private:
  std::chrono::milliseconds saved_ = holder_wait_budget().remaining();
};

// The holder's oplocks for the life of the object, over the table as it was: opens, the break
// notification and the dispositions.
class OplockedEntries {
 public:
  explicit OplockedEntries(OplockHolder holder) {
    oplock_holder = std::move(holder);
    detail::oplocked_handles.clear();
    next_set_information = file_system_calls.set_information;
    file_system_calls.open_file = &open_file_under_oplock;
    file_system_calls.device_control = &notify_under_oplock;
    file_system_calls.set_information = &set_information_under_oplock;
  }

 private:
  ScopedFileSystemCalls restore_;
};

// Directory links as Windows shows them, which Wine 8 and 10 cannot make (they open a Unix link's
// target even when asked for the link): an empty folder whose listing record and attributes carry
// FILE_ATTRIBUTE_REPARSE_POINT (tag: a junction's), opened as itself only with
// FILE_OPEN_REPARSE_POINT and as its target otherwise (with OBJ_DONT_REPARSE, refused with
// STATUS_REPARSE_POINT_ENCOUNTERED). For the object's life, over what the table held.
class FakeDirectoryLinks {
 public:
  FakeDirectoryLinks() {
    using namespace detail;
    links.clear();
    next = file_system_calls;
    file_system_calls = {
        &open_with_links,   &create_with_links,           next.set_information,
        &query_with_links,  &file_information_with_links, &query_directory_with_links,
        next.device_control};
  }
  // Creates the folder `link` as a link to the folder `target` (both full paths).
  void add(const std::wstring& link, const std::wstring& target) {
    using namespace detail;
    ASSERT_TRUE(CreateDirectoryW(link.c_str(), nullptr)) << GetLastError();
    const UniqueFile folder(::CreateFileW(link.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(folder);
    links[identity_of(folder.get())] = target;
  }

 private:
  ScopedFileSystemCalls restore_;
};

// NtOpenFile as Windows answers it while the entries with these names are deleted but held open
// elsewhere: STATUS_DELETE_PENDING, whatever the access. A name is an NT name ("\??\C:\...") for
// an open by path, a file name for one relative to a folder's handle. Every open by an absolute
// name is recorded with its access; the others go to the platform.
inline std::vector<std::wstring> pending_names;
inline std::vector<std::pair<std::wstring, ACCESS_MASK>> opened_names;

inline NTSTATUS NTAPI open_pending_deletion(PHANDLE handle, ACCESS_MASK access,
                                            POBJECT_ATTRIBUTES object, PIO_STATUS_BLOCK io,
                                            ULONG share, ULONG options) {
  constexpr auto kStatusDeletePending = static_cast<NTSTATUS>(0xC0000056);
  const std::wstring name(object->ObjectName->Buffer, object->ObjectName->Length / sizeof(wchar_t));
  if (object->RootDirectory == nullptr) opened_names.emplace_back(name, access);
  if (std::ranges::find(pending_names, name) != pending_names.end()) return kStatusDeletePending;
  return ::NtOpenFile(handle, access, object, io, share, options);
}

}  // namespace voxtrel::testing
