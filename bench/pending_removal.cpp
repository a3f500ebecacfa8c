#include "bench/pending_removal.h"

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "system/file_system_calls.h"
#include "system/process_runner.h"
#include "system/tree_removal.h"
#include "system/unique_handle.h"

namespace voxtrel::bench {
namespace {

using Clock = std::chrono::steady_clock;

// "file-" sorts before "folder-": a listing in name order (NTFS) meets the files first, as does
// one in creation order.
constexpr const wchar_t* kFileNamePattern = L"file-%05u";
constexpr const wchar_t* kFolderNamePattern = L"folder-%05u";
constexpr std::size_t kNameUnits = 32;
constexpr std::wstring_view kHoldMode = L"hold";
constexpr std::string_view kHeldAnswer = "held ";
constexpr std::string_view kFailedAnswer = "failed ";
constexpr std::size_t kMaxAnswerBytes = 64;
constexpr DWORD kModulePathUnits = 32768;
// The holder closes a few hundred handles and exits: far below this.
constexpr DWORD kHolderExitMillis = 60'000;

Path entry_path(const Path& top, const wchar_t* pattern, std::uint32_t index) {
  wchar_t name[kNameUnits];
  std::swprintf(name, kNameUnits, pattern, index);
  return join_path(top, name);
}

std::string error_text(const Error& error) {
  if (error.kind() == ErrorKind::kOs) return "error " + std::to_string(error.code());
  return std::string(error.message());
}

Status build_pending_tree(const Path& top, PendingCase tree) {
  if (!CreateDirectoryW(top.c_str(), nullptr)) return fail_os(GetLastError());
  for (std::uint32_t i = 0; i < tree.files; ++i) {
    const UniqueFile file(CreateFileW(entry_path(top, kFileNamePattern, i).c_str(), GENERIC_WRITE,
                                      0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return fail_os(GetLastError());
  }
  for (std::uint32_t i = 0; i < tree.folders; ++i) {
    if (!CreateDirectoryW(entry_path(top, kFolderNamePattern, i).c_str(), nullptr)) {
      return fail_os(GetLastError());
    }
  }
  return {};
}

// The entries in `top` (not "." and ".."); nothing when `top` is gone.
std::optional<std::uint64_t> entries_left(const Path& top) {
  WIN32_FIND_DATAW data{};
  const UniqueFind search(FindFirstFileExW(join_path(top, L"*").c_str(), FindExInfoBasic, &data,
                                           FindExSearchNameMatch, nullptr, 0));
  if (!search) return std::nullopt;
  std::uint64_t count = 0;
  do {
    const std::wstring_view name = data.cFileName;
    count += name == L"." || name == L".." ? 0 : 1;
  } while (FindNextFileW(search.get(), &data));
  return count;
}

// A pipe whose one end a child inherits and whose other end stays with this process.
struct Pipe {
  UniqueKernelHandle child_end;
  UniqueKernelHandle own_end;
};

Result<Pipe> make_pipe(bool child_reads) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return fail_os(GetLastError());
  Pipe pipe{UniqueKernelHandle(child_reads ? read_end : write_end),
            UniqueKernelHandle(child_reads ? write_end : read_end)};
  // The holder must not inherit this process's end: its input would never end.
  if (!SetHandleInformation(pipe.own_end.get(), HANDLE_FLAG_INHERIT, 0)) {
    return fail_os(GetLastError());
  }
  return pipe;
}

Result<std::wstring> hold_command_line(const Path& top, std::uint32_t files) {
  std::wstring program(kModulePathUnits, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, program.data(), kModulePathUnits);
  if (length == 0 || length == kModulePathUnits) return fail_os(GetLastError());
  program.resize(length);
  const std::wstring arguments[] = {std::wstring(kHoldMode), top, std::to_wstring(files)};
  return build_command_line(program, arguments);
}

// The holder's one line, without its line break; empty when it ended without one.
std::string read_answer(HANDLE output) {
  std::string answer;
  char unit = 0;
  DWORD read = 0;
  while (answer.size() < kMaxAnswerBytes && ReadFile(output, &unit, 1, &read, nullptr) &&
         read == 1 && unit != '\n') {
    answer += unit;
  }
  return answer;
}

// Whether another handle has `file` open: an open that shares nothing is refused.
bool open_elsewhere(const Path& file) {
  const UniqueFile alone(CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  return !alone && GetLastError() == ERROR_SHARING_VIOLATION;
}

// This program in its hold mode, holding a tree's files from its start until `release`.
class Holder {
 public:
  // Starts it and waits until it holds every file. Errors: the start's; ERROR_INVALID_DATA (13)
  // when it answered anything but holding them all (`answer` says what it answered), or when the
  // first file is not open elsewhere after all.
  static Result<Holder> start(const Path& top, std::uint32_t files, std::string& answer);

  // Ends its standard input, so that it closes the files, and waits for it to exit. Errors:
  // WAIT_TIMEOUT (258) when it did not, ERROR_INVALID_DATA when it exited with another code than 0.
  [[nodiscard]] Status release();

 private:
  Holder(UniqueKernelHandle process, UniqueKernelHandle input)
      : process_(std::move(process)), input_(std::move(input)) {}

  UniqueKernelHandle process_;
  UniqueKernelHandle input_;  // the write end of its standard input
};

Result<Holder> Holder::start(const Path& top, std::uint32_t files, std::string& answer) {
  auto line = hold_command_line(top, files);
  if (!line) return std::unexpected(line.error());
  auto input = make_pipe(true);
  if (!input) return std::unexpected(input.error());
  auto output = make_pipe(false);
  if (!output) return std::unexpected(output.error());
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input->child_end.get();
  startup.hStdOutput = output->child_end.get();
  startup.hStdError = output->child_end.get();
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(nullptr, line->data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &started)) {
    return fail_os(GetLastError());
  }
  UniqueKernelHandle process(started.hProcess);
  const UniqueKernelHandle thread(started.hThread);
  // Only the holder may keep the write end of its output: reading it ends when the holder does.
  output->child_end.reset();
  input->child_end.reset();
  Holder holder(std::move(process), std::move(input->own_end));
  answer = read_answer(output->own_end.get());
  if (answer != std::string(kHeldAnswer) + std::to_string(files) ||
      (files != 0 && !open_elsewhere(entry_path(top, kFileNamePattern, 0)))) {
    (void)holder.release();
    return fail_os(ERROR_INVALID_DATA);
  }
  return holder;
}

Status Holder::release() {
  input_.reset();
  if (WaitForSingleObject(process_.get(), kHolderExitMillis) != WAIT_OBJECT_0) {
    TerminateProcess(process_.get(), 1);
    WaitForSingleObject(process_.get(), INFINITE);
    return fail_os(WAIT_TIMEOUT);
  }
  DWORD code = 0;
  if (!GetExitCodeProcess(process_.get(), &code)) return fail_os(GetLastError());
  if (code != 0) return fail_os(ERROR_INVALID_DATA);
  return {};
}

// Empty when the tree is as a run must leave it, else what is wrong: the base run removes it
// all; the held run every folder, and nothing is left once the holder has closed the files.
std::string check_left(const Path& top, bool held, const Status& removed) {
  if (!held && !removed) return "the base run failed: " + error_text(removed.error());
  const auto left = entries_left(top);
  if (left && *left != 0) return std::to_string(*left) + " entries left";
  if (left && !held) return "the tree is still there";
  if (left && !RemoveDirectoryW(top.c_str())) return "the emptied top cannot go";
  return {};
}

PendingRecord failed(PendingRecord record, std::string what) {
  record.outcome = Outcome::kIncomplete;
  record.result = std::move(what);
  return record;
}

}  // namespace

PendingRecord time_pending_removal(PendingCase tree, bool held, std::uint32_t round,
                                   const Path& top) {
  PendingRecord record{tree, round, held, Outcome::kDone, 0, {}};
  if (auto built = build_pending_tree(top, tree); !built) {
    return failed(record, "building the tree: " + error_text(built.error()));
  }
  std::optional<Holder> holder;
  if (held) {
    std::string answer;
    auto started = Holder::start(top, tree.files, answer);
    if (!started) {
      return failed(record, "the holder: " + error_text(started.error()) + " (" + answer + ")");
    }
    holder.emplace(std::move(*started));
  }
  const auto start = Clock::now();
  const Status removed = remove_tree(top);
  record.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  record.result = removed ? "success" : error_text(removed.error());
  if (holder) {
    if (auto released = holder->release(); !released) {
      return failed(record, "the holder: " + error_text(released.error()));
    }
  }
  std::string wrong = check_left(top, held, removed);
  return wrong.empty() ? record : failed(record, std::move(wrong));
}

int hold_pending_files(const Path& top, std::uint32_t files) {
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  const auto answer = [&](std::string_view text) {
    const std::string line = std::string(text) + "\n";
    DWORD written = 0;
    WriteFile(output, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  };
  std::vector<UniqueFile> held;
  held.reserve(files);
  for (std::uint32_t i = 0; i < files; ++i) {
    UniqueFile file(CreateFileW(entry_path(top, kFileNamePattern, i).c_str(), GENERIC_READ,
                                kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
      const DWORD code = GetLastError();
      answer(std::string(kFailedAnswer) + std::to_string(code));
      return 1;
    }
    held.push_back(std::move(file));
  }
  answer(std::string(kHeldAnswer) + std::to_string(files));
  char unit = 0;
  DWORD read = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &unit, 1, &read, nullptr) && read != 0) {
  }
  // Closed before exiting, so that the names are gone by the time the process is.
  held.clear();
  return 0;
}

}  // namespace voxtrel::bench
