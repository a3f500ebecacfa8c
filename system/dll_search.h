// Where the loader looks for the DLLs a program of this package loads once it runs.
#pragma once

namespace voxtrel {

// From now on, a DLL named without a path (by the program, the C++ runtime or a Windows function
// that loads one on demand) is looked for in the system directory alone: never in the folder the
// program was started from, its current folder or PATH, which for an elevated copy started from
// Downloads are folders its user can write. Called first thing in main.
void restrict_dll_search() noexcept;

}  // namespace voxtrel
