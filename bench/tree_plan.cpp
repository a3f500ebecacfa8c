#include "bench/tree_plan.h"

#include <algorithm>
#include <array>

namespace voxtrel::bench {
namespace {

// Folders stay this short, so that every folder has room below the limit for file names and
// for the longest leftover name.
constexpr std::size_t kMaxFolderLength = 135;
constexpr std::size_t kMinNameLength = 10;
// One folder in this many is a "full" folder (think System32 or a node_modules) that receives a
// quarter of all files, so some listings span many directory batches.
constexpr std::uint32_t kFoldersPerFullFolder = 500;
constexpr std::uint32_t kFullFolderSharePercent = 25;
constexpr std::uint32_t kMaxFileBytes = 4096;

constexpr std::array<std::wstring_view, 6> kLeftoverNames = {
    L"voxtrel-agent.exe.old",     L"voxtrel-agent.exe.old1",
    L"voxtrel-agent.exe.old.2",   L"voxtrel-agent.exe.old-20240311",
    L"voxtrel-agent.exe.old.bak", L"voxtrel-agent.exe.old (copy)",
};
// Near misses that no variant may report: the image name, the prefix one letter short, and
// the prefix with something in front.
constexpr std::array<std::wstring_view, 3> kDecoyNames = {
    L"voxtrel-agent.exe", L"voxtrel-agent.exe.ol", L"backup-voxtrel-agent.exe.old"};
constexpr std::array<std::wstring_view, 10> kExtensions = {
    L".dll", L".exe", L".json", L".dat", L".pak", L".txt", L".xml", L".manifest", L".png", L""};
constexpr std::wstring_view kStemLetters = L"abcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::wstring_view kStemJoiners = L" -_.";

// splitmix64: small, fast and the same on every platform and library.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  // Uniform in [0, bound).
  std::uint32_t below(std::uint32_t bound) { return static_cast<std::uint32_t>(next() % bound); }
  std::uint32_t between(std::uint32_t low, std::uint32_t high) {
    return low + below(high - low + 1);
  }

 private:
  std::uint64_t state_;
};

struct Folder {
  std::wstring relative;  // empty for the top folder
  std::uint32_t depth = 0;
};

std::wstring base36(std::uint32_t value) {
  std::wstring digits;
  do {
    digits.insert(digits.begin(), kStemLetters[value % 36]);
    value /= 36;
  } while (value != 0);
  return digits;
}

// Mixed lengths: mostly short names, a third of middling length, one in ten long. The unique
// suffix keeps names distinct even where the file system ignores case.
std::wstring make_name(Random& random, std::uint32_t unique, std::size_t max_length, bool file) {
  const std::uint32_t roll = random.below(100);
  std::size_t length = roll < 55   ? random.between(4, 12)
                       : roll < 90 ? random.between(13, 32)
                                   : random.between(33, 80);
  const std::wstring suffix = L"-" + base36(unique);
  const std::wstring_view extension = file ? kExtensions[random.below(kExtensions.size())] : L"";
  length = std::min(length, max_length);
  const std::size_t fixed = suffix.size() + extension.size();
  const std::size_t stem_length = length > fixed ? length - fixed : 1;
  std::wstring name;
  for (std::size_t i = 0; i < stem_length; ++i) {
    const bool joiner = i > 0 && i + 1 < stem_length && random.below(8) == 0;
    name +=
        joiner ? kStemJoiners[random.below(kStemJoiners.size())] : kStemLetters[random.below(26)];
  }
  return name + suffix + std::wstring(extension);
}

std::wstring child_path(const Folder& parent, std::wstring_view name) {
  return parent.relative.empty() ? std::wstring(name)
                                 : parent.relative + L"\\" + std::wstring(name);
}

// Half the folders hang anywhere, half in the shallow part, which gives a broad top like a real
// program-files folder and branches that reach the depth limit.
std::vector<Folder> plan_folders(Random& random, std::uint32_t count) {
  std::vector<Folder> folders{Folder{}};
  std::vector<std::size_t> open{0};  // folders that can still take a subfolder
  std::vector<std::size_t> shallow{0};
  for (std::uint32_t i = 0; i < count; ++i) {
    const auto& pool = random.below(2) == 0 ? open : shallow;
    const Folder& parent = folders[pool[random.below(pool.size())]];
    const std::size_t room = kMaxFolderLength - parent.relative.size() - 1;
    Folder folder{child_path(parent, make_name(random, i, room, false)), parent.depth + 1};
    folders.push_back(std::move(folder));
    const Folder& added = folders.back();
    if (added.depth < kMaxDepth && added.relative.size() + 1 + kMinNameLength <= kMaxFolderLength) {
      open.push_back(folders.size() - 1);
      if (added.depth < 3) shallow.push_back(folders.size() - 1);
    }
  }
  return folders;
}

PlannedEntry file_entry(const Folder& parent, std::wstring_view name, std::uint32_t bytes) {
  return PlannedEntry{child_path(parent, name), EntryKind::kFile, parent.depth + 1, bytes};
}

std::uint32_t file_bytes(Random& random) {
  return random.below(3) == 0 ? 0 : random.between(1, kMaxFileBytes);
}

}  // namespace

