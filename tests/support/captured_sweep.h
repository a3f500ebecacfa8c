// Step 8 run on a folder below a scratch directory, with standard output sent to a file beside
// it, so that a test can read the lines the sweep printed.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "driver/console.h"
#include "driver/leftover_sweep.h"
#include "system/text.h"
#include "system/unique_handle.h"
#include "tests/support/scratch_directory.h"

namespace voxtrel::testing {

struct CapturedSweep {
  SweepCounts counts;
  std::optional<std::string> lines;  // nothing when the file cannot be read
};

inline CapturedSweep captured_sweep(const ScratchDirectory& scratch, std::wstring_view root) {
  UniqueFile file(CreateFileW(scratch.at(L"transcript.txt").c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr));
  const HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
  SetStdHandle(STD_OUTPUT_HANDLE, file.get());
  const SweepCounts counts = sweep_leftovers(*to_utf8_strict(scratch.at(root)));
  (void)flush_output();
  SetStdHandle(STD_OUTPUT_HANDLE, saved);
  file.reset();
  return {counts, scratch.content(L"transcript.txt")};
}

}  // namespace voxtrel::testing
