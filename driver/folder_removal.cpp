#include "driver/folder_removal.h"

#include "driver/console.h"
#include "driver/transcript.h"
#include "system/file_queries.h"
#include "system/format.h"
#include "system/text.h"
#include "system/tree_removal.h"

namespace voxtrel {
namespace {

// Whether the folder is there, when its open failed: not when the open said so; otherwise as the
// existence test says, which reads the folder's entry in its parent's listing where it cannot be
// opened (a folder held without read sharing, or denied).
bool exists_after_failed_open(const std::wstring& path, const Error& error) {
  return !is_entry_gone(error) && path_exists(path);
}

}  // namespace

// The open of the top answers whether the folder is there too: one read by path, not three.
void remove_folder(std::string_view folder, WalkProgress* progress) {
  const std::wstring path = to_wide(folder);
  auto top = open_removal_top(path);
  if (!top && !exists_after_failed_open(path, top.error())) {
    print(fill(transcript::kFolderNotFound, {folder}));
    return;
  }
  const bool removed = top && remove_opened_tree(std::move(*top), progress).has_value();
  print(fill(removed ? transcript::kFolderRemoved : transcript::kFolderFailed, {folder}));
}

}  // namespace voxtrel
