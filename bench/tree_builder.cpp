#include "bench/tree_builder.h"

#include <algorithm>
#include <vector>

#include "system/unique_handle.h"

namespace voxtrel::bench {
namespace {

Path full_path(const Path& top, const PlannedEntry& entry) {
  return join_path(top, entry.relative);
}

Status create_folder(const Path& path) {
  if (!CreateDirectoryW(path.c_str(), nullptr)) return fail_os(GetLastError());
  return {};
}

// A read-only file is created read-only; the creating handle may still write its content.
Status create_file(const Path& path, const PlannedEntry& entry) {
  static const std::vector<char> content(4096, 'x');
  const DWORD attributes = entry.read_only ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
  const UniqueFile file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, attributes, nullptr));
  if (!file) return fail_os(GetLastError());
  DWORD written = 0;
  const DWORD bytes = std::min<DWORD>(entry.bytes, content.size());
  if (bytes != 0 && !WriteFile(file.get(), content.data(), bytes, &written, nullptr)) {
    return fail_os(GetLastError());
  }
  return {};
}

}  // namespace

Status build_tree(const Path& top, const TreePlan& plan) {
  if (auto made = create_folder(top); !made) return made;
  for (const auto& entry : plan.entries) {
    const Path path = full_path(top, entry);
    auto made = entry.kind == EntryKind::kFolder ? create_folder(path) : create_file(path, entry);
    if (!made) return made;
  }
  return {};
}

Status restore_leftovers(const Path& top, const TreePlan& plan) {
  for (const PlannedEntry* entry : plan.leftovers()) {
    auto made = create_file(full_path(top, *entry), *entry);
    if (!made && !made.error().is_os(ERROR_FILE_EXISTS)) return made;
  }
  return {};
}

Status clear_read_only(const Path& top, const TreePlan& plan) {
  for (const PlannedEntry* entry : plan.read_only_files()) {
    if (!SetFileAttributesW(full_path(top, *entry).c_str(), FILE_ATTRIBUTE_NORMAL)) {
      return fail_os(GetLastError());
    }
  }
  return {};
}

}  // namespace voxtrel::bench
