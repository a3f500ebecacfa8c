#include "system/process_runner.h"

#include <array>
#include <optional>
#include <vector>

#include "system/path.h"
#include "system/text.h"
#include "system/unique_handle.h"

namespace voxtrel {
namespace {

constexpr std::wstring_view kExeExtension = L".exe";
constexpr std::wstring_view kPathVariable = L"PATH";
constexpr std::wstring_view kCommandInterpreter = L"cmd.exe";
constexpr std::array<DWORD, 3> kStandardStreams = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE,
                                                   STD_ERROR_HANDLE};
// Characters that cmd.exe would act on inside a script's argument list.
constexpr std::wstring_view kScriptUnsafeCharacters = L"\"%!^&|<>()\r\n";

wchar_t ascii_lower(wchar_t unit) {
  return (unit >= L'A' && unit <= L'Z') ? static_cast<wchar_t>(unit - L'A' + L'a') : unit;
}

bool ends_with_ascii_ci(std::wstring_view text, std::wstring_view suffix) {
  if (text.size() < suffix.size()) return false;
  const auto tail = text.substr(text.size() - suffix.size());
  for (std::size_t i = 0; i < suffix.size(); ++i) {
    if (ascii_lower(tail[i]) != ascii_lower(suffix[i])) return false;
  }
  return true;
}

// In a verbatim text only "\" separates; elsewhere "/" does too.
bool is_program_separator(std::wstring_view text, wchar_t unit) {
  return text.starts_with(kVerbatimPrefix) ? unit == L'\\' : is_separator(unit);
}

bool has_separator(std::wstring_view text) {
  for (const wchar_t unit : text) {
    if (is_program_separator(text, unit)) return true;
  }
  return false;
}

bool is_absolute(std::wstring_view path) {
  const bool drive_absolute = path.size() >= 3 && path[1] == L':' && is_separator(path[2]);
  const bool unc = path.size() >= 2 && is_separator(path[0]) && is_separator(path[1]);
  return drive_absolute || unc;
}

// The absolute form of a candidate, in the verbatim form when it is long.
Result<std::wstring> absolute_form(const std::wstring& candidate) {
  std::wstring absolute = candidate;
  if (!is_absolute(candidate)) {
    auto full = full_path_name(candidate);
    if (!full) return std::unexpected(full.error());
    absolute = std::move(*full);
  }
  if (absolute.size() + 1 >= kLongPathThreshold) return add_verbatim_prefix(absolute);
  return absolute;
}

// The form that passed the existence test, or nothing. Any attribute value means present, so a
// directory with the candidate's name counts as found.
std::optional<std::wstring> existing_form(const std::wstring& candidate) {
  auto form = absolute_form(candidate);
  if (!form || GetFileAttributesW(form->c_str()) == INVALID_FILE_ATTRIBUTES) return std::nullopt;
  return std::move(*form);
}

// PATH entries: split at ";" outside double quotes; quotes toggle and are dropped.
std::vector<std::wstring> split_search_path(std::wstring_view value) {
  std::vector<std::wstring> entries;
  std::wstring entry;
  bool quoted = false;
  for (const wchar_t unit : value) {
    if (unit == L'"') {
      quoted = !quoted;
    } else if (unit == L';' && !quoted) {
      if (!entry.empty()) entries.push_back(std::move(entry));
      entry.clear();
    } else {
      entry.push_back(unit);
    }
  }
  if (!entry.empty()) entries.push_back(std::move(entry));
  return entries;
}

std::vector<std::wstring> search_directories() {
  std::vector<std::wstring> directories;
  // A directory whose query fails is skipped.
  const auto add = [&directories](auto directory) {
    if (directory) directories.push_back(std::move(*directory));
  };
  add(executable_directory(own_module_file_name));
  add(system_directory());
  add(windows_directory());
  auto path_value = query_text([](wchar_t* buffer, DWORD size) {
    return GetEnvironmentVariableW(kPathVariable.data(), buffer, size);
  });
  if (path_value) {
    for (auto& entry : split_search_path(*path_value)) directories.push_back(std::move(entry));
  }
  return directories;
}

Result<std::wstring> resolve_path_form(std::wstring_view program) {
  if (program.find(L'\0') != std::wstring_view::npos) {
    return std::unexpected(Error::invalid_input(kNulInPathMessage));
  }
  const std::wstring text(program);
  if (ends_with_ascii_ci(text, kExeExtension)) return absolute_form(text);
  if (auto with_extension = existing_form(text + std::wstring(kExeExtension))) {
    return std::move(*with_extension);
  }
  return absolute_form(text);
}

Result<std::wstring> resolve_bare_name(std::wstring_view program) {
  if (program.find(L'\0') != std::wstring_view::npos) {
    return std::unexpected(Error::invalid_input(kNulInDataMessage));
  }
  std::wstring name(program);
  if (name.find(L'.') == std::wstring::npos) name += kExeExtension;
  for (const auto& directory : search_directories()) {
    if (auto found = existing_form(join_path(directory, name))) return std::move(*found);
  }
  return std::unexpected(Error::not_found(kProgramNotFoundMessage));
}

bool is_script(std::wstring_view application) {
  return ends_with_ascii_ci(application, L".bat") || ends_with_ascii_ci(application, L".cmd");
}

// A script runs through "cmd.exe /d /c" with the whole line in one pair of quotes; arguments
// that cmd.exe would interpret are refused rather than escaped.
Result<std::wstring> script_command_line(std::wstring_view program,
                                         std::span<const std::wstring> arguments) {
  std::wstring line = L"\"" + std::wstring(kCommandInterpreter) + L"\" /d /c \"\"";
  line.append(program);
  line += L'"';
  for (const auto& argument : arguments) {
    if (argument.find_first_of(kScriptUnsafeCharacters) != std::wstring::npos ||
        argument.find(L'\0') != std::wstring::npos) {
      return std::unexpected(Error::invalid_input(kScriptArgumentMessage));
    }
    line += L' ';
    if (auto appended = append_argument(line, argument); !appended) {
      return std::unexpected(appended.error());
    }
  }
  line += L'"';
  return line;
}

// Held from before the standard handles are duplicated until the duplicates are closed, so no
// other child of this process can inherit them.
class CreationLock {
 public:
  CreationLock() noexcept { AcquireSRWLockExclusive(&lock_); }
  ~CreationLock() { ReleaseSRWLockExclusive(&lock_); }
  CreationLock(const CreationLock&) = delete;
  CreationLock& operator=(const CreationLock&) = delete;

