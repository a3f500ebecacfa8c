// What an administrator would otherwise use, and the references the tool is measured against.
// None of these is safe for the tool itself: they follow links, stop nowhere and know nothing
// of read-only files beyond what is said at each.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "system/error.h"
#include "system/path.h"

namespace voxtrel::bench {

// What a walk for leftovers saw: every entry below the top, and the paths of the files whose
// names start with the leftover prefix.
struct WalkCount {
  std::uint64_t entries = 0;
  std::vector<Path> leftovers;
  bool finished = true;  // false: stopped at the deadline
};

// The practical limit: lists every folder with FindFirstFileExW/FindNextFileW (basic
// information, as the tool lists) and tests names; no entry is opened and nothing is deleted.
[[nodiscard]] Result<WalkCount> bare_walk(const Path& top);

// The literal sweep: the same listing, plus one open per entry (query_attributes) to learn what
// the listing already said, and the deletion of each leftover found (DeleteFileW). Stops at
// `deadline`, between two folders.
[[nodiscard]] Result<WalkCount> one_open_walk(const Path& top,
                                              std::chrono::steady_clock::time_point deadline);

// A naive recursive FindFirstFileW/DeleteFileW/RemoveDirectoryW walker: it enters links. A file
// that DeleteFileW refuses with 5 has its read-only attribute cleared and is deleted again.
// Goes on after a failure and returns the first one.
[[nodiscard]] Status naive_remove(const Path& top);

// libstdc++'s std::filesystem::remove_all; its error code as an error.
[[nodiscard]] Status std_remove_all(const Path& top);

struct CommandRun {
  bool finished = false;  // false: stopped at the time limit
  std::uint32_t exit_code = 0;
  std::vector<Path> output_lines;  // standard output, one path a line
};

// `cmd /c dir /s /b "<top>\voxtrel-agent.exe.old*"`. `scratch_file` receives its output.
[[nodiscard]] Result<CommandRun> cmd_dir(const Path& top, const Path& scratch_file,
                                         std::chrono::milliseconds limit);

// `cmd /c rmdir /s /q "<top>"`.
[[nodiscard]] Result<CommandRun> cmd_rmdir(const Path& top, const Path& scratch_file,
                                           std::chrono::milliseconds limit);

}  // namespace voxtrel::bench
