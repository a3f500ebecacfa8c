// Starting the system's own programs on the tool's console. Nothing here prints; every failure
// is a value, and the callers in this tool discard it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "system/error.h"
#include "system/path.h"

namespace voxtrel {

// Fixed message of a refused argument after a .bat or .cmd script.
inline constexpr std::string_view kScriptArgumentMessage =
    "argument cannot be passed safely to a batch script";

// The file a program text resolves to: a path is used as it stands (".exe" added when such a
// file exists), a bare name is searched beside the tool, in the system and Windows directories
// and along PATH, never in the current directory. Fails with InvalidInput for an empty name or
// a NUL, NotFound when no candidate exists, or GetFullPathNameW's error.
[[nodiscard]] Result<std::wstring> resolve_program(std::wstring_view program);

// The first folder a bare name is searched in: that of the executable `module_path` names
// (GetModuleFileNameW for the tool itself), "C:\" for one at a drive's root; nothing when the
// query fails.
[[nodiscard]] std::optional<std::wstring> executable_directory(const TextQuery& module_path);

// Appends one argument as the child's C runtime will parse it back: quoted when empty or
// holding a blank or tab, backslashes before a quote doubled plus one, trailing ones doubled
// inside quotes. Fails with InvalidInput on a NUL.
[[nodiscard]] Status append_argument(std::wstring& line, std::wstring_view argument);

// The whole command line: the program text in double quotes, then each argument after a blank.
[[nodiscard]] Result<std::wstring> build_command_line(std::wstring_view program,
                                                      std::span<const std::wstring> arguments);

// Starts `program` sharing the tool's console and standard handles, in the system directory as
// its current folder, waits without limit for it to exit and returns its exit code (a non-zero
// code is not a failure). Fails, starting nothing, with the error of resolve_program or of
// system_directory, or with CreateProcessW's.
[[nodiscard]] Result<std::uint32_t> run_and_wait(std::string_view program,
                                                 std::span<const std::string> arguments);

// Starts `program` the same way and returns at once; the child is never looked at again.
[[nodiscard]] Status spawn_detached(std::string_view program,
                                    std::span<const std::string> arguments);

// One of the platform's own programs. Started by its file in the system directory, never searched
// for, and named on its command line as it is known, so that the line reads as the platform's
// own tools and process logs show it: "sc.exe" stop VoxtrelAgent.
struct SystemProgram {
  std::string_view name;  // the command line's first word, quoted: sc.exe, taskkill, msiexec
  std::string_view file;  // below the system directory: taskkill.exe
};

// The full path of `relative` (a file name, or a path below it such as
// "WindowsPowerShell\v1.0\powershell.exe") in the directory GetSystemDirectoryW reports; fails
// with its error, or NotFound when it reports an empty directory.
[[nodiscard]] Result<Path> system_program_file(std::string_view relative);

// run_and_wait and spawn_detached for a system program: the same start, in the system directory;
// fails, starting nothing, without the system directory, or with CreateProcessW's error.
[[nodiscard]] Result<std::uint32_t> run_and_wait(const SystemProgram& program,
                                                 std::span<const std::string> arguments);
[[nodiscard]] Status spawn_detached(const SystemProgram& program,
                                    std::span<const std::string> arguments);

}  // namespace voxtrel
