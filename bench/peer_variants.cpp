#include "bench/peer_variants.h"

#include <filesystem>
#include <string>
#include <system_error>

#include "agent/footprint.h"
#include "driver/leftover_sweep.h"
#include "system/file_queries.h"
#include "system/text.h"
#include "system/unique_handle.h"

namespace voxtrel::bench {
namespace {

constexpr std::wstring_view kAllEntries = L"*";
// Room for the longest path the system directory query can give.
constexpr DWORD kSystemDirectoryUnits = MAX_PATH;

bool is_dot_name(const wchar_t* name) {
  return (name[0] == L'.' && name[1] == L'\0') ||
         (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0');
}

FileAttributes listed_attributes(const WIN32_FIND_DATAW& data) {
  const bool reparse = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  return FileAttributes{data.dwFileAttributes, reparse ? data.dwReserved0 : 0};
}

// Calls `visit(data)` for each entry of `folder` but "." and "..", as the tool lists: basic
// information, no additional flags. A folder whose pattern finds nothing is empty.
template <typename Visit>
Status list_folder(const Path& folder, Visit&& visit) {
  WIN32_FIND_DATAW data{};
  const Path pattern = join_path(folder, kAllEntries);
  const UniqueFind search(
      FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0));
  if (!search) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? Status{} : fail_os(error);
  }
  do {
    if (is_dot_name(data.cFileName)) continue;
    if (auto visited = visit(data); !visited) return visited;
  } while (FindNextFileW(search.get(), &data));
  const DWORD error = GetLastError();
  return error == ERROR_NO_MORE_FILES ? Status{} : fail_os(error);
}

// Depth-first over folders. `classify(path, data)` says whether an entry is a folder to enter;
// everything else is a file whose name is tested. `on_leftover(path)` acts on a match.
// Stack invariant: it holds the folders found but not yet listed.
template <typename Classify, typename OnLeftover>
Result<WalkCount> walk(const Path& top, std::chrono::steady_clock::time_point deadline,
                       Classify&& classify, OnLeftover&& on_leftover) {
  WalkCount count;
  std::vector<Path> pending{top};
  while (!pending.empty()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      count.finished = false;
      return count;
    }
    const Path folder = std::move(pending.back());
    pending.pop_back();
    auto listed = list_folder(folder, [&](const WIN32_FIND_DATAW& data) -> Status {
      ++count.entries;
      Path path = join_path(folder, data.cFileName);
      if (classify(path, data)) {
        pending.push_back(std::move(path));
      } else if (is_leftover_name(data.cFileName)) {
        on_leftover(path);
        count.leftovers.push_back(std::move(path));
      }
      return {};
    });
    if (!listed) return std::unexpected(listed.error());
  }
  return count;
}

// Recursion is bounded here by the depth of the generated tree. Keeps the first failure.
void naive_remove_folder(const Path& folder, Status& first_failure) {
  WIN32_FIND_DATAW data{};
  const UniqueFind search(FindFirstFileW(join_path(folder, kAllEntries).c_str(), &data));
  if (search) {
    do {
      if (is_dot_name(data.cFileName)) continue;
      const Path path = join_path(folder, data.cFileName);
      if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        naive_remove_folder(path, first_failure);
      } else if (!DeleteFileW(path.c_str())) {
        const DWORD error = GetLastError();
        const bool retried = error == ERROR_ACCESS_DENIED &&
                             SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL) &&
                             DeleteFileW(path.c_str());
        if (!retried && first_failure) first_failure = fail_os(error);
      }
    } while (FindNextFileW(search.get(), &data));
  }
  if (!RemoveDirectoryW(folder.c_str()) && first_failure) first_failure = fail_os(GetLastError());
}

Result<Path> system_program(std::wstring_view name) {
  wchar_t directory[kSystemDirectoryUnits];
  const UINT length = GetSystemDirectoryW(directory, kSystemDirectoryUnits);
  if (length == 0 || length >= kSystemDirectoryUnits) return fail_os(GetLastError());
  return join_path(std::wstring_view(directory, length), name);
}

std::vector<Path> read_lines(const Path& file) {
  std::vector<Path> lines;
  const UniqueFile handle(CreateFileW(file.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle) return lines;
  std::string bytes;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(handle.get(), chunk, sizeof(chunk), &got, nullptr) && got != 0) {
    bytes.append(chunk, got);
  }
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    std::string line = bytes.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // The generated trees hold ASCII names only, so the code page does not matter.
    if (!line.empty()) lines.emplace_back(line.begin(), line.end());
    start = end + 1;
  }
  return lines;
}

// Runs `cmd /c <command>` with its output in `scratch_file`, its other streams on NUL, and
// stops it at `limit`.
Result<CommandRun> run_cmd(const std::wstring& command, const Path& scratch_file,
                           std::chrono::milliseconds limit) {
  auto cmd = system_program(L"cmd.exe");
  if (!cmd) return std::unexpected(cmd.error());
  std::wstring line = L"\"" + *cmd + L"\" /c " + command;
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  UniqueFile output(CreateFileW(scratch_file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!output) return fail_os(GetLastError());
  UniqueFile null_device(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, kShareAll, &inherit,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!null_device) return fail_os(GetLastError());
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null_device.get();
  startup.hStdOutput = output.get();
  startup.hStdError = null_device.get();
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(cmd->c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &started)) {
    return fail_os(GetLastError());
  }
  const UniqueKernelHandle process(started.hProcess);
  const UniqueKernelHandle thread(started.hThread);
  output.reset();
  null_device.reset();

  CommandRun run;
  const DWORD waited = WaitForSingleObject(process.get(), static_cast<DWORD>(limit.count()));
  run.finished = waited == WAIT_OBJECT_0;
  if (!run.finished) {
    TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), INFINITE);
  }
  DWORD code = 0;
  GetExitCodeProcess(process.get(), &code);
  run.exit_code = code;
  run.output_lines = read_lines(scratch_file);
  return run;
}

}  // namespace

Result<WalkCount> bare_walk(const Path& top) {
  return walk(
      top, std::chrono::steady_clock::time_point::max(),
      [](const Path&, const WIN32_FIND_DATAW& data) {
        return is_directory(listed_attributes(data));
      },
      [](const Path&) {});
}

Result<WalkCount> one_open_walk(const Path& top, std::chrono::steady_clock::time_point deadline) {
  return walk(
      top, deadline,
      [](const Path& path, const WIN32_FIND_DATAW&) {
        const auto attributes = query_attributes(path);
        return attributes && is_directory(*attributes);
      },
      [](const Path& path) { (void)DeleteFileW(path.c_str()); });
}

Status naive_remove(const Path& top) {
  Status first_failure;
  naive_remove_folder(top, first_failure);
  return first_failure;
}

Status std_remove_all(const Path& top) {
  std::error_code error;
  std::filesystem::remove_all(std::filesystem::path(top), error);
  if (error) return fail_os(static_cast<std::uint32_t>(error.value()));
  return {};
}

Result<CommandRun> cmd_dir(const Path& top, const Path& scratch_file,
                           std::chrono::milliseconds limit) {
  const Path pattern = join_path(top, to_wide(kLeftoverPrefix) + L"*");
  return run_cmd(L"dir /s /b \"" + pattern + L"\"", scratch_file, limit);
}

Result<CommandRun> cmd_rmdir(const Path& top, const Path& scratch_file,
                             std::chrono::milliseconds limit) {
  return run_cmd(L"rmdir /s /q \"" + top + L"\"", scratch_file, limit);
}

}  // namespace voxtrel::bench
