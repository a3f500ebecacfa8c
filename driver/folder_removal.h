// Steps 5 and 6 of the run: one of the agent's folders removed whole, reported in one line.
#pragma once

#include <string_view>

#include "system/walk_progress.h"

namespace voxtrel {

// Removes `folder` with everything in it and prints one line naming it exactly as given:
// not found (nothing touched; also when its attributes cannot be read or it is a link to
// nothing), removed, or failed to remove (the removal stopped at an entry it could not delete,
// or the path is not a directory). Never stops the run. Deleted entries are reported to
// `progress`, when given.
void remove_folder(std::string_view folder, WalkProgress* progress = nullptr);

}  // namespace voxtrel