 private:
  static inline SRWLOCK lock_ = SRWLOCK_INIT;
};

// Members close in reverse order: the process handle first, then the thread handle.
struct ChildProcess {
  UniqueKernelHandle thread;
  UniqueKernelHandle process;
};

// An inheritable copy of one of the tool's standard handles; empty when the tool has none.
Result<UniqueKernelHandle> inheritable_standard_handle(DWORD stream) {
  const HANDLE original = GetStdHandle(stream);
  if (original == nullptr || original == INVALID_HANDLE_VALUE) return UniqueKernelHandle();
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), original, GetCurrentProcess(), &copy, 0, TRUE,
                       DUPLICATE_SAME_ACCESS)) {
    return std::unexpected(Error::last_os_error());
  }
  return UniqueKernelHandle(copy);
}

STARTUPINFOW startup_info(const std::array<UniqueKernelHandle, 3>& handles) {
  STARTUPINFOW info{};
  info.cb = sizeof(info);
  if (handles[0] || handles[1] || handles[2]) {
    info.dwFlags = STARTF_USESTDHANDLES;
    info.hStdInput = handles[0].get();
    info.hStdOutput = handles[1].get();
    info.hStdError = handles[2].get();
  }
  return info;
}

// The child starts in `directory`, never in the tool's current folder (often Downloads).
Result<ChildProcess> create_child(const std::wstring& application, std::wstring& command_line,
                                  const std::wstring& directory) {
  const CreationLock lock;
  std::array<UniqueKernelHandle, 3> handles;
  for (std::size_t i = 0; i < handles.size(); ++i) {
    auto handle = inheritable_standard_handle(kStandardStreams[i]);
    if (!handle) return std::unexpected(handle.error());
    handles[i] = std::move(*handle);
  }
  STARTUPINFOW startup = startup_info(handles);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                      CREATE_UNICODE_ENVIRONMENT, nullptr, directory.c_str(), &startup, &info)) {
    return std::unexpected(Error::last_os_error());
  }
  ChildProcess child;
  child.process.reset(info.hProcess);
  child.thread.reset(info.hThread);
  return child;
}

// The system's own command interpreter; never a bare name, which would be looked for in the
// current directory.
Result<std::wstring> interpreter_path() {
  auto directory = system_directory();
  if (!directory) return std::unexpected(directory.error());
  return join_path(*directory, kCommandInterpreter);
}

std::vector<std::wstring> wide_arguments_of(std::span<const std::string> arguments) {
  std::vector<std::wstring> wide;
  for (const auto& argument : arguments) wide.push_back(to_wide(argument));
  return wide;
}

