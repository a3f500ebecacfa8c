#include "system/path.h"

#include <vector>

#include "system/text.h"

namespace voxtrel {
namespace {

bool starts_with_verbatim(std::wstring_view path) {
  return path.starts_with(kVerbatimPrefix) || path.starts_with(kNtObjectPrefix);
}

// "X:" then the end, "\" or "/".
bool is_drive_form(std::wstring_view path) {
  return path.size() >= 2 && !is_separator(path[0]) && path[1] == L':' &&
         (path.size() == 2 || is_separator(path[2]));
}

bool is_unc_form(std::wstring_view path) {
  return path.size() >= 2 && is_separator(path[0]) && is_separator(path[1]);
}

bool is_drive_letter(wchar_t unit) {
  return (unit >= L'A' && unit <= L'Z') || (unit >= L'a' && unit <= L'z');
}

bool is_bare_drive(std::wstring_view path) {
  return path.size() == 2 && is_drive_letter(path[0]) && path[1] == L':';
}

}  // namespace

Result<std::wstring> query_text(const TextQuery& query) {
  std::vector<wchar_t> buffer(kInitialQueryUnits);
  for (;;) {
    const auto size = static_cast<DWORD>(buffer.size());
    SetLastError(0);
    const DWORD length = query(buffer.data(), size);
    if (length == 0) {
      const DWORD error = GetLastError();
      if (error != 0) return fail_os(error);
      return std::wstring();
    }
    if (length < size) return std::wstring(buffer.data(), length);
    buffer.resize(length > size ? length : std::size_t{size} * 2);
  }
}

Result<std::wstring> full_path_name(const std::wstring& path) {
  return query_text([&path](wchar_t* buffer, DWORD size) {
    return GetFullPathNameW(path.c_str(), size, buffer, nullptr);
  });
}

std::wstring add_verbatim_prefix(std::wstring_view absolute) {
  if (absolute.size() >= 3 && is_drive_letter(absolute[0]) && absolute[1] == L':' &&
      absolute[2] == L'\\') {
    return std::wstring(kVerbatimPrefix) + std::wstring(absolute);
  }
  if (absolute.starts_with(kDevicePrefix)) {
    return std::wstring(kVerbatimPrefix) + std::wstring(absolute.substr(kDevicePrefix.size()));
  }
  if (starts_with_verbatim(absolute)) return std::wstring(absolute);
  if (absolute.starts_with(L"\\\\")) {
    return std::wstring(kVerbatimUncPrefix) + std::wstring(absolute.substr(2));
  }
  return std::wstring(absolute);
}

Result<std::wstring> prepare_path(std::wstring_view path) {
  if (path.find(L'\0') != std::wstring_view::npos) {
    return std::unexpected(Error::invalid_input(kNulInPathMessage));
  }
  if (path.empty() || starts_with_verbatim(path)) return std::wstring(path);
  const bool short_enough = path.size() + 1 < kLongPathThreshold;
  if (short_enough && (is_drive_form(path) || is_unc_form(path))) return std::wstring(path);
  auto absolute = full_path_name(std::wstring(path));
  if (!absolute) return std::unexpected(absolute.error());
  return add_verbatim_prefix(*absolute);
}

Result<std::wstring> nt_path(std::wstring_view path) {
  if (path.find(L'\0') != std::wstring_view::npos) {
    return std::unexpected(Error::invalid_input(kNulInPathMessage));
  }
  if (path.starts_with(kNtObjectPrefix)) return std::wstring(path);
  std::wstring verbatim;
  if (path.starts_with(kVerbatimPrefix)) {
    verbatim = path;
  } else {
    auto absolute = full_path_name(std::wstring(path));
    if (!absolute) return std::unexpected(absolute.error());
    verbatim = add_verbatim_prefix(*absolute);
  }
  // A form without a prefix (a device name such as "NUL") is no file-system path.
  if (!verbatim.starts_with(kVerbatimPrefix)) return fail_os(ERROR_INVALID_NAME);
  return std::wstring(kNtObjectPrefix) + verbatim.substr(kVerbatimPrefix.size());
}

Path join_path(std::wstring_view directory, std::wstring_view name) {
  Path joined(directory);
  append_path(joined, name);
  return joined;
}

void append_path(Path& directory, std::wstring_view name) {
  if (!directory.empty() && !is_separator(directory.back()) && !is_bare_drive(directory)) {
    directory.push_back(L'\\');
  }
  directory.append(name);
}

Result<std::wstring> reported_directory(const TextQuery& query) {
  auto directory = query_text(query);
  if (directory && directory->empty()) {
    return std::unexpected(Error::not_found(kProgramNotFoundMessage));
  }
  return directory;
}

Result<std::wstring> system_directory() {
  return reported_directory(
      [](wchar_t* buffer, DWORD size) { return GetSystemDirectoryW(buffer, size); });
}

Result<std::wstring> windows_directory() {
  return reported_directory(
      [](wchar_t* buffer, DWORD size) { return GetWindowsDirectoryW(buffer, size); });
}

DWORD own_module_file_name(wchar_t* buffer, DWORD size) {
  return GetModuleFileNameW(nullptr, buffer, size);
}

Result<std::string> system_program_path(std::string_view relative) {
  auto directory = system_directory();
  if (!directory) return std::unexpected(directory.error());
  auto program = to_utf8_strict(join_path(*directory, to_wide(relative)));
  if (!program) return fail_os(ERROR_NO_UNICODE_TRANSLATION);
  return std::move(*program);
}

}  // namespace voxtrel
