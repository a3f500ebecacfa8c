// Making the planned tree on disk, and putting back what a variant under test took away.
#pragma once

#include "bench/tree_plan.h"
#include "system/error.h"
#include "system/path.h"

namespace voxtrel::bench {

// Creates `top` and every entry of `plan` below it. Fails with the first creation's error;
// 183 (ERROR_ALREADY_EXISTS) when `top` is already there.
[[nodiscard]] Status build_tree(const Path& top, const TreePlan& plan);

// Creates the plan's leftover files again, as they were planned; those still there stay.
[[nodiscard]] Status restore_leftovers(const Path& top, const TreePlan& plan);

// Clears the read-only attribute of the plan's read-only files.
[[nodiscard]] Status clear_read_only(const Path& top, const TreePlan& plan);

}  // namespace voxtrel::bench
