// The benchmark's tree: a deterministic plan of a program-files-like folder, computed from the
// entry count and a seed alone, so every copy of it is the same tree and every check knows what
// the tree holds without reading it back.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace voxtrel::bench {

// One entry in ten is a folder, as in a real "C:\Program Files".
inline constexpr std::uint32_t kEntriesPerFolder = 10;
// Entries lie at depth 1 (directly in the top folder) to depth 8.
inline constexpr std::uint32_t kMaxDepth = 8;
// Paths below the top stay this short, so that every copy's full paths stay under the classic
// limit of 260 and the peer tools that do not use the long form can walk the whole tree.
inline constexpr std::size_t kMaxRelativeLength = 170;
// The smallest tree that holds every kind of entry the plan places.
inline constexpr std::uint32_t kMinEntries = 50;
// One file in this many is read-only (at least kMinReadOnlyFiles of them).
inline constexpr std::uint32_t kFilesPerReadOnly = 1000;
inline constexpr std::uint32_t kMinReadOnlyFiles = 3;

enum class EntryKind : std::uint8_t { kFolder, kFile };

struct PlannedEntry {
  std::wstring relative;  // below the top folder, "\" between names
  EntryKind kind = EntryKind::kFile;
  std::uint32_t depth = 1;
  std::uint32_t bytes = 0;  // content of a file
  bool read_only = false;
  bool leftover = false;  // the sweep's name test matches it
  bool decoy = false;     // the name only looks like a leftover's
};

// Folders come before their contents: creating the entries in order builds the tree.
struct TreePlan {
  std::vector<PlannedEntry> entries;

  [[nodiscard]] std::vector<const PlannedEntry*> leftovers() const;
  [[nodiscard]] std::vector<const PlannedEntry*> read_only_files() const;
};

// `entry_count` entries (at least kMinEntries): a tenth folders, the rest files of mixed name
// lengths and sizes, some folders much fuller than others, a few read-only files, six leftover
// files at spread depths and three files that only look like leftovers.
[[nodiscard]] TreePlan plan_tree(std::uint32_t entry_count, std::uint64_t seed);

// The entry's name: the last part of its relative path.
[[nodiscard]] std::wstring_view entry_name(const PlannedEntry& entry);

}  // namespace voxtrel::bench
