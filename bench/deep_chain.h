// The tree removal's cost per entry on a chain of directories deeper than any path the platform
// takes: a directory of 255-character name in each directory, and one file beside it. Wine cannot
// hold such a chain on disk, so the chain lives in memory and the removal reaches it through the
// file-system call table, answered as a file system would; every open still costs a real handle.
#pragma once

#include <cstdint>

#include "system/error.h"

namespace voxtrel::bench {

struct ChainRemoval {
  std::uint64_t entries = 0;  // directories and files deleted
  double seconds = 0;
};

// Removes a chain `levels` directories deep. Errors: the removal's, or ERROR_INVALID_DATA when it
// reported success but left part of the chain.
[[nodiscard]] Result<ChainRemoval> remove_deep_chain(std::uint32_t levels);

}  // namespace voxtrel::bench