// A child's current folder is where it finds the files it names without a path, and one the
// standard DLL search looks in: the system directory, which only administrators can write, rather
// than the tool's own (Downloads, for a copy started from there). Without it no child is started,
// as no system program is without the system directory.
Result<ChildProcess> start_child(std::string_view program, std::span<const std::string> arguments) {
  const std::wstring program_text = to_wide(program);
  auto application = resolve_program(program_text);
  if (!application) return std::unexpected(application.error());
  auto directory = system_directory();
  if (!directory) return std::unexpected(directory.error());
  const std::vector<std::wstring> wide_arguments = wide_arguments_of(arguments);
  if (is_script(*application)) {
    auto line = script_command_line(*application, wide_arguments);
    if (!line) return std::unexpected(line.error());
    auto interpreter = interpreter_path();
    if (!interpreter) return std::unexpected(interpreter.error());
    return create_child(*interpreter, *line, *directory);
  }
  auto line = build_command_line(program_text, wide_arguments);
  if (!line) return std::unexpected(line.error());
  return create_child(*application, *line, *directory);
}

// The file is named as the application, so nothing is searched for; the command line keeps the
// name the program is known by ("sc.exe" stop VoxtrelAgent), as process logs and the rules
// written against them show it.
Result<ChildProcess> start_system_program(const SystemProgram& program,
                                          std::span<const std::string> arguments) {
  auto directory = system_directory();
  if (!directory) return std::unexpected(directory.error());
  auto application = system_program_file(program.file);
  if (!application) return std::unexpected(application.error());
  auto line = build_command_line(to_wide(program.name), wide_arguments_of(arguments));
  if (!line) return std::unexpected(line.error());
  return create_child(*application, *line, *directory);
}

// Waits without limit: the tool's own children are the platform's programs, which end.
Result<std::uint32_t> exit_code_of(const ChildProcess& child) {
  if (WaitForSingleObject(child.process.get(), INFINITE) != WAIT_OBJECT_0) {
    return std::unexpected(Error::last_os_error());
  }
  DWORD exit_code = 0;
  if (!GetExitCodeProcess(child.process.get(), &exit_code)) {
    return std::unexpected(Error::last_os_error());
  }
  return exit_code;
}

}  // namespace

std::optional<std::wstring> executable_directory(const TextQuery& module_path) {
  auto module = query_text(module_path);
  if (!module) return std::nullopt;
  const auto last = module->find_last_of(L"\\/");
  if (last == std::wstring::npos) return std::nullopt;
  // "C:\tool.exe" keeps its root: the directory is "C:\", not the drive-relative "C:".
  const bool at_drive_root = last == 2 && (*module)[1] == L':';
  return module->substr(0, at_drive_root ? last + 1 : last);
}

Result<std::wstring> resolve_program(std::wstring_view program) {
  if (program.empty() || is_program_separator(program, program.back())) {
    return std::unexpected(Error::invalid_input(kNoFileNameMessage));
  }
  return has_separator(program) ? resolve_path_form(program) : resolve_bare_name(program);
}

Status append_argument(std::wstring& line, std::wstring_view argument) {
  if (argument.find(L'\0') != std::wstring_view::npos) {
    return std::unexpected(Error::invalid_input(kNulInDataMessage));
  }
  const bool quote = argument.empty() || argument.find_first_of(L" \t") != std::wstring_view::npos;
  if (quote) line += L'"';
  std::size_t backslashes = 0;
  for (const wchar_t unit : argument) {
    if (unit == L'\\') {
      ++backslashes;
    } else {
      if (unit == L'"') line.append(backslashes + 1, L'\\');
      backslashes = 0;
    }
    line += unit;
  }
  if (quote) {
    line.append(backslashes, L'\\');
    line += L'"';
  }
  return {};
}

Result<std::wstring> build_command_line(std::wstring_view program,
                                        std::span<const std::wstring> arguments) {
  std::wstring line = L"\"";
  line.append(program);
  line += L'"';
  for (const auto& argument : arguments) {
    line += L' ';
    if (auto appended = append_argument(line, argument); !appended) {
      return std::unexpected(appended.error());
    }
  }
  return line;
}

Result<std::uint32_t> run_and_wait(std::string_view program,
                                   std::span<const std::string> arguments) {
  auto child = start_child(program, arguments);
  if (!child) return std::unexpected(child.error());
  return exit_code_of(*child);
}

Status spawn_detached(std::string_view program, std::span<const std::string> arguments) {
  auto child = start_child(program, arguments);
  if (!child) return std::unexpected(child.error());
  return {};
}

Result<Path> system_program_file(std::string_view relative) {
  auto directory = system_directory();
  if (!directory) return std::unexpected(directory.error());
  return join_path(*directory, to_wide(relative));
}

Result<std::uint32_t> run_and_wait(const SystemProgram& program,
                                   std::span<const std::string> arguments) {
  auto child = start_system_program(program, arguments);
  if (!child) return std::unexpected(child.error());
  return exit_code_of(*child);
}

Status spawn_detached(const SystemProgram& program, std::span<const std::string> arguments) {
  auto child = start_system_program(program, arguments);
  if (!child) return std::unexpected(child.error());
  return {};
}

}  // namespace voxtrel
