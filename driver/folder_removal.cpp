#include "driver/folder_removal.h"

#include "driver/console.h"
#include "driver/format.h"
#include "driver/transcript.h"
#include "system/file_ops.h"
#include "system/text.h"
#include "system/tree_removal.h"

namespace voxtrel {

void remove_folder(std::string_view folder, WalkProgress* progress) {
  const std::wstring path = to_wide(folder);
  // Follows links: a link to a missing folder is "not found" and stays.
  if (!path_exists(path)) {
    print(fill(transcript::kFolderNotFound, {folder}));
    return;
  }
  const bool removed = remove_tree(path, progress).has_value();
  print(fill(removed ? transcript::kFolderRemoved : transcript::kFolderFailed, {folder}));
}

}  // namespace voxtrel
