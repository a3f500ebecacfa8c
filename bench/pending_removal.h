// The tree removal where entries stay in a folder's listing while they cannot go yet: files that
// another process keeps open with full sharing. Their disposition succeeds, but without POSIX
// deletion (under Wine; on Windows with FAT or exFAT, or before Windows 10 1809) the name stays
// in the listing until the last handle closes, and every later read of the listing meets it again.
// The holder is this program run a second time, in its hold mode.
#pragma once

#include <cstdint>

#include "bench/results.h"
#include "system/path.h"

namespace voxtrel::bench {

// Builds the case's tree at `top` (its files first, then its folders: in name order too, so that
// every listing meets the files before the folders), has a second process hold the files when
// `held`, times remove_tree on it, then has the holder close them and checks what is left: the
// base run must have removed everything; the held run every folder, and once the files are closed
// nothing may be left in the top but the top itself. What the removal answered is recorded, a
// failure included (the top cannot go while the held names remain).
[[nodiscard]] PendingRecord time_pending_removal(PendingCase tree, bool held, std::uint32_t round,
                                                 const Path& top);

// The hold mode: opens the first `files` files of a case's tree at `top` with full sharing,
// writes "held N" and a line break on its standard output, and keeps them open until its standard
// input ends; then closes them. Exit code 0, or 1 after writing "failed E" (E: the open's error).
[[nodiscard]] int hold_pending_files(const Path& top, std::uint32_t files);

}  // namespace voxtrel::bench