TreePlan plan_tree(std::uint32_t entry_count, std::uint64_t seed) {
  entry_count = std::max(entry_count, kMinEntries);
  Random random(seed);
  const std::uint32_t folder_count = entry_count / kEntriesPerFolder;
  const std::vector<Folder> folders = plan_folders(random, folder_count);

  TreePlan plan;
  for (std::size_t i = 1; i < folders.size(); ++i) {
    plan.entries.push_back(
        PlannedEntry{folders[i].relative, EntryKind::kFolder, folders[i].depth, 0});
  }
  // Files need a folder above depth 8; the top folder itself holds only the special files.
  std::vector<std::size_t> holders;
  for (std::size_t i = 1; i < folders.size(); ++i) {
    if (folders[i].depth < kMaxDepth) holders.push_back(i);
  }
  const std::size_t full_count = std::max<std::size_t>(1, holders.size() / kFoldersPerFullFolder);

  const std::uint32_t special = kLeftoverNames.size() + kDecoyNames.size();
  const std::uint32_t ordinary = entry_count - folder_count - special;
  const std::uint32_t read_only = std::max(kMinReadOnlyFiles, ordinary / kFilesPerReadOnly);
  const std::uint32_t read_only_step = ordinary / read_only;
  for (std::uint32_t i = 0; i < ordinary; ++i) {
    const bool to_full = random.below(100) < kFullFolderSharePercent;
    const std::size_t index =
        to_full ? holders[random.below(full_count)] : holders[random.below(holders.size())];
    const Folder& parent = folders[index];
    const std::size_t room = kMaxRelativeLength - parent.relative.size() - 1;
    PlannedEntry entry =
        file_entry(parent, make_name(random, folder_count + i, room, true), file_bytes(random));
    entry.read_only = i % read_only_step == read_only_step / 2 && i / read_only_step < read_only;
    plan.entries.push_back(std::move(entry));
  }

  // Leftovers: in the top folder, in the deepest folder that holds files, in the fullest folder
  // and in three others; decoys anywhere.
  const auto deepest = std::ranges::max_element(
      holders, {}, [&](std::size_t index) { return folders[index].depth; });
  std::vector<const Folder*> places{&folders[0], &folders[*deepest], &folders[holders[0]]};
  while (places.size() < kLeftoverNames.size()) {
    places.push_back(&folders[holders[random.below(holders.size())]]);
  }
  for (std::size_t i = 0; i < kLeftoverNames.size(); ++i) {
    PlannedEntry entry = file_entry(*places[i], kLeftoverNames[i], file_bytes(random));
    entry.leftover = true;
    plan.entries.push_back(std::move(entry));
  }
  for (const std::wstring_view name : kDecoyNames) {
    PlannedEntry entry =
        file_entry(folders[holders[random.below(holders.size())]], name, file_bytes(random));
    entry.decoy = true;
    plan.entries.push_back(std::move(entry));
  }
  return plan;
}

std::vector<const PlannedEntry*> TreePlan::leftovers() const {
  std::vector<const PlannedEntry*> found;
  for (const auto& entry : entries) {
    if (entry.leftover) found.push_back(&entry);
  }
  return found;
}

std::vector<const PlannedEntry*> TreePlan::read_only_files() const {
  std::vector<const PlannedEntry*> found;
  for (const auto& entry : entries) {
    if (entry.read_only) found.push_back(&entry);
  }
  return found;
}

std::wstring_view entry_name(const PlannedEntry& entry) {
  const std::wstring_view relative = entry.relative;
  const std::size_t separator = relative.rfind(L'\\');
  return separator == std::wstring_view::npos ? relative : relative.substr(separator + 1);
}

}  // namespace voxtrel::bench
